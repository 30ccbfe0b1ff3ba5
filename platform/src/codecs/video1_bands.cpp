#include "codecs/video1_bands.h"

#include <algorithm>

namespace avifile::codecs {

int video1Bands(int height, int cores) {
    return std::clamp(std::min(cores, height / 32), 1, 4);
}

bool joinVideo1Frames(std::span<const std::span<const uint8_t>> bottomFirst,
                      std::vector<uint8_t>& joined) {
    joined.clear();
    for (size_t i = 0; i < bottomFirst.size(); ++i) {
        const auto& band = bottomFirst[i];
        const bool last = i + 1 == bottomFirst.size();
        size_t keep = band.size();
        if (!last) {
            if (band.size() < 2 || band[band.size() - 2] != 0 || band[band.size() - 1] != 0) {
                return false;
            }
            keep -= 2;  // the end code: the next band's blocks follow
        }
        joined.insert(joined.end(), band.begin(), band.begin() + static_cast<std::ptrdiff_t>(keep));
    }
    return true;
}

}  // namespace avifile::codecs
