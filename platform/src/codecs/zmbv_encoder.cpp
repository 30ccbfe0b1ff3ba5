#include "codecs/zmbv_encoder.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#if defined(__SSE2__) && defined(__x86_64__)
#include <emmintrin.h>
#endif

#include "codecs/block_codec.h"
#include "codecs/codec_options.h"
#include "codecs/deflate_literals.h"

namespace avifile::codecs {
namespace {

constexpr int kBlock = 16;      // block width and height
constexpr int kPixelBytes = 4;  // BGR0
constexpr uint8_t kKeyFrameFlag = 1;
constexpr uint8_t kVersionHigh = 0;
constexpr uint8_t kVersionLow = 1;
constexpr uint8_t kZlibCompression = 1;
constexpr uint8_t kFormat32Bits = 8;
constexpr int kFarthestBack = -64;  // a vector component takes -64..63
constexpr int kFarthestOn = 63;
constexpr size_t kWindow = 32768;          // how far back deflate refers
constexpr size_t kPieceBytes = 256 * 1024;  // of the frame's data, deflated at once

struct Vector {
    int dx = 0;
    int dy = 0;
    bool operator==(const Vector&) const = default;
};

// What a block's XOR with another costs once deflated, roughly: a weight
// for each byte that differs (zero bytes cost next to nothing), plus the
// sum of absolute differences (small differences make small XORs, which
// deflate better than large ones). The sum alone chose vectors far off on
// rendered pictures whose colours change smoothly, trading a difference in
// one channel for smaller ones in two: 1.23 times the library encoder's
// bytes on the moving test picture at 1080p, 1.03 times with the weight.
constexpr uint32_t kDifferingByte = 8;

// The cost above of two blocks of `rows` rows of `rowBytes`, both `stride`
// bytes from row to row; once it reaches `limit` the rest is left
// uncounted.
uint32_t distance(const uint8_t* a, const uint8_t* b, size_t stride, int rowBytes, int rows,
                  uint32_t limit) {
    uint32_t sum = 0;
    for (int y = 0; y < rows; ++y, a += stride, b += stride) {
        int x = 0;
        uint32_t equal = 0;
#if defined(__SSE2__) && defined(__x86_64__)
        const __m128i zero = _mm_setzero_si128();
        __m128i total = zero;
        __m128i same = zero;  // per lane, how many bytes were equal
        for (; x + 16 <= rowBytes; x += 16) {
            const __m128i pa = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + x));
            const __m128i pb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + x));
            total = _mm_add_epi64(total, _mm_sad_epu8(pa, pb));
            same = _mm_sub_epi8(same, _mm_cmpeq_epi8(pa, pb));
        }
        total = _mm_add_epi64(total, _mm_slli_epi64(_mm_sad_epu8(same, zero), 32));
        const uint64_t low = static_cast<uint64_t>(_mm_cvtsi128_si64(total));
        const uint64_t high = static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(total, total)));
        sum += static_cast<uint32_t>(low) + static_cast<uint32_t>(high);
        equal = static_cast<uint32_t>(low >> 32) + static_cast<uint32_t>(high >> 32);
#endif
        for (; x < rowBytes; ++x) {
            sum += static_cast<uint32_t>(std::abs(a[x] - b[x]));
            equal += a[x] == b[x] ? 1 : 0;
        }
        sum += kDifferingByte * (static_cast<uint32_t>(rowBytes) - equal);
        if (sum >= limit) {
            break;
        }
    }
    return sum;
}

// The zlib level for the stream's quality.
int zmbvDeflateLevel(const EncoderSettings& settings) {
    if (settings.quality == ICQUALITY_DEFAULT) {
        // The fastest level within a tenth of the library encoder's bytes
        // (its level 9) on the moving test picture at 640x480 (level 5:
        // 1.17 times) and 1080p (1.03 times). Level 6 with its search cut
        // from 128 strings to 32 took a seventh less time at 1080p but made
        // 1.16 times the bytes at 640x480.
        return 6;
    }
    // A lossless codec: quality buys fewer bytes for more time, from
    // zlib's fastest level at 0 to its smallest at 10000.
    const uint32_t quality = std::min<uint32_t>(settings.quality, ICQUALITY_HIGH);
    return 1 + static_cast<int>((quality * 8 + 5000) / 10000);
}

// A zlib deflater for pieces of one stream: raw deflate blocks, none of
// them final, each piece ending on a byte boundary (a sync flush), so that
// pieces compressed apart join into one stream.
class Deflater {
public:
    Deflater(int level, int strategy) : level_(level), strategy_(strategy) {}
    ~Deflater() {
        if (ready_) {
            deflateEnd(&stream_);
        }
    }
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;

    // Deflates `data` as it follows `before` in the stream (at most the
    // window's 32 KiB) into `out`; false when zlib fails.
    bool compress(std::span<const uint8_t> before, std::span<const uint8_t> data,
                  std::vector<uint8_t>& out) {
        if (!ready_) {
            if (deflateInit2(&stream_, level_, Z_DEFLATED, -15, 8, strategy_) != Z_OK) {
                return false;
            }
            ready_ = true;
        } else if (deflateReset(&stream_) != Z_OK) {
            return false;
        }
        if (!before.empty() &&
            deflateSetDictionary(&stream_, before.data(), static_cast<uInt>(before.size())) != Z_OK) {
            return false;
        }
        out.resize(deflateBound(&stream_, static_cast<uLong>(data.size())) + 16);
        stream_.next_in = const_cast<Bytef*>(data.data());
        stream_.avail_in = static_cast<uInt>(data.size());
        stream_.next_out = out.data();
        stream_.avail_out = static_cast<uInt>(out.size());
        for (;;) {
            const int status = deflate(&stream_, Z_SYNC_FLUSH);
            if (status != Z_OK && status != Z_BUF_ERROR) {
                return false;
            }
            if (stream_.avail_out != 0) {
                break;  // all of it flushed
            }
            const size_t done = out.size();
            out.resize(done * 2);
            stream_.next_out = out.data() + done;
            stream_.avail_out = static_cast<uInt>(out.size() - done);
        }
        out.resize(out.size() - stream_.avail_out);
        return true;
    }

private:
    int level_;
    int strategy_;
    bool ready_ = false;
    z_stream stream_{};
};

// Whether deflate's search for repeats would find little in `data`:
// fewer than one in ten of its pixels repeat the non-zero pixel before
// them, and fewer than six in ten repeat the one before at all (runs of
// zero pixels, where blocks stayed as they were, deflate to next to
// nothing). So it is in the XOR of blocks that changed in small, uneven
// ways, a camera moving over a photograph: there 2 to 7 in a hundred
// pixels repeat a non-zero one, 21 to 49 any, where rendered pictures and
// their XORs repeat 66 to 83 non-zero ones. Such data goes into blocks of
// literals (deflate_literals.h): for a 1080p frame of the photograph's
// XORs, 2.50 MB in a third of the time of zlib's level 1 (2.70 MB), whose
// runs-only and Huffman-only modes (2.38 and 2.47 MB) are no faster; its
// higher levels are slower still. Pieces of under 16 KiB always go to
// zlib: the literals' code tables would cost more than they save.
bool fewRepeats(std::span<const uint8_t> data) {
    if (data.size() < 16 * 1024) {
        return false;
    }
    size_t repeats = 0;
    size_t nonZeroRepeats = 0;
    uint32_t before = 0;
    const size_t pixels = data.size() / 4;
    for (size_t i = 0; i < pixels; ++i) {
        uint32_t pixel;
        std::memcpy(&pixel, data.data() + 4 * i, 4);
        const size_t repeat = pixel == before ? 1 : 0;
        repeats += repeat;
        nonZeroRepeats += pixel != 0 ? repeat : 0;
        before = pixel;
    }
    return nonZeroRepeats * 10 < pixels && repeats * 10 < pixels * 6;
}

// The two bytes that open a zlib stream: deflate with a 32 KiB window, the
// level class named, no preset dictionary, and the check that makes the
// pair a multiple of 31.
void appendZlibHeader(std::vector<uint8_t>& out, int level) {
    const unsigned method = 0x78;
    const unsigned levelClass = level <= 1 ? 0 : level <= 5 ? 1 : level == 6 ? 2 : 3;
    unsigned flags = levelClass << 6;
    flags += 31 - (method * 256 + flags) % 31;
    out.push_back(static_cast<uint8_t>(method));
    out.push_back(static_cast<uint8_t>(flags));
}

class ZmbvEncoder final : public BlockCodecEncoder {
public:
    ZmbvEncoder(const CodecProfile& profile, const EncoderSettings& settings)
        : BlockCodecEncoder(profile, settings, zmbvKeyInterval(settings), 1.0),
          level_(zmbvDeflateLevel(settings)) {}

protected:
    bool prepare(int width, int height) override;
    bool compress(const PictureView& picture, double lambda, bool& keyFrame,
                  std::vector<uint8_t>& out) override;
    // As the library encoder's format says; readers take the depth from
    // the key frames' header.
    uint16_t bitCount() const override { return 24; }

private:
    void convertRows(const PictureView& picture, int blockRow);
    void searchRow(int blockRow);
    Vector bestVector(const uint8_t* block, int x, int y, int width, int height, Vector left,
                      Vector last, uint32_t& cost) const;
    void gatherInterFrame();
    bool deflateFrame(std::span<const uint8_t> data, bool keyFrame, std::vector<uint8_t>& out);
    std::span<const uint8_t> windowBefore(std::span<const uint8_t> data, size_t at,
                                          std::vector<uint8_t>& joined) const;
    void remember(std::span<const uint8_t> data);

    int level_;
    int width_ = 0;
    int height_ = 0;
    int columns_ = 0;  // of blocks
    int rows_ = 0;
    size_t stride_ = 0;  // of the BGR0 pictures
    std::vector<uint8_t> current_, previous_;
    bool havePrevious_ = false;
    std::vector<Vector> vectors_, lastVectors_;  // each block's, this frame and the last
    std::vector<uint8_t> vectorBytes_;           // as the frame stores them
    std::vector<std::vector<uint8_t>> rowXors_;  // each block row's XORed blocks
    std::vector<uint8_t> interFrame_;
    std::vector<uint8_t> history_;  // the stream's last bytes since the key frame, up to the window
    std::vector<std::unique_ptr<Deflater>> deflaters_;  // one per task
    std::vector<std::vector<uint8_t>> dictionaries_;    // one per task
    std::vector<std::vector<uint8_t>> pieces_;
};

bool ZmbvEncoder::prepare(int width, int height) {
    width_ = width;
    height_ = height;
    columns_ = (width + kBlock - 1) / kBlock;
    rows_ = (height + kBlock - 1) / kBlock;
    stride_ = static_cast<size_t>(width) * kPixelBytes;
    const size_t blocks = static_cast<size_t>(columns_) * static_cast<size_t>(rows_);
    try {
        current_.assign(stride_ * static_cast<size_t>(height), 0);
        previous_.assign(current_.size(), 0);
        vectors_.assign(blocks, Vector{});
        lastVectors_.assign(blocks, Vector{});
        vectorBytes_.assign((blocks * 2 + 3) & ~size_t{3}, 0);
        rowXors_.assign(static_cast<size_t>(rows_), {});
    } catch (const std::bad_alloc&) {
        return false;
    }
    havePrevious_ = false;
    history_.clear();
    return true;
}

// The caller's rows of one block row as BGR0, the unused byte zero.
void ZmbvEncoder::convertRows(const PictureView& picture, int blockRow) {
    const int first = blockRow * kBlock;
    const int end = std::min(first + kBlock, height_);
    for (int y = first; y < end; ++y) {
        const uint8_t* from = picture.row(y);
        uint8_t* to = current_.data() + stride_ * static_cast<size_t>(y);
        if (picture.pixelBytes == 4) {
            for (int x = 0; x < width_; ++x) {
                uint32_t pixel;
                std::memcpy(&pixel, from + 4 * x, 4);
                pixel &= 0x00FFFFFFu;  // little-endian: the fourth byte
                std::memcpy(to + 4 * x, &pixel, 4);
            }
        } else {
            for (int x = 0; x < width_; ++x) {
                to[4 * x] = from[3 * x];
                to[4 * x + 1] = from[3 * x + 1];
                to[4 * x + 2] = from[3 * x + 2];
                to[4 * x + 3] = 0;
            }
        }
    }
}

// The vector for the block at (x, y), `width` x `height` pixels: the best
// of the zero vector, the left block's and this block's last one, then a
// few steps of 4, 2 and 1 pixels around it while they find a closer
// block, none of this once one matches exactly. Vectors point inside the
// picture only. `cost`: the block's distance from the one it points at.
Vector ZmbvEncoder::bestVector(const uint8_t* block, int x, int y, int width, int height,
                               Vector left, Vector last, uint32_t& cost) const {
    const int rowBytes = width * kPixelBytes;
    const auto valid = [&](Vector v) {
        return v.dx >= std::max(kFarthestBack, -x) && v.dx <= std::min(kFarthestOn, width_ - width - x) &&
               v.dy >= std::max(kFarthestBack, -y) && v.dy <= std::min(kFarthestOn, height_ - height - y);
    };
    const auto distanceAt = [&](Vector v, uint32_t limit) {
        const uint8_t* reference = previous_.data() + stride_ * static_cast<size_t>(y + v.dy) +
                                   static_cast<size_t>(x + v.dx) * kPixelBytes;
        return distance(block, reference, stride_, rowBytes, height, limit);
    };
    Vector best;
    cost = distanceAt(best, UINT32_MAX);
    const auto consider = [&](Vector v) {
        if (cost != 0 && !(v == best) && valid(v)) {
            const uint32_t found = distanceAt(v, cost);
            if (found < cost) {
                cost = found;
                best = v;
            }
        }
    };
    consider(left);
    consider(last);
    for (const int step : {4, 2, 1}) {
        for (int moves = 0; moves < 4 && cost != 0; ++moves) {
            const Vector centre = best;
            consider({centre.dx + step, centre.dy});
            consider({centre.dx - step, centre.dy});
            consider({centre.dx, centre.dy + step});
            consider({centre.dx, centre.dy - step});
            if (best == centre) {
                break;
            }
        }
    }
    return best;
}

// One block row of an inter frame: each block's vector and flag, and the
// XORed pixels of the blocks that need them.
void ZmbvEncoder::searchRow(int blockRow) {
    const int y = blockRow * kBlock;
    const int height = std::min(kBlock, height_ - y);
    std::vector<uint8_t>& xors = rowXors_[static_cast<size_t>(blockRow)];
    xors.clear();
    Vector left;
    for (int column = 0; column < columns_; ++column) {
        const int x = column * kBlock;
        const int width = std::min(kBlock, width_ - x);
        const size_t index = static_cast<size_t>(blockRow) * static_cast<size_t>(columns_) +
                             static_cast<size_t>(column);
        const size_t offset = stride_ * static_cast<size_t>(y) + static_cast<size_t>(x) * kPixelBytes;
        const uint8_t* block = current_.data() + offset;
        uint32_t cost = 0;
        const Vector v = bestVector(block, x, y, width, height, left, lastVectors_[index], cost);
        vectors_[index] = v;
        left = v;
        vectorBytes_[2 * index] = static_cast<uint8_t>((v.dx * 2) | (cost != 0 ? 1 : 0));
        vectorBytes_[2 * index + 1] = static_cast<uint8_t>(v.dy * 2);
        if (cost == 0) {
            continue;
        }
        const uint8_t* reference = previous_.data() + offset +
                                   static_cast<ptrdiff_t>(v.dy) * static_cast<ptrdiff_t>(stride_) +
                                   static_cast<ptrdiff_t>(v.dx) * kPixelBytes;
        const size_t rowBytes = static_cast<size_t>(width) * kPixelBytes;
        size_t at = xors.size();
        xors.resize(at + rowBytes * static_cast<size_t>(height));
        for (int row = 0; row < height; ++row, at += rowBytes) {
            const uint8_t* a = block + stride_ * static_cast<size_t>(row);
            const uint8_t* b = reference + stride_ * static_cast<size_t>(row);
            for (size_t i = 0; i < rowBytes; ++i) {
                xors[at + i] = static_cast<uint8_t>(a[i] ^ b[i]);
            }
        }
    }
}

void ZmbvEncoder::gatherInterFrame() {
    size_t bytes = vectorBytes_.size();
    for (const std::vector<uint8_t>& xors : rowXors_) {
        bytes += xors.size();
    }
    interFrame_.resize(bytes);
    std::memcpy(interFrame_.data(), vectorBytes_.data(), vectorBytes_.size());
    size_t at = vectorBytes_.size();
    for (const std::vector<uint8_t>& xors : rowXors_) {
        if (!xors.empty()) {
            std::memcpy(interFrame_.data() + at, xors.data(), xors.size());
            at += xors.size();
        }
    }
}

// The window the piece of `data` at `at` is deflated against: the stream's
// 32 KiB before it, from this frame's data and the frames' before it since
// the key frame (joined into `joined` where it spans both).
std::span<const uint8_t> ZmbvEncoder::windowBefore(std::span<const uint8_t> data, size_t at,
                                                   std::vector<uint8_t>& joined) const {
    if (at >= kWindow) {
        return data.subspan(at - kWindow, kWindow);
    }
    const size_t earlier = std::min(history_.size(), kWindow - at);
    if (earlier == 0) {
        return data.first(at);
    }
    joined.assign(history_.end() - static_cast<ptrdiff_t>(earlier), history_.end());
    joined.insert(joined.end(), data.begin(), data.begin() + static_cast<ptrdiff_t>(at));
    return joined;
}

void ZmbvEncoder::remember(std::span<const uint8_t> data) {
    if (data.size() >= kWindow) {
        history_.assign(data.end() - static_cast<ptrdiff_t>(kWindow), data.end());
        return;
    }
    history_.insert(history_.end(), data.begin(), data.end());
    if (history_.size() > kWindow) {
        history_.erase(history_.begin(), history_.end() - static_cast<ptrdiff_t>(kWindow));
    }
}

bool ZmbvEncoder::deflateFrame(std::span<const uint8_t> data, bool keyFrame,
                               std::vector<uint8_t>& out) {
    const size_t pieces = std::max<size_t>(1, (data.size() + kPieceBytes - 1) / kPieceBytes);
    const int tasks = static_cast<int>(std::min<size_t>(static_cast<size_t>(threads_), pieces));
    while (deflaters_.size() < static_cast<size_t>(tasks)) {
        deflaters_.push_back(std::make_unique<Deflater>(level_, Z_DEFAULT_STRATEGY));
        dictionaries_.emplace_back();
    }
    pieces_.resize(pieces);
    std::vector<char> failed(static_cast<size_t>(tasks), 0);
    pool_->run(tasks, [&](int task) {
        const auto t = static_cast<size_t>(task);
        for (size_t piece = t; piece < pieces; piece += static_cast<size_t>(tasks)) {
            const size_t at = piece * kPieceBytes;
            const size_t size = std::min(kPieceBytes, data.size() - at);
            const std::span<const uint8_t> before = windowBefore(data, at, dictionaries_[t]);
            const std::span<const uint8_t> part = data.subspan(at, size);
            if (fewRepeats(part)) {
                pieces_[piece].clear();
                appendLiteralBlocks(part, pieces_[piece]);
            } else if (!deflaters_[t]->compress(before, part, pieces_[piece])) {
                failed[t] = 1;
            }
        }
    });
    if (std::find(failed.begin(), failed.end(), 1) != failed.end()) {
        return false;
    }
    out.clear();
    out.push_back(keyFrame ? kKeyFrameFlag : 0);
    if (keyFrame) {
        out.insert(out.end(), {kVersionHigh, kVersionLow, kZlibCompression, kFormat32Bits,
                               static_cast<uint8_t>(kBlock), static_cast<uint8_t>(kBlock)});
        appendZlibHeader(out, level_);
    }
    for (const std::vector<uint8_t>& piece : pieces_) {
        out.insert(out.end(), piece.begin(), piece.end());
    }
    return true;
}

bool ZmbvEncoder::compress(const PictureView& picture, double /*lambda*/, bool& keyFrame,
                           std::vector<uint8_t>& out) {
    keyFrame = keyFrame || !havePrevious_;
    const bool inter = !keyFrame;
    pool_->run(rows_, [&](int blockRow) {
        convertRows(picture, blockRow);
        if (inter) {
            searchRow(blockRow);
        }
    });
    std::span<const uint8_t> data = current_;
    if (keyFrame) {
        history_.clear();  // the decoder starts its stream over
    } else {
        gatherInterFrame();
        data = interFrame_;
    }
    if (!deflateFrame(data, keyFrame, out)) {
        return false;
    }
    remember(data);
    std::swap(current_, previous_);
    if (inter) {
        std::swap(vectors_, lastVectors_);
    }
    havePrevious_ = true;
    return true;
}

}  // namespace

std::unique_ptr<Encoder> makeZmbvEncoder(const CodecProfile& profile,
                                         const EncoderSettings& settings) {
    return std::make_unique<ZmbvEncoder>(profile, settings);
}

}  // namespace avifile::codecs
