#include "stages/fuse/fusion.h"

#include <cmath>

#include "stages/fuse/consistency.h"
#include "stages/fuse/fill.h"

namespace zelstages {

double FuseFrame(const FrameSet& fs, const Sweep& sw, bool markMissing, std::vector<float>& map,
                 std::vector<uint8_t>& marks, int threads) {
    const int W = fs.ref->w;
    const int H = fs.ref->h;
    const size_t n = map.size();
    double checkSamples = 0.0;
    std::vector<uint8_t> agree;
    std::vector<uint8_t> disagree;
    std::vector<double> fused;
    checkSamples += Consistency(fs, map, sw, agree, disagree, &fused, threads);
    std::vector<uint8_t> contradicted(n, 0);
    for (size_t p = 0; p < n; p++) {
        contradicted[p] = agree[p] == 0 && disagree[p] >= kContradictions ? 1 : 0;
    }
    // A contradicted pixel first tries the disparity filled in along its row from the
    // pixels that stand; it becomes NaN only when the neighbours contradict that
    // too. Pixels near the picture's edge that the neighbours do not see at their
    // true depth keep an estimate this way instead of being blanked for a wrong one.
    std::vector<float> filled;
    if (markMissing) {
        filled = map;
        std::vector<uint8_t> standing(n);
        for (size_t p = 0; p < n; p++) {
            standing[p] = contradicted[p] == 0 && std::isfinite(map[p]) ? 1 : 0;
        }
        FillUnreliable(W, H, standing, filled);
        std::vector<uint8_t> agreeFilled;
        std::vector<uint8_t> disagreeFilled;
        checkSamples += Consistency(fs, filled, sw, agreeFilled, disagreeFilled, nullptr, threads);
        for (size_t p = 0; p < n; p++) {
            if (contradicted[p] && std::isfinite(filled[p]) &&
                (agreeFilled[p] > 0 || disagreeFilled[p] < kContradictions)) {
                contradicted[p] = 0;
                map[p] = filled[p];
                agree[p] = 0;
            }
        }
    }
    marks.resize(n);
    for (size_t p = 0; p < n; p++) {
        const float sure =
            markMissing && contradicted[p] ? 0.0f : Confidence(agree[p], disagree[p]);
        marks[p] = PixelMark(agree[p] >= kPlaneConfirmations, sure);
    }
    for (size_t p = 0; p < n; p++) {
        if (markMissing && contradicted[p]) {
            map[p] = kNaN;
        } else if (agree[p] > 0) {
            map[p] = static_cast<float>((map[p] + fused[p]) / (1.0 + agree[p]));
        }
    }
    return checkSamples;
}

}  // namespace zelstages
