// Blocks of literals inflate with zlib, the library every ZMBV decoder
// inflates with, back to their bytes: between pieces that zlib deflated, as
// one stream, for data of every kind of spread (one byte value, uniform
// noise, counts so uneven that the codes must be held to 15 bits) and for
// sizes on and off the 64 KiB blocks.
#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>
#include <vector>

#include "codecs/deflate_literals.h"

using avifile::codecs::appendLiteralBlocks;

namespace {

// `piece` deflated by zlib as part of a stream, ended with a sync flush.
void appendDeflated(const std::vector<uint8_t>& piece, std::vector<uint8_t>& out) {
    z_stream stream{};
    ASSERT_EQ(deflateInit2(&stream, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::vector<uint8_t> buffer(deflateBound(&stream, piece.size()) + 16);
    stream.next_in = const_cast<Bytef*>(piece.data());
    stream.avail_in = static_cast<uInt>(piece.size());
    stream.next_out = buffer.data();
    stream.avail_out = static_cast<uInt>(buffer.size());
    ASSERT_EQ(deflate(&stream, Z_SYNC_FLUSH), Z_OK);
    out.insert(out.end(), buffer.begin(), buffer.end() - stream.avail_out);
    deflateEnd(&stream);
}

// The stream inflated as a decoder does it: raw, with sync flushes and no
// end; empty when zlib finds it broken.
std::vector<uint8_t> inflated(const std::vector<uint8_t>& stream, size_t expected) {
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK) {
        return {};
    }
    std::vector<uint8_t> out(expected + 1);
    z.next_in = const_cast<Bytef*>(stream.data());
    z.avail_in = static_cast<uInt>(stream.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    const int status = inflate(&z, Z_SYNC_FLUSH);
    const bool whole = (status == Z_OK || status == Z_BUF_ERROR) && z.avail_in == 0;
    out.resize(out.size() - z.avail_out);
    inflateEnd(&z);
    return whole ? out : std::vector<uint8_t>{};
}

TEST(LiteralBlocks, InflateToTheirBytesBetweenZlibPieces) {
    std::mt19937 random(11);
    struct Case {
        const char* name;
        size_t size;
        int kind;  // 0: one value, 1: uniform, 2: small steps, 3: Fibonacci counts
    };
    const Case cases[] = {{"empty", 0, 1},           {"one byte", 1, 1},
                          {"one value", 70000, 0},   {"uniform noise", 65536, 1},
                          {"small steps", 200001, 2}, {"uneven counts", 131072 + 7, 3}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> data(c.size);
        // Counts 1, 1, 2, 3, 5, ... over the byte values: a Huffman tree of
        // them is as deep as there are values, far beyond 15 bits.
        std::vector<uint8_t> fibonacci;
        for (uint32_t a = 1, b = 1, value = 0; fibonacci.size() < c.size; ++value) {
            fibonacci.insert(fibonacci.end(), a, static_cast<uint8_t>(value));
            const uint32_t next = a + b;
            a = b;
            b = next;
        }
        std::shuffle(fibonacci.begin(), fibonacci.end(), random);
        for (size_t i = 0; i < c.size; ++i) {
            const uint32_t r = random();
            data[i] = c.kind == 0   ? 0x5A
                      : c.kind == 1 ? static_cast<uint8_t>(r)
                      : c.kind == 2 ? static_cast<uint8_t>(r % 5 == 0 ? r >> 8 : r % 3)
                                    : fibonacci[i];
        }
        const std::vector<uint8_t> before(1000, 7);
        const std::vector<uint8_t> after = {1, 2, 3, 4, 1, 2, 3, 4, 1, 2, 3, 4};
        std::vector<uint8_t> stream;
        appendDeflated(before, stream);
        appendLiteralBlocks(data, stream);
        appendDeflated(after, stream);
        std::vector<uint8_t> expected = before;
        expected.insert(expected.end(), data.begin(), data.end());
        expected.insert(expected.end(), after.begin(), after.end());
        EXPECT_TRUE(inflated(stream, expected.size()) == expected);
        if (c.kind == 1 && c.size > 1000) {
            // Noise: a byte each, and the code tables.
            EXPECT_LE(stream.size(), c.size + c.size / 64 + 600);
        }
        if (c.kind == 0) {
            EXPECT_LE(stream.size(), c.size / 8 + 600);  // a bit a byte
        }
    }
}

}  // namespace
