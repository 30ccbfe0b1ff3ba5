// Vector quantisation for the Cinepak encoder: codebooks of up to 256
// six-sample vectors (four luma samples and a chroma pair), trained from a
// sample of a strip's vectors, and the search for the nearest entry.
#ifndef AVIFILE_CODECS_CODEBOOK_H
#define AVIFILE_CODECS_CODEBOOK_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace avifile::codecs {

// Y0..Y3, then the chroma pair as (B - Y, R - Y): twice the codec's U, V.
struct Vector6 {
    std::array<int16_t, 6> s{};
};

// The squared error of a 2x2 square coded as `b` instead of `a`, weighted
// so that it follows the error in RGB: each luma difference shows in three
// samples of one pixel, each chroma difference in about 4.5 samples of four
// pixels, so chroma weighs about one and a half times as much.
constexpr int kLumaWeight = 2;
constexpr int kChromaWeight = 3;
int distance(const Vector6& a, const Vector6& b);
// The luma samples of a codebook entry add up to at most this.
constexpr int kLargestLumaSum = 4 * 255;
// The distances of four squares in a row, summed.
int distance4(const Vector6* a, const Vector6* b);

class Codebook {
public:
    static constexpr int kMost = 256;

    int size() const { return size_; }
    const Vector6& entry(int i) const { return entries_[static_cast<size_t>(i)]; }

    // Replaces the entries (at most kMost) and prepares the search.
    void assign(const std::vector<Vector6>& entries);

    // The entry nearest to `v` (the first of equals) and its distance.
    int nearest(const Vector6& v, int& bestDistance) const;
    // The same answer by trying every entry; the reference for nearest().
    int nearestByTryingAll(const Vector6& v, int& bestDistance) const;

    // Trains at most `most` entries from `samples` (reordered): variance
    // splits of the sample while a split is worth `splitWorth` of error,
    // then `passes` k-means passes. Entries come out as the codec stores
    // them (luma 0..255, chroma even and within -256..254; grey: zero).
    void train(std::vector<Vector6>& samples, int most, int64_t splitWorth, int passes, bool grey);

private:
    int size_ = 0;
    std::vector<Vector6> entries_;
    // The entries in order of their luma sums, as pairs of samples in 32-bit
    // lanes, padded to a multiple of eight with copies of the last; with
    // each one's luma sum and its index in `entries_`. The search starts at
    // the entries of about the luma of the vector sought and stops where
    // the luma sums alone rule out a nearer entry.
    std::vector<int32_t> pairs_[3];
    std::vector<int32_t> lumaSums_;
    std::vector<int32_t> indices_;
    std::vector<uint8_t> firstBlocks_;  // by luma sum: where the search starts
};

}  // namespace avifile::codecs

#endif  // AVIFILE_CODECS_CODEBOOK_H
