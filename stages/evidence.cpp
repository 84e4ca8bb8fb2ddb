#include "stages/evidence.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "parser/featuretracks.h"
#include "sequence/videoframe.h"
#include "sequence/videosequence.h"

namespace {

// The median of values (reordered).
double Median(std::vector<float>& values) {
    if (values.empty()) {
        return 0.0;
    }
    auto mid = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), mid, values.end());
    return *mid;
}

}  // namespace

double EstimateImageNoise(const float* grey, int W, int H) {
    if (grey == nullptr || W < 3 || H < 3) {
        return 0.0;
    }
    std::vector<float> response;
    response.reserve(static_cast<size_t>(W - 2) * static_cast<size_t>(H - 2));
    const size_t Ws = static_cast<size_t>(W);
    for (int y = 1; y + 1 < H; y++) {
        const float* a = grey + (static_cast<size_t>(y) - 1) * Ws;
        const float* b = a + Ws;
        const float* c = b + Ws;
        for (int x = 1; x + 1 < W; x++) {
            const float l = a[x - 1] - 2.0f * a[x] + a[x + 1] - 2.0f * b[x - 1] + 4.0f * b[x] -
                            2.0f * b[x + 1] + c[x - 1] - 2.0f * c[x] + c[x + 1];
            response.push_back(std::fabs(l));
        }
    }
    // The mask's response to unit white noise has standard deviation 6 (the root of the sum of
    // its squared weights); the median of |N(0, s)| is 0.6745 s.
    return Median(response) / (6.0 * 0.6745);
}

double EstimateTrackResidual(const CZelVideoSequence& sequence) {
    std::vector<float> lengths;
    const bool reduced = CZelVideoFrame::reduced;
    for (int i = 0; i < sequence.GetFrameCount(); i++) {
        const CZelVideoFrame* frame = sequence.GetFrame(i);
        if (frame == nullptr || frame->camera == nullptr || frame->matchPoints == nullptr) {
            continue;
        }
        const CCamera& cam = *frame->camera;
        // Observations are in the pictures' own pixels; residuals are reported in the working
        // picture's.
        const double scale = reduced && cam.K(0, 0) != 0.0 ? cam.ScaledK(0, 0) / cam.K(0, 0) : 1.0;
        for (const CMatchPoint& m : *frame->matchPoints) {
            if (m.linker == nullptr) {
                continue;
            }
            float u = 0.0f;
            float v = 0.0f;
            float d = 0.0f;
            cam.WorldToPixel(u, v, d, m.linker->point, false);
            const double du = u - m.x;
            const double dv = v - m.y;
            const double length = std::sqrt(du * du + dv * dv) * std::fabs(scale);
            if (d > 0.0f && std::isfinite(length)) {
                lengths.push_back(static_cast<float>(length));
            }
        }
    }
    // For Gaussian errors of deviation s per coordinate the residual length has median
    // s sqrt(2 ln 2) and root mean square s sqrt(2).
    return Median(lengths) * std::sqrt(2.0) / std::sqrt(2.0 * std::log(2.0));
}
