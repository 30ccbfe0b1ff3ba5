#include "codecs/cinepak_encoder.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "codecs/block_codec.h"
#include "codecs/codebook.h"
#include "codecs/codec_options.h"

namespace avifile::codecs {
namespace {

constexpr size_t kFrameHeader = 10;
constexpr size_t kStripHeader = 12;
constexpr size_t kLargest = (size_t{1} << 24) - 1;  // sizes are 24-bit
// Strips of about 5000 blocks: each strip has codebooks of its own, and
// smaller strips give the picture more entries.
constexpr int kStripBlocks = 5000;
constexpr int kMostStrips = 31;
constexpr double kFullWeightBlocks = 4800.0;
constexpr int kShareBlocks = 4000;  // the fewest blocks worth a strip of their own
constexpr size_t kMostSamples = 2048;
constexpr int kPasses = 2;

void put16(std::vector<uint8_t>& out, size_t at, size_t value) {
    out[at] = static_cast<uint8_t>(value >> 8);
    out[at + 1] = static_cast<uint8_t>(value);
}

void put24(std::vector<uint8_t>& out, size_t at, size_t value) {
    out[at] = static_cast<uint8_t>(value >> 16);
    put16(out, at + 1, value & 0xFFFF);
}

// Block flags as the reader takes them: 32-bit big-endian words, most
// significant bit first, each word placed where its first bit is needed.
class FlagWriter {
public:
    explicit FlagWriter(std::vector<uint8_t>& out) : out_(out) {}
    ~FlagWriter() { finish(); }
    void put(bool bit) {
        if (used_ == 32) {
            finish();
            at_ = out_.size();
            out_.insert(out_.end(), 4, 0);
            used_ = 0;
            word_ = 0;
        }
        if (bit) {
            word_ |= 1u << (31 - used_);
        }
        ++used_;
    }
    void finish() {
        if (used_ > 0 && used_ <= 32 && at_ != kNone) {
            put16(out_, at_, word_ >> 16);
            put16(out_, at_ + 2, word_ & 0xFFFF);
        }
    }

private:
    static constexpr size_t kNone = ~size_t{0};
    std::vector<uint8_t>& out_;
    size_t at_ = kNone;
    int used_ = 32;
    uint32_t word_ = 0;
};

// One 4x4 block: its four 2x2 squares (top-left, top-right, bottom-left,
// bottom-right) as V4 vectors, the block as a V1 vector (the squares' mean
// luma and the block's chroma), and the error that a V1 entry cannot take
// away (the detail within the squares).
struct Block {
    Vector6 squares[4];
    Vector6 whole;
    int flatError = 0;
};

enum class Mode : uint8_t { Skip, V1, V4 };

// The bits of a block's coding between key frames.
double bitsOf(Mode mode) {
    return mode == Mode::Skip ? 1.0 : mode == Mode::V1 ? 10.0 : 34.0;
}

// A block whose error is within this many bits' worth is served well.
constexpr double kWellServed = 8.0;

struct Choice {
    float cost = 0.0f;  // error plus lambda times bits
    Mode mode = Mode::Skip;
    uint8_t v1 = 0;
    uint8_t v4[4] = {};
};

struct Strip {
    int top = 0;  // pixel rows
    int rows = 0;
    Codebook v1, v4;       // as the reader holds them
    bool haveBooks = false;
    std::vector<Vector6> shown;  // the reader's squares, four per block
    std::vector<Block> blocks;
    std::vector<Choice> choices, trial;
    std::vector<int> unchanged;  // error of skipping each block
    std::vector<uint8_t> out;
    std::vector<uint8_t> v1Sent, v4Sent;  // entries replaced between key frames
    // Lambda's share for this strip: a small strip's codebooks cost more a
    // block, which at one lambda would leave small pictures well below the
    // quality of large ones, so their lambda is lowered with the square
    // root of the blocks: a strip of 4800 blocks (320x240) or more gets all
    // of it, one of 300 blocks or fewer a quarter.
    double weight = 1.0;
    bool grey = false;
};

class CinepakEncoder final : public BlockCodecEncoder {
public:
    using BlockCodecEncoder::BlockCodecEncoder;

protected:
    bool prepare(int width, int height) override;
    uint16_t bitCount() const override { return 24; }
    bool compress(const PictureView& picture, double lambda, bool& keyFrame,
                  std::vector<uint8_t>& out) override;

private:
    void readStrip(const PictureView& picture, Strip& strip) const;
    void train(const Strip& strip, double lambda, bool everyBlock, Codebook& v1,
               Codebook& v4) const;
    double update(Strip& strip, double lambda, double kept);
    double chooseBlock(const Strip& strip, size_t b, double lambda, bool keyFrame,
                       Choice& choice) const;
    double choose(Strip& strip, double lambda, bool keyFrame, std::vector<Choice>& choices) const;
    bool compressStrip(const PictureView& picture, double lambda, bool keyFrame, Strip& strip);
    void emit(Strip& strip, bool keyFrame, bool newBooks);

    int width_ = 0;
    int columns_ = 0;
    std::vector<Strip> strips_;
};

int CinepakEncoder_strips(int width, int height, int threads) {
    const int64_t blocks = int64_t{width / 4} * (height / 4);
    const int blockRows = std::max(height / 4, 1);
    int strips = static_cast<int>((blocks + kStripBlocks - 1) / kStripBlocks);
    // Each strip sends its own codebooks: a share for every core only where
    // the strips stay large enough to pay for theirs.
    if (blocks >= int64_t{kShareBlocks} * threads) {
        strips = (strips + threads - 1) / threads * threads;
    }
    return std::clamp(strips, 1, std::min(kMostStrips, blockRows));
}

bool CinepakEncoder::prepare(int width, int height) {
    width_ = width;
    columns_ = width / 4;
    const int count = CinepakEncoder_strips(width, height, threads_);
    const int blockRows = height / 4;
    strips_.clear();
    strips_.resize(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        Strip& strip = strips_[static_cast<size_t>(i)];
        const int first = static_cast<int>(int64_t{blockRows} * i / count);
        const int last = static_cast<int>(int64_t{blockRows} * (i + 1) / count);
        strip.top = first * 4;
        strip.rows = (last - first) * 4;
        const size_t blocks = static_cast<size_t>(last - first) * static_cast<size_t>(columns_);
        strip.shown.assign(blocks * 4, Vector6{});
        strip.weight = std::clamp(std::sqrt(static_cast<double>(blocks) / kFullWeightBlocks), 0.25, 1.0);
        strip.blocks.resize(blocks);
    }
    return true;
}

int luma(int r, int g, int b) {
    // The codec's colours: R = Y + 2V, G = Y - U/2 - V, B = Y + 2U, whose
    // luma is (2R + 4G + B) / 7.
    return ((2 * r + 4 * g + b) * 9362 + 32768) >> 16;
}

void CinepakEncoder::readStrip(const PictureView& picture, Strip& strip) const {
    const int pixelBytes = picture.pixelBytes;
    int colour = 0;  // stays 0 while every pixel is grey
    size_t index = 0;
    for (int by = 0; by < strip.rows; by += 4) {
        const uint8_t* rows[4];
        for (int k = 0; k < 4; ++k) {
            rows[k] = picture.row(strip.top + by + k);
        }
        for (int column = 0; column < columns_; ++column, ++index) {
            Block& block = strip.blocks[index];
            int wholeSum[6] = {};
            for (int sq = 0; sq < 4; ++sq) {
                const int sy = (sq / 2) * 2;
                const int sx = column * 4 + (sq % 2) * 2;
                int sumB = 0, sumR = 0, sumY = 0;
                Vector6& v = block.squares[sq];
                for (int p = 0; p < 4; ++p) {
                    const uint8_t* px = rows[sy + p / 2] + static_cast<ptrdiff_t>(sx + p % 2) * pixelBytes;
                    const int b = px[0], g = px[1], r = px[2];
                    colour |= (r ^ g) | (g ^ b);
                    const int y = luma(r, g, b);
                    v.s[static_cast<size_t>(p)] = static_cast<int16_t>(y);
                    sumY += y;
                    sumB += b;
                    sumR += r;
                }
                v.s[4] = static_cast<int16_t>((sumB - sumY + (sumB >= sumY ? 2 : -2)) / 4);
                v.s[5] = static_cast<int16_t>((sumR - sumY + (sumR >= sumY ? 2 : -2)) / 4);
                wholeSum[sq] = sumY;
                wholeSum[4] += v.s[4];
                wholeSum[5] += v.s[5];
            }
            int flat = 0, flatChroma = 0;
            for (int sq = 0; sq < 4; ++sq) {
                const int mean = (wholeSum[sq] + 2) / 4;
                block.whole.s[static_cast<size_t>(sq)] = static_cast<int16_t>(mean);
                for (size_t p = 0; p < 4; ++p) {
                    const int d = block.squares[sq].s[p] - mean;
                    flat += d * d;
                }
            }
            for (size_t c = 4; c < 6; ++c) {
                const int mean = (wholeSum[c] + (wholeSum[c] >= 0 ? 2 : -2)) / 4;
                block.whole.s[c] = static_cast<int16_t>(mean);
                for (int sq = 0; sq < 4; ++sq) {
                    const int d = block.squares[sq].s[c] - mean;
                    flatChroma += d * d;
                }
            }
            block.flatError = kLumaWeight * flat + kChromaWeight * flatChroma;
        }
    }
    strip.grey = colour == 0;
}

// New codebooks for the blocks worth coding (all on key frames): V1 from their whole vectors,
// V4 from the squares of those a V1 entry would leave too far off.
void CinepakEncoder::train(const Strip& strip, double lambda, bool everyBlock, Codebook& v1,
                           Codebook& v4) const {
    const bool grey = strip.grey;
    const double entryBits = grey ? 32.0 : 48.0;
    std::vector<size_t> wanted;
    for (size_t b = 0; b < strip.blocks.size(); ++b) {
        // Between key frames, only the blocks the kept books serve badly.
        if (everyBlock || strip.choices[b].cost - bitsOf(strip.choices[b].mode) * lambda >
                              kWellServed * lambda) {
            wanted.push_back(b);
        }
    }
    std::vector<Vector6> samples;
    const size_t step1 = std::max<size_t>(1, (wanted.size() + kMostSamples - 1) / kMostSamples);
    for (size_t i = 0; i < wanted.size(); i += step1) {
        samples.push_back(strip.blocks[wanted[i]].whole);
    }
    // A V1 vector's error counts four times (one sample per square).
    v1.train(samples, Codebook::kMost,
                   static_cast<int64_t>(lambda * entryBits / (16.0 * static_cast<double>(step1))),
                   kPasses, grey);
    samples.clear();
    // The blocks a V1 entry would leave too far off, from a sample of at
    // most twice the blocks whose squares the V4 book learns from.
    std::vector<size_t> detailed;
    const size_t stepD = std::max<size_t>(1, (wanted.size() + kMostSamples / 2 - 1) / (kMostSamples / 2));
    for (size_t i = 0; i < wanted.size(); i += stepD) {
        const size_t b = wanted[i];
        int d = 0;
        v1.nearest(strip.blocks[b].whole, d);
        if (strip.blocks[b].flatError + 4.0 * d > 24.0 * lambda) {
            detailed.push_back(b);
        }
    }
    const size_t step4 =
        std::max<size_t>(1, (4 * detailed.size() + kMostSamples - 1) / kMostSamples);
    for (size_t i = 0; i < 4 * detailed.size(); i += step4) {
        samples.push_back(strip.blocks[detailed[i / 4]].squares[i % 4]);
    }
    // Each sampled square stands for stepD * step4 of the strip's.
    v4.train(samples, Codebook::kMost,
             static_cast<int64_t>(lambda * entryBits /
                                  (4.0 * static_cast<double>(step4 * stepD))),
             kPasses, grey);
}

// The cheapest coding of block `b` with the strip's codebooks; returns its
// cost (error plus lambda times bits).
double CinepakEncoder::chooseBlock(const Strip& strip, size_t b, double lambda, bool keyFrame,
                                   Choice& choice) const {
    const double flagBits = keyFrame ? 1.0 : 2.0;
    const double bitsV1 = (8.0 + flagBits) * lambda;
    const double bitsV4 = (32.0 + flagBits) * lambda;
    const Block& block = strip.blocks[b];
    double best = 1e300;
    choice.mode = Mode::Skip;
    if (!keyFrame) {
        best = strip.unchanged[b] + lambda;
        if (best <= bitsV1) {
            choice.cost = static_cast<float>(best);
            return best;
        }
    }
    if (strip.v1.size() > 0) {
        int d = 0;
        const int v1 = strip.v1.nearest(block.whole, d);
        const double cost = block.flatError + 4.0 * d + bitsV1;
        if (cost < best) {
            best = cost;
            choice.mode = Mode::V1;
            choice.v1 = static_cast<uint8_t>(v1);
        }
    }
    if (strip.v4.size() > 0 && best > bitsV4) {
        double sum = bitsV4;
        uint8_t picks[4];
        size_t sq = 0;
        // Stops once the squares so far cost more than the best so far.
        for (; sq < 4 && sum < best; ++sq) {
            int d = 0;
            picks[sq] = static_cast<uint8_t>(strip.v4.nearest(block.squares[sq], d));
            sum += d;
        }
        if (sq == 4 && sum < best) {
            best = sum;
            choice.mode = Mode::V4;
            std::copy(picks, picks + 4, choice.v4);
        }
    }
    choice.cost = static_cast<float>(best);
    return best;
}

// Chooses for every block; returns the strip's cost.
double CinepakEncoder::choose(Strip& strip, double lambda, bool keyFrame,
                              std::vector<Choice>& choices) const {
    choices.resize(strip.blocks.size());
    double total = 0.0;
    for (size_t b = 0; b < strip.blocks.size(); ++b) {
        total += chooseBlock(strip, b, lambda, keyFrame, choices[b]);
    }
    return total;
}

// A codebook chunk: every entry of `book`, or (with `only`) just the
// entries flagged there, each behind a bit in 32-bit words that say which
// entries follow; the reader keeps the others.
void putEntries(std::vector<uint8_t>& out, const Codebook& book, uint8_t id, bool grey,
                const std::vector<uint8_t>* only = nullptr) {
    const size_t at = out.size();
    out.insert(out.end(), 4, 0);
    int last = book.size() - 1;
    while (only != nullptr && last >= 0 && (*only)[static_cast<size_t>(last)] == 0) {
        --last;
    }
    {
        FlagWriter flags(out);
        for (int i = 0; i <= last; ++i) {
            if (only != nullptr) {
                const bool sent = (*only)[static_cast<size_t>(i)] != 0;
                flags.put(sent);
                if (!sent) {
                    continue;
                }
            }
            const Vector6& e = book.entry(i);
            for (size_t k = 0; k < 4; ++k) {
                out.push_back(static_cast<uint8_t>(e.s[k]));
            }
            if (!grey) {
                out.push_back(static_cast<uint8_t>(static_cast<int8_t>(e.s[4] / 2)));
                out.push_back(static_cast<uint8_t>(static_cast<int8_t>(e.s[5] / 2)));
            }
        }
    }
    out[at] = static_cast<uint8_t>(id | (grey ? 0x04 : 0x00) | (only != nullptr ? 0x01 : 0x00));
    put24(out, at + 1, out.size() - at);
}

void CinepakEncoder::emit(Strip& strip, bool keyFrame, bool newBooks) {
    std::vector<uint8_t>& out = strip.out;
    out.assign(kStripHeader, 0);
    if (newBooks) {
        // Only the entries some block uses go out, in their order.
        std::vector<int> v1Map(Codebook::kMost, -1), v4Map(Codebook::kMost, -1);
        for (const Choice& c : strip.choices) {
            if (c.mode == Mode::V1) {
                v1Map[c.v1] = 0;
            } else if (c.mode == Mode::V4) {
                for (uint8_t e : c.v4) {
                    v4Map[e] = 0;
                }
            }
        }
        const auto compact = [](Codebook& book, std::vector<int>& map) {
            std::vector<Vector6> kept;
            for (int i = 0; i < book.size(); ++i) {
                if (map[static_cast<size_t>(i)] == 0) {
                    map[static_cast<size_t>(i)] = static_cast<int>(kept.size());
                    kept.push_back(book.entry(i));
                }
            }
            book.assign(kept);
        };
        compact(strip.v1, v1Map);
        compact(strip.v4, v4Map);
        for (Choice& c : strip.choices) {
            c.v1 = static_cast<uint8_t>(std::max(0, v1Map[c.v1]));
            for (uint8_t& e : c.v4) {
                e = static_cast<uint8_t>(std::max(0, v4Map[e]));
            }
        }
        const bool grey = strip.grey;
        if (strip.v4.size() > 0) {
            putEntries(out, strip.v4, 0x20, grey);
        }
        if (strip.v1.size() > 0) {
            putEntries(out, strip.v1, 0x22, grey);
        }
    } else {
        // Between key frames, only the entries replaced for this frame.
        const auto any = [](const std::vector<uint8_t>& sent) {
            return std::find(sent.begin(), sent.end(), 1) != sent.end();
        };
        if (any(strip.v4Sent)) {
            putEntries(out, strip.v4, 0x20, strip.grey, &strip.v4Sent);
        }
        if (any(strip.v1Sent)) {
            putEntries(out, strip.v1, 0x22, strip.grey, &strip.v1Sent);
        }
    }
    bool anyV4 = false;
    for (const Choice& c : strip.choices) {
        anyV4 = anyV4 || c.mode == Mode::V4;
    }
    const size_t chunk = out.size();
    out.insert(out.end(), 4, 0);
    const uint8_t id = !keyFrame ? 0x31 : anyV4 ? 0x30 : 0x32;
    {
        FlagWriter flags(out);
        for (size_t b = 0; b < strip.choices.size(); ++b) {
            const Choice& c = strip.choices[b];
            if (!keyFrame) {
                flags.put(c.mode != Mode::Skip);
            }
            if (c.mode == Mode::Skip) {
                continue;
            }
            if (id != 0x32) {
                flags.put(c.mode == Mode::V4);
            }
            Vector6* shown = &strip.shown[4 * b];
            if (c.mode == Mode::V1) {
                out.push_back(c.v1);
                const Vector6& e = strip.v1.entry(c.v1);
                for (size_t sq = 0; sq < 4; ++sq) {
                    shown[sq].s = {e.s[sq], e.s[sq], e.s[sq], e.s[sq], e.s[4], e.s[5]};
                }
            } else {
                for (size_t sq = 0; sq < 4; ++sq) {
                    out.push_back(c.v4[sq]);
                    shown[sq] = strip.v4.entry(c.v4[sq]);
                }
            }
        }
    }
    out[chunk] = id;
    put24(out, chunk + 1, out.size() - chunk);
    out[0] = keyFrame ? 0x10 : 0x11;
    put24(out, 1, out.size());
    // Top and left 0: the strip's place follows from the one before, its
    // bottom and right are its height and width.
    put16(out, 8, static_cast<size_t>(strip.rows));
    put16(out, 10, static_cast<size_t>(width_));
}

namespace {

// Where new entries may go in a codebook whose entries blocks use `uses`
// times each: first the free places, then the entries from the least used.
std::vector<int> placesFor(const Codebook& book, const std::vector<int>& uses) {
    std::vector<int> places;
    for (int i = book.size(); i < Codebook::kMost; ++i) {
        places.push_back(i);
    }
    std::vector<int> old(static_cast<size_t>(book.size()));
    for (int i = 0; i < book.size(); ++i) {
        old[static_cast<size_t>(i)] = i;
    }
    std::stable_sort(old.begin(), old.end(), [&](int a, int b) {
        return uses[static_cast<size_t>(a)] < uses[static_cast<size_t>(b)];
    });
    places.insert(places.end(), old.begin(), old.end());
    return places;
}

// `book` with `fresh`'s entries put in `places` (as many as fit).
std::vector<Vector6> merged(const Codebook& book, const Codebook& fresh,
                            const std::vector<int>& places, int& used) {
    std::vector<Vector6> entries(Codebook::kMost);
    for (int i = 0; i < book.size(); ++i) {
        entries[static_cast<size_t>(i)] = book.entry(i);
    }
    used = std::min<int>(fresh.size(), static_cast<int>(places.size()));
    int size = book.size();
    for (int k = 0; k < used; ++k) {
        const int at = places[static_cast<size_t>(k)];
        entries[static_cast<size_t>(at)] = fresh.entry(k);
        size = std::max(size, at + 1);
    }
    entries.resize(static_cast<size_t>(size));
    return entries;
}

}  // namespace

// Between key frames: new entries trained on the blocks the kept codebooks
// serve badly, put in place of free or little-used entries, where the
// blocks they improve pay for the entries' bytes. Only the entries that
// some block then uses are sent, packed into the first of their places.
double CinepakEncoder::update(Strip& strip, double lambda, double kept) {
    // Nothing to gain unless the blocks served badly could pay for an entry.
    double gain = 0.0;
    for (const Choice& c : strip.choices) {
        gain += std::max(0.0, c.cost - (bitsOf(c.mode) + kWellServed) * lambda);
    }
    if (gain < lambda * (strip.grey ? 32.0 : 48.0)) {
        return kept;
    }
    Codebook freshV1, freshV4;
    train(strip, lambda, false, freshV1, freshV4);
    if (freshV1.size() == 0 && freshV4.size() == 0) {
        return kept;
    }
    std::vector<int> usesV1(Codebook::kMost, 0), usesV4(Codebook::kMost, 0);
    for (const Choice& c : strip.choices) {
        if (c.mode == Mode::V1) {
            ++usesV1[c.v1];
        } else if (c.mode == Mode::V4) {
            for (uint8_t e : c.v4) {
                ++usesV4[e];
            }
        }
    }
    const std::vector<int> placesV1 = placesFor(strip.v1, usesV1);
    const std::vector<int> placesV4 = placesFor(strip.v4, usesV4);
    int countV1 = 0, countV4 = 0;
    Codebook oldV1 = strip.v1, oldV4 = strip.v4;
    strip.v1.assign(merged(oldV1, freshV1, placesV1, countV1));
    strip.v4.assign(merged(oldV4, freshV4, placesV4, countV4));
    std::vector<uint8_t> isNewV1(Codebook::kMost, 0), isNewV4(Codebook::kMost, 0);
    for (int k = 0; k < countV1; ++k) {
        isNewV1[static_cast<size_t>(placesV1[static_cast<size_t>(k)])] = 1;
    }
    for (int k = 0; k < countV4; ++k) {
        isNewV4[static_cast<size_t>(placesV4[static_cast<size_t>(k)])] = 1;
    }
    // Blocks the kept books already serve well keep their choice, unless it
    // names a place that now holds a new entry.
    strip.trial.resize(strip.blocks.size());
    for (size_t b = 0; b < strip.blocks.size(); ++b) {
        const Choice& k = strip.choices[b];
        bool replaced = k.mode == Mode::V1 && isNewV1[k.v1];
        for (uint8_t e : k.v4) {
            replaced = replaced || (k.mode == Mode::V4 && isNewV4[e]);
        }
        if (!replaced && k.cost - bitsOf(k.mode) * lambda <= kWellServed * lambda) {
            strip.trial[b] = k;
        } else {
            chooseBlock(strip, b, lambda, false, strip.trial[b]);
        }
    }
    // What each new entry saves: the blocks that chose it share out the
    // cost they saved among the new entries they use. Entries that save
    // less than their own bytes are dropped.
    std::vector<double> savedV1(Codebook::kMost, 0.0), savedV4(Codebook::kMost, 0.0);
    for (size_t b = 0; b < strip.trial.size(); ++b) {
        const Choice& c = strip.trial[b];
        const double saved = static_cast<double>(strip.choices[b].cost) - c.cost;
        if (c.mode == Mode::V1 && isNewV1[c.v1]) {
            savedV1[c.v1] += saved;
        } else if (c.mode == Mode::V4) {
            int fresh = 0;
            for (uint8_t e : c.v4) {
                fresh += isNewV4[e];
            }
            for (uint8_t e : c.v4) {
                if (isNewV4[e]) {
                    savedV4[e] += saved / fresh;
                }
            }
        }
    }
    const double entryCost = lambda * (strip.grey ? 32.0 : 48.0);
    std::vector<int> mapV1(Codebook::kMost, -1), mapV4(Codebook::kMost, -1);
    for (int i = 0; i < Codebook::kMost; ++i) {
        const size_t at = static_cast<size_t>(i);
        mapV1[at] = isNewV1[at] && savedV1[at] > entryCost ? 0 : -1;
        mapV4[at] = isNewV4[at] && savedV4[at] > entryCost ? 0 : -1;
    }
    // `map` turns from "worth sending" (0) into where each place of the
    // merged book went: -1 for a new entry not sent, whose place holds the
    // old entry again.
    const auto pack = [](const Codebook& old, Codebook& book, const std::vector<int>& places,
                         int count, std::vector<int>& map, std::vector<uint8_t>& sent) {
        std::vector<Vector6> entries(Codebook::kMost);
        for (int i = 0; i < old.size(); ++i) {
            entries[static_cast<size_t>(i)] = old.entry(i);
        }
        std::vector<int> to(Codebook::kMost);
        for (int i = 0; i < Codebook::kMost; ++i) {
            to[static_cast<size_t>(i)] = i;
        }
        int size = old.size();
        int next = 0;
        for (int k = 0; k < count; ++k) {
            const int from = places[static_cast<size_t>(k)];
            if (map[static_cast<size_t>(from)] < 0) {
                to[static_cast<size_t>(from)] = -1;
                continue;  // not worth sending: the reader keeps what it had there
            }
            const int place = places[static_cast<size_t>(next++)];
            entries[static_cast<size_t>(place)] = book.entry(from);
            to[static_cast<size_t>(from)] = place;
            sent[static_cast<size_t>(place)] = 1;
            size = std::max(size, place + 1);
        }
        entries.resize(static_cast<size_t>(size));
        book.assign(entries);
        map = std::move(to);
        return next;
    };
    std::vector<uint8_t> sentV1(Codebook::kMost, 0), sentV4(Codebook::kMost, 0);
    const int sentCountV1 = pack(oldV1, strip.v1, placesV1, countV1, mapV1, sentV1);
    const int sentCountV4 = pack(oldV4, strip.v4, placesV4, countV4, mapV4, sentV4);
    const auto flagBits = [](const std::vector<uint8_t>& sent) {
        int last = -1;
        for (int i = 0; i < Codebook::kMost; ++i) {
            if (sent[static_cast<size_t>(i)] != 0) {
                last = i;
            }
        }
        return last < 0 ? 0.0 : 32.0 * (last / 32 + 1) + 32.0;  // words and chunk header
    };
    // Blocks keep their entries at the places they moved to; those that
    // chose an entry not sent choose again.
    double fresh = entryCost * (sentCountV1 + sentCountV4) +
                   lambda * (flagBits(sentV1) + flagBits(sentV4));
    for (size_t b = 0; b < strip.trial.size(); ++b) {
        Choice& c = strip.trial[b];
        bool lost = false;
        if (c.mode == Mode::V1) {
            const int at = mapV1[c.v1];
            lost = at < 0;
            c.v1 = static_cast<uint8_t>(std::max(at, 0));
        } else if (c.mode == Mode::V4) {
            for (uint8_t& e : c.v4) {
                const int at = mapV4[e];
                lost = lost || at < 0;
                e = static_cast<uint8_t>(std::max(at, 0));
            }
        }
        fresh += lost ? chooseBlock(strip, b, lambda, false, c) : c.cost;
    }
    if (fresh < kept) {
        std::swap(strip.choices, strip.trial);
        strip.v1Sent = std::move(sentV1);
        strip.v4Sent = std::move(sentV4);
        return fresh;
    }
    strip.v1 = std::move(oldV1);
    strip.v4 = std::move(oldV4);
    return kept;
}

bool CinepakEncoder::compressStrip(const PictureView& picture, double lambda, bool keyFrame,
                                   Strip& strip) {
    readStrip(picture, strip);
    strip.unchanged.assign(strip.blocks.size(), 0);
    if (keyFrame || !strip.haveBooks) {
        train(strip, lambda, true, strip.v1, strip.v4);
        choose(strip, lambda, keyFrame, strip.choices);
        strip.haveBooks = true;
        emit(strip, keyFrame, true);
        return strip.out.size() <= kLargest;
    }
    for (size_t b = 0; b < strip.blocks.size(); ++b) {
        strip.unchanged[b] = distance4(strip.blocks[b].squares, &strip.shown[4 * b]);
    }
    const double kept = choose(strip, lambda, false, strip.choices);
    strip.v1Sent.assign(Codebook::kMost, 0);
    strip.v4Sent.assign(Codebook::kMost, 0);
    const bool anyCoded = std::any_of(strip.choices.begin(), strip.choices.end(),
                                      [](const Choice& c) { return c.mode != Mode::Skip; });
    if (anyCoded) {
        update(strip, lambda, kept);
    }
    emit(strip, false, false);
    return strip.out.size() <= kLargest;
}

bool CinepakEncoder::compress(const PictureView& picture, double lambda, bool& keyFrame,
                              std::vector<uint8_t>& out) {
    const bool key = keyFrame;
    std::vector<char> ok(strips_.size(), 0);
    pool_->run(static_cast<int>(strips_.size()), [&](int i) {
        ok[static_cast<size_t>(i)] =
            compressStrip(picture, lambda * strips_[static_cast<size_t>(i)].weight, key,
                          strips_[static_cast<size_t>(i)]) ? 1 : 0;
    });
    size_t total = kFrameHeader;
    for (size_t i = 0; i < strips_.size(); ++i) {
        if (!ok[i]) {
            return false;
        }
        total += strips_[i].out.size();
    }
    if (total > kLargest) {
        return false;
    }
    out.assign(kFrameHeader, 0);
    // Flags bit 0: each strip keeps its own codebooks from the frame
    // before (rather than starting from the strip above's).
    out[0] = key ? 0x00 : 0x01;
    put24(out, 1, total);
    put16(out, 4, static_cast<size_t>(width_));
    put16(out, 6, static_cast<size_t>(picture.height));
    put16(out, 8, strips_.size());
    for (const Strip& strip : strips_) {
        out.insert(out.end(), strip.out.begin(), strip.out.end());
    }
    return true;
}

}  // namespace

int cinepakStrips(int width, int height) {
    return CinepakEncoder_strips(width, height, encoderThreads());
}

std::unique_ptr<Encoder> makeCinepakEncoder(const CodecProfile& profile,
                                            const EncoderSettings& settings) {
    // Lambda in the weighted squared error of distance() (about two thirds
    // of the squared RGB error) per bit at the default quality: on the
    // moving test picture and a zoom over a photograph, at 640x480 and
    // 1080p, fewer bytes than the library encoder at about its PSNR or more.
    return std::make_unique<CinepakEncoder>(profile, settings, cinepakKeyInterval(settings), 76.0);
}

}  // namespace avifile::codecs
