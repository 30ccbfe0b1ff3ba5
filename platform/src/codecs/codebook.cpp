#include "codecs/codebook.h"

#include <algorithm>
#include <climits>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

namespace avifile::codecs {
namespace {

int32_t pairOf(int16_t low, int16_t high) {
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint16_t>(low)) |
                                static_cast<uint32_t>(static_cast<uint16_t>(high)) << 16);
}

// An entry as the codec stores it.
Vector6 stored(const int64_t* sum, int64_t count, bool grey) {
    Vector6 out;
    const int64_t half = count / 2;
    for (size_t d = 0; d < 4; ++d) {
        const int64_t mean = (sum[d] + half) / count;
        out.s[d] = static_cast<int16_t>(std::clamp<int64_t>(mean, 0, 255));
    }
    for (size_t d = 4; d < 6; ++d) {
        if (grey) {
            out.s[d] = 0;
            continue;
        }
        // Twice a signed byte, rounded to the nearest.
        const int64_t twice = sum[d] >= 0 ? (sum[d] + count) / (2 * count)
                                          : -((-sum[d] + count) / (2 * count));
        out.s[d] = static_cast<int16_t>(2 * std::clamp<int64_t>(twice, -128, 127));
    }
    return out;
}

struct Box {
    size_t begin, end;
    int64_t error;  // squared distance of the members from their mean
    int axis;       // of widest variance
    int64_t mean;   // along that axis, times the count
};

Box measure(const std::vector<Vector6>& samples, size_t begin, size_t end) {
    int64_t sum[6] = {}, squares[6] = {};
    for (size_t i = begin; i < end; ++i) {
        for (size_t d = 0; d < 6; ++d) {
            const int64_t v = samples[i].s[d];
            sum[d] += v;
            squares[d] += v * v;
        }
    }
    const int64_t n = static_cast<int64_t>(end - begin);
    Box box{begin, end, 0, 0, 0};
    int64_t widest = -1;
    for (int d = 0; d < 6; ++d) {
        // n^2 times the variance, to stay in integers.
        const int64_t spread = n * squares[d] - sum[d] * sum[d];
        box.error += n > 0 ? spread / n : 0;
        if (spread > widest) {
            widest = spread;
            box.axis = d;
            box.mean = sum[d];
        }
    }
    return box;
}

int lumaSum(const Vector6& v) { return v.s[0] + v.s[1] + v.s[2] + v.s[3]; }

#if defined(__SSE2__)
// No two vectors whose luma sums differ by `gap` are nearer than this: their
// four luma differences add up to `gap`, so their squares add up to at least
// a quarter of its square.
int64_t lumaBound(int64_t gap) { return kLumaWeight * gap * gap / 4; }

// Eight entries from `at` tried against the vector given as pairs in q0..q2:
// lanes where one is nearer, or as near with a lower index, take it.
__attribute__((target("avx2"), always_inline)) inline void tryEight(
    const int32_t* const pairs[3], const int32_t* indices, size_t at, __m256i q0, __m256i q1,
    __m256i q2, __m256i& best, __m256i& bestIndex) {
    const __m256i d0 =
        _mm256_sub_epi16(q0, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pairs[0] + at)));
    const __m256i d1 =
        _mm256_sub_epi16(q1, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pairs[1] + at)));
    const __m256i d2 =
        _mm256_sub_epi16(q2, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pairs[2] + at)));
    static_assert(kLumaWeight == 2, "the luma weight is a shift");
    const __m256i luma = _mm256_add_epi32(_mm256_madd_epi16(d0, d0), _mm256_madd_epi16(d1, d1));
    const __m256i total =
        _mm256_add_epi32(_mm256_slli_epi32(luma, 1),
                         _mm256_madd_epi16(d2, _mm256_mullo_epi16(d2, _mm256_set1_epi16(kChromaWeight))));
    const __m256i index = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(indices + at));
    const __m256i closer = _mm256_or_si256(
        _mm256_cmpgt_epi32(best, total),
        _mm256_and_si256(_mm256_cmpeq_epi32(best, total), _mm256_cmpgt_epi32(bestIndex, index)));
    best = _mm256_blendv_epi8(best, total, closer);
    bestIndex = _mm256_blendv_epi8(bestIndex, index, closer);
}

__attribute__((target("avx2"), always_inline)) inline int lowestLane(__m256i v) {
    __m128i m = _mm_min_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    m = _mm_min_epi32(m, _mm_shuffle_epi32(m, 0x4E));
    m = _mm_min_epi32(m, _mm_shuffle_epi32(m, 0xB1));
    return _mm_cvtsi128_si32(m);
}

// The search for processors with AVX2, eight entries at a time: it starts
// at the entries whose luma sums are nearest the vector's and walks outward,
// always to the side that may still hold a nearer entry, until the luma
// sums alone rule out both sides.
__attribute__((target("avx2"))) int nearestAvx2(const int32_t* const pairs[3],
                                                const int32_t* sums, const int32_t* indices,
                                                const uint8_t* firstBlocks, size_t padded,
                                                const Vector6& v, int& bestDistance) {
    const __m256i q0 = _mm256_set1_epi32(pairOf(v.s[0], v.s[1]));
    const __m256i q1 = _mm256_set1_epi32(pairOf(v.s[2], v.s[3]));
    const __m256i q2 = _mm256_set1_epi32(pairOf(v.s[4], v.s[5]));
    __m256i best = _mm256_set1_epi32(INT_MAX);
    __m256i bestIndex = _mm256_set1_epi32(INT_MAX);
    const int sought = lumaSum(v);
    const auto blocks = static_cast<ptrdiff_t>(padded / 8);
    const ptrdiff_t first =
        sought >= 0 && sought <= kLargestLumaSum
            ? firstBlocks[sought]
            : std::min<ptrdiff_t>((std::lower_bound(sums, sums + padded, sought) - sums) / 8,
                                  blocks - 1);
    tryEight(pairs, indices, static_cast<size_t>(first) * 8, q0, q1, q2, best, bestIndex);
    // Every entry of the blocks above `first` has a sum of at least the
    // vector's, every one below a smaller sum.
    ptrdiff_t up = first + 1;
    ptrdiff_t down = first - 1;
    while (true) {
        const int64_t nearest = lowestLane(best);
        const int64_t above = up < blocks ? lumaBound(sums[8 * up] - sought) : INT64_MAX;
        const int64_t below = down >= 0 ? lumaBound(sought - sums[8 * down + 7]) : INT64_MAX;
        if (std::min(above, below) > nearest) {
            break;
        }
        const ptrdiff_t next = above <= below ? up++ : down--;
        tryEight(pairs, indices, static_cast<size_t>(next) * 8, q0, q1, q2, best, bestIndex);
    }
    // The lowest index among the lanes at the least distance.
    bestDistance = lowestLane(best);
    const __m256i atBest = _mm256_cmpeq_epi32(best, _mm256_set1_epi32(bestDistance));
    return lowestLane(_mm256_blendv_epi8(_mm256_set1_epi32(INT_MAX), bestIndex, atBest));
}

const bool kHaveAvx2 = __builtin_cpu_supports("avx2");
#endif

}  // namespace

int distance(const Vector6& a, const Vector6& b) {
    int luma = 0, chroma = 0;
    for (size_t d = 0; d < 4; ++d) {
        const int diff = a.s[d] - b.s[d];
        luma += diff * diff;
    }
    for (size_t d = 4; d < 6; ++d) {
        const int diff = a.s[d] - b.s[d];
        chroma += diff * diff;
    }
    return kLumaWeight * luma + kChromaWeight * chroma;
}

int distance4(const Vector6* a, const Vector6* b) {
    static_assert(sizeof(Vector6) == 12, "four squares are 24 samples in a row");
#if defined(__SSE2__)
    // 24 samples as three vectors of eight, the weights following the
    // six-sample pattern of luma and chroma.
    const auto* pa = reinterpret_cast<const int16_t*>(a);
    const auto* pb = reinterpret_cast<const int16_t*>(b);
    const int16_t L = kLumaWeight, C = kChromaWeight;
    const __m128i weights[3] = {_mm_setr_epi16(L, L, L, L, C, C, L, L),
                                _mm_setr_epi16(L, L, C, C, L, L, L, L),
                                _mm_setr_epi16(C, C, L, L, L, L, C, C)};
    __m128i total = _mm_setzero_si128();
    for (int k = 0; k < 3; ++k) {
        const __m128i d = _mm_sub_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(pa + 8 * k)),
                                        _mm_loadu_si128(reinterpret_cast<const __m128i*>(pb + 8 * k)));
        total = _mm_add_epi32(total, _mm_madd_epi16(d, _mm_mullo_epi16(d, weights[k])));
    }
    total = _mm_add_epi32(total, _mm_shuffle_epi32(total, 0x4E));
    total = _mm_add_epi32(total, _mm_shuffle_epi32(total, 0xB1));
    return _mm_cvtsi128_si32(total);
#else
    int sum = 0;
    for (int sq = 0; sq < 4; ++sq) {
        sum += distance(a[sq], b[sq]);
    }
    return sum;
#endif
}

void Codebook::assign(const std::vector<Vector6>& entries) {
    size_ = static_cast<int>(std::min<size_t>(entries.size(), kMost));
    entries_.assign(entries.begin(), entries.begin() + size_);
    // By luma sum, then by index: both in one key.
    std::array<int32_t, kMost> order;
    for (int i = 0; i < size_; ++i) {
        // Luma sums of int16 samples lie within +-2^17.
        order[static_cast<size_t>(i)] = (lumaSum(entries_[static_cast<size_t>(i)]) + (1 << 17)) * kMost + i;
    }
    std::sort(order.begin(), order.begin() + size_);
    const size_t padded = (static_cast<size_t>(size_) + 7) & ~size_t{7};
    indices_.assign(padded, 0);
    lumaSums_.assign(padded, 0);
    for (size_t p = 0; p < 3; ++p) {
        pairs_[p].assign(padded, 0);
    }
    for (size_t i = 0; i < padded; ++i) {
        const int32_t index = order[std::min(i, static_cast<size_t>(size_) - 1)] % kMost;
        const Vector6& e = entries_[static_cast<size_t>(index)];
        indices_[i] = index;
        lumaSums_[i] = lumaSum(e);
        for (size_t p = 0; p < 3; ++p) {
            pairs_[p][i] = pairOf(e.s[2 * p], e.s[2 * p + 1]);
        }
    }
    // For each luma sum, the block holding the first entry of at least that
    // sum (the last block when there is none).
    firstBlocks_.assign(kLargestLumaSum + 1, 0);
    size_t at = 0;
    for (int sum = 0; sum <= kLargestLumaSum && padded > 0; ++sum) {
        while (at < padded && lumaSums_[at] < sum) {
            ++at;
        }
        firstBlocks_[static_cast<size_t>(sum)] = static_cast<uint8_t>(std::min(at, padded - 1) / 8);
    }
}

int Codebook::nearestByTryingAll(const Vector6& v, int& bestDistance) const {
    int found = 0;
    bestDistance = INT_MAX;
    for (int i = 0; i < size_; ++i) {
        const int d = distance(v, entries_[static_cast<size_t>(i)]);
        if (d < bestDistance) {
            bestDistance = d;
            found = i;
        }
    }
    return found;
}

int Codebook::nearest(const Vector6& v, int& bestDistance) const {
    const size_t padded = pairs_[0].size();
#if defined(__SSE2__)
    if (padded == 0) {
        bestDistance = INT_MAX;
        return 0;
    }
    if (kHaveAvx2) {
        const int32_t* const pairs[3] = {pairs_[0].data(), pairs_[1].data(), pairs_[2].data()};
        return nearestAvx2(pairs, lumaSums_.data(), indices_.data(), firstBlocks_.data(), padded,
                           v, bestDistance);
    }
    // Four entries at a time, all of them.
    const __m128i q0 = _mm_set1_epi32(pairOf(v.s[0], v.s[1]));
    const __m128i q1 = _mm_set1_epi32(pairOf(v.s[2], v.s[3]));
    const __m128i q2 = _mm_set1_epi32(pairOf(v.s[4], v.s[5]));
    __m128i best = _mm_set1_epi32(INT_MAX);
    __m128i bestIndex = _mm_set1_epi32(INT_MAX);
    const __m128i chromaWeight = _mm_set1_epi16(kChromaWeight);
    for (size_t i = 0; i < padded; i += 4) {
        const __m128i d0 = _mm_sub_epi16(
            q0, _mm_loadu_si128(reinterpret_cast<const __m128i*>(pairs_[0].data() + i)));
        const __m128i d1 = _mm_sub_epi16(
            q1, _mm_loadu_si128(reinterpret_cast<const __m128i*>(pairs_[1].data() + i)));
        const __m128i d2 = _mm_sub_epi16(
            q2, _mm_loadu_si128(reinterpret_cast<const __m128i*>(pairs_[2].data() + i)));
        const __m128i luma = _mm_add_epi32(_mm_madd_epi16(d0, d0), _mm_madd_epi16(d1, d1));
        const __m128i total = _mm_add_epi32(
            _mm_slli_epi32(luma, 1), _mm_madd_epi16(d2, _mm_mullo_epi16(d2, chromaWeight)));
        const __m128i index = _mm_loadu_si128(reinterpret_cast<const __m128i*>(indices_.data() + i));
        const __m128i closer = _mm_or_si128(
            _mm_cmplt_epi32(total, best),
            _mm_and_si128(_mm_cmpeq_epi32(total, best), _mm_cmplt_epi32(index, bestIndex)));
        best = _mm_or_si128(_mm_and_si128(closer, total), _mm_andnot_si128(closer, best));
        bestIndex = _mm_or_si128(_mm_and_si128(closer, index), _mm_andnot_si128(closer, bestIndex));
    }
    alignas(16) int32_t lanes[4];
    alignas(16) int32_t lanesIndex[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), best);
    _mm_store_si128(reinterpret_cast<__m128i*>(lanesIndex), bestIndex);
    int found = INT_MAX;
    bestDistance = INT_MAX;
    for (int lane = 0; lane < 4; ++lane) {
        if (lanes[lane] < bestDistance ||
            (lanes[lane] == bestDistance && lanesIndex[lane] < found)) {
            bestDistance = lanes[lane];
            found = lanesIndex[lane];
        }
    }
    return found;
#else
    (void)padded;
    return nearestByTryingAll(v, bestDistance);
#endif
}

void Codebook::train(std::vector<Vector6>& samples, int most, int64_t splitWorth, int passes,
                     bool grey) {
    std::vector<Vector6> entries;
    if (samples.empty() || most <= 0) {
        assign(entries);
        return;
    }
    // Variance splits: the box of most error is cut at its mean along its
    // widest axis, while a cut is worth its entry.
    std::vector<Box> boxes{measure(samples, 0, samples.size())};
    while (static_cast<int>(boxes.size()) < most) {
        size_t worst = 0;
        for (size_t b = 1; b < boxes.size(); ++b) {
            if (boxes[b].error > boxes[worst].error) {
                worst = b;
            }
        }
        const Box box = boxes[worst];
        if (box.error <= splitWorth || box.end - box.begin < 2) {
            break;
        }
        const int64_t n = static_cast<int64_t>(box.end - box.begin);
        const size_t axis = static_cast<size_t>(box.axis);
        const auto middle = std::partition(
            samples.begin() + static_cast<ptrdiff_t>(box.begin),
            samples.begin() + static_cast<ptrdiff_t>(box.end),
            [&](const Vector6& v) { return int64_t{v.s[axis]} * n < box.mean; });
        const size_t cut = static_cast<size_t>(middle - samples.begin());
        if (cut == box.begin || cut == box.end) {
            boxes[worst].error = 0;  // all alike along the axis
            continue;
        }
        boxes[worst] = measure(samples, box.begin, cut);
        boxes.push_back(measure(samples, cut, box.end));
    }
    for (const Box& box : boxes) {
        int64_t sum[6] = {};
        for (size_t i = box.begin; i < box.end; ++i) {
            for (size_t d = 0; d < 6; ++d) {
                sum[d] += samples[i].s[d];
            }
        }
        entries.push_back(stored(sum, static_cast<int64_t>(box.end - box.begin), grey));
    }
    assign(entries);
    // K-means passes: each entry moves to the mean of the samples nearest it.
    for (int pass = 0; pass < passes; ++pass) {
        std::vector<std::array<int64_t, 7>> sums(static_cast<size_t>(size_), std::array<int64_t, 7>{});
        for (const Vector6& v : samples) {
            int d = 0;
            auto& sum = sums[static_cast<size_t>(nearest(v, d))];
            for (size_t k = 0; k < 6; ++k) {
                sum[k] += v.s[k];
            }
            ++sum[6];
        }
        for (size_t e = 0; e < static_cast<size_t>(size_); ++e) {
            if (sums[e][6] > 0) {
                entries[e] = stored(sums[e].data(), sums[e][6], grey);
            }
        }
        assign(entries);
    }
}

}  // namespace avifile::codecs
