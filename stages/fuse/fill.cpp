#include "stages/fuse/fill.h"

#include <cmath>

#include "stages/tuning.h"

namespace zelstages {

namespace {

// Along each of `lines` lines of `length` pixels (line k starts at k * lineStep, its pixels are
// pixelStep apart), pixels that are not sources take the smaller (farther) of the nearest source
// disparities on either side: the hidden side of an edge belongs to the background. Filled
// pixels are marked in `filled`.
void FillAlong(int lines, int length, size_t lineStep, size_t pixelStep,
               const std::vector<uint8_t>& source, std::vector<float>& disparity,
               std::vector<uint8_t>& filled) {
    std::vector<float> before(static_cast<size_t>(length));
    for (int k = 0; k < lines; k++) {
        const size_t start = static_cast<size_t>(k) * lineStep;
        float last = kNaN;
        for (int t = 0; t < length; t++) {
            const size_t p = start + static_cast<size_t>(t) * pixelStep;
            if (source[p]) {
                last = disparity[p];
            }
            before[static_cast<size_t>(t)] = last;
        }
        last = kNaN;
        for (int t = length - 1; t >= 0; t--) {
            const size_t p = start + static_cast<size_t>(t) * pixelStep;
            if (source[p]) {
                last = disparity[p];
                continue;
            }
            const float a = before[static_cast<size_t>(t)];
            const float b = last;
            if (!std::isfinite(a) && !std::isfinite(b)) {
                continue;
            }
            disparity[p] = !std::isfinite(a) ? b : !std::isfinite(b) ? a : std::min(a, b);
            filled[p] = 1;
        }
    }
}

}  // namespace

std::vector<uint8_t> FillUnreliable(int W, int H, const std::vector<uint8_t>& reliable,
                                    std::vector<float>& disparity) {
    std::vector<uint8_t> filled(reliable.size(), 0);
    const size_t Ws = static_cast<size_t>(W);
    FillAlong(H, W, Ws, 1, reliable, disparity, filled);
    for (size_t p = 0; p < filled.size(); p++) {
        filled[p] = filled[p] || reliable[p] ? 1 : 0;
    }
    std::vector<uint8_t> columnFilled(reliable.size(), 0);
    FillAlong(W, H, 1, Ws, filled, disparity, columnFilled);
    for (size_t p = 0; p < filled.size(); p++) {
        filled[p] = filled[p] || columnFilled[p] ? 1 : 0;
    }
    return filled;
}

}  // namespace zelstages
