#include "codecs/deflate_literals.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <queue>

namespace avifile::codecs {
namespace {

constexpr size_t kBlockBytes = 64 * 1024;  // coded with one set of codes
constexpr int kEndOfBlock = 256;
constexpr int kLiterals = 257;           // the byte values and the end of the block
constexpr int kLongestCode = 15;         // of a literal
constexpr int kLongestLengthCode = 7;    // of a code length
constexpr int kLengthSymbols = 19;       // code lengths 0..15 and three repeat codes
constexpr uint8_t kLengthOrder[kLengthSymbols] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                  11, 4,  12, 3, 13, 2, 14, 1, 15};
// The largest a block can come out: 15 bits a byte and the code tables.
constexpr size_t kLargestBlock = kBlockBytes * kLongestCode / 8 + 512;

// Bits into bytes, least significant first, as deflate packs them.
class BitWriter {
public:
    explicit BitWriter(uint8_t* at) : at_(at) {}

    // Up to 32 bits at once once `used_` is under 32.
    void put(uint32_t bits, int count) {
        buffer_ |= static_cast<uint64_t>(bits) << used_;
        used_ += count;
        if (used_ >= 32) {
            store(at_, static_cast<uint32_t>(buffer_));
            at_ += 4;
            buffer_ >>= 32;
            used_ -= 32;
        }
    }

    // Each byte of `data` in its code (length in the top half, as
    // canonicalCodes() gives them), two at a time: codes of up to 15 bits
    // each fit beside the fewer than 32 bits waiting.
    void putCoded(std::span<const uint8_t> data, const uint32_t* codes) {
        uint64_t buffer = buffer_;
        int used = used_;
        uint8_t* at = at_;
        size_t i = 0;
        for (; i + 2 <= data.size(); i += 2) {
            const uint32_t first = codes[data[i]];
            const uint32_t second = codes[data[i + 1]];
            buffer |= static_cast<uint64_t>(first & 0xFFFF) << used;
            used += static_cast<int>(first >> 16);
            buffer |= static_cast<uint64_t>(second & 0xFFFF) << used;
            used += static_cast<int>(second >> 16);
            if (used >= 32) {
                store(at, static_cast<uint32_t>(buffer));
                at += 4;
                buffer >>= 32;
                used -= 32;
            }
        }
        buffer_ = buffer;
        used_ = used;
        at_ = at;
        if (i < data.size()) {
            put(codes[data[i]] & 0xFFFF, static_cast<int>(codes[data[i]] >> 16));
        }
    }

    // Pads with zero bits to a byte boundary and writes what is left.
    uint8_t* finish() {
        while (used_ > 0) {
            *at_++ = static_cast<uint8_t>(buffer_);
            buffer_ >>= 8;
            used_ -= 8;
        }
        used_ = 0;
        return at_;
    }

private:
    static void store(uint8_t* at, uint32_t bits) {
        const uint8_t bytes[4] = {static_cast<uint8_t>(bits), static_cast<uint8_t>(bits >> 8),
                                  static_cast<uint8_t>(bits >> 16), static_cast<uint8_t>(bits >> 24)};
        std::memcpy(at, bytes, 4);
    }

    uint8_t* at_;
    uint64_t buffer_ = 0;
    int used_ = 0;
};

// Huffman code lengths of at most `longest` bits for symbols seen `counts`
// times; symbols never seen get none, and at least two symbols get one
// (deflate's decoders take no code of a single symbol). Where the tree
// comes out too deep, the counts are halved until it fits.
template <size_t N>
std::array<uint8_t, N> codeLengths(std::array<uint32_t, N> counts, int longest) {
    auto coded = std::count_if(counts.begin(), counts.end(), [](uint32_t c) { return c != 0; });
    for (size_t s = 0; s < N && coded < 2; ++s) {
        if (counts[s] == 0) {
            counts[s] = 1;
            ++coded;
        }
    }
    for (;;) {
        // Nodes 0..N-1 are the symbols, the rest are joined pairs.
        std::vector<uint64_t> weight(counts.begin(), counts.end());
        std::vector<int> parent(N, -1);
        using Entry = std::pair<uint64_t, int>;
        std::priority_queue<Entry, std::vector<Entry>, std::greater<>> queue;
        for (size_t s = 0; s < N; ++s) {
            if (counts[s] != 0) {
                queue.push({counts[s], static_cast<int>(s)});
            }
        }
        while (queue.size() > 1) {
            const Entry a = queue.top();
            queue.pop();
            const Entry b = queue.top();
            queue.pop();
            const int joined = static_cast<int>(weight.size());
            weight.push_back(a.first + b.first);
            parent.push_back(-1);
            parent[static_cast<size_t>(a.second)] = joined;
            parent[static_cast<size_t>(b.second)] = joined;
            queue.push({a.first + b.first, joined});
        }
        std::array<uint8_t, N> lengths{};
        int deepest = 0;
        for (size_t s = 0; s < N; ++s) {
            if (counts[s] == 0) {
                continue;
            }
            int depth = 0;
            for (int node = parent[s]; node != -1; node = parent[static_cast<size_t>(node)]) {
                ++depth;
            }
            lengths[s] = static_cast<uint8_t>(depth);
            deepest = std::max(deepest, depth);
        }
        if (deepest <= longest) {
            return lengths;
        }
        for (uint32_t& c : counts) {
            c = c == 0 ? 0 : std::max<uint32_t>(1, c >> 1);
        }
    }
}

// The canonical codes of these lengths, bits reversed for writing least
// significant first, each with its length in the top half.
template <size_t N>
std::array<uint32_t, N> canonicalCodes(const std::array<uint8_t, N>& lengths) {
    std::array<uint32_t, kLongestCode + 2> perLength{};
    for (uint8_t length : lengths) {
        ++perLength[length];
    }
    perLength[0] = 0;
    std::array<uint32_t, kLongestCode + 2> next{};
    uint32_t code = 0;
    for (int bits = 1; bits <= kLongestCode; ++bits) {
        code = (code + perLength[static_cast<size_t>(bits - 1)]) << 1;
        next[static_cast<size_t>(bits)] = code;
    }
    std::array<uint32_t, N> codes{};
    for (size_t s = 0; s < N; ++s) {
        const int length = lengths[s];
        if (length == 0) {
            continue;
        }
        const uint32_t value = next[static_cast<size_t>(length)]++;
        uint32_t reversed = 0;
        for (int bit = 0; bit < length; ++bit) {
            reversed |= ((value >> bit) & 1u) << (length - 1 - bit);
        }
        codes[s] = static_cast<uint32_t>(length) << 16 | reversed;
    }
    return codes;
}

void put(BitWriter& bits, uint32_t code) { bits.put(code & 0xFFFF, static_cast<int>(code >> 16)); }

// One dynamic Huffman block, not final: the header, the code lengths of
// the 257 literals and of two distance codes (which nothing uses, but a
// block must describe), each sent as itself, then the bytes and the end.
void writeBlock(std::span<const uint8_t> data, BitWriter& bits) {
    std::array<uint32_t, kLiterals> counts{};
    for (const uint8_t byte : data) {
        ++counts[byte];
    }
    counts[kEndOfBlock] = 1;
    const std::array<uint8_t, kLiterals> lengths = codeLengths(counts, kLongestCode);
    const std::array<uint32_t, kLiterals> codes = canonicalCodes(lengths);
    constexpr uint8_t kDistanceLengths[2] = {1, 1};

    std::array<uint32_t, kLengthSymbols> lengthCounts{};
    for (uint8_t length : lengths) {
        ++lengthCounts[length];
    }
    lengthCounts[1] += 2;  // the distance codes'
    const std::array<uint8_t, kLengthSymbols> lengthLengths =
        codeLengths(lengthCounts, kLongestLengthCode);
    const std::array<uint32_t, kLengthSymbols> lengthCodes = canonicalCodes(lengthLengths);

    bits.put(0, 1);                        // not the final block
    bits.put(2, 2);                        // dynamic Huffman codes
    bits.put(kLiterals - 257, 5);          // literal and length codes, less 257
    bits.put(2 - 1, 5);                    // distance codes, less 1
    bits.put(kLengthSymbols - 4, 4);       // code length codes, less 4
    for (const uint8_t symbol : kLengthOrder) {
        bits.put(lengthLengths[symbol], 3);
    }
    for (const uint8_t length : lengths) {
        put(bits, lengthCodes[length]);
    }
    for (const uint8_t length : kDistanceLengths) {
        put(bits, lengthCodes[length]);
    }
    bits.putCoded(data, codes.data());
    put(bits, codes[kEndOfBlock]);
}

}  // namespace

void appendLiteralBlocks(std::span<const uint8_t> data, std::vector<uint8_t>& out) {
    const size_t blocks = (data.size() + kBlockBytes - 1) / kBlockBytes;
    const size_t start = out.size();
    out.resize(start + blocks * kLargestBlock + 8);
    BitWriter bits(out.data() + start);
    for (size_t at = 0; at < data.size(); at += kBlockBytes) {
        writeBlock(data.subspan(at, std::min(kBlockBytes, data.size() - at)), bits);
    }
    // An empty stored block, as a sync flush ends with: the header bits,
    // padding to the byte, and a length of 0 with its complement.
    bits.put(0, 1);
    bits.put(0, 2);
    uint8_t* end = bits.finish();
    const uint8_t emptyStored[4] = {0x00, 0x00, 0xFF, 0xFF};
    std::memcpy(end, emptyStored, sizeof emptyStored);
    end += sizeof emptyStored;
    out.resize(static_cast<size_t>(end - out.data()));
}

}  // namespace avifile::codecs
