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

double EstimateBlockiness(const std::vector<float>& values, int W, int H, int channels) {
    const size_t C = channels > 0 ? static_cast<size_t>(channels) : 0;
    if (W < 16 || H < 16 || C == 0 || values.size() != static_cast<size_t>(W) * H * C) {
        return 1.0;
    }
    std::vector<float> mean(static_cast<size_t>(W) * H);
    for (size_t p = 0; p < mean.size(); p++) {
        float s = 0.0f;
        for (size_t c = 0; c < C; c++) {
            s += values[p * C + c];
        }
        mean[p] = s / static_cast<float>(C);
    }
    // Only steps in flat surroundings count: there a block border stands out of nothing, while
    // texture and edges, which the grid does not shape, would drown it.
    double sum[2] = {0.0, 0.0};  // off the grid, on it
    size_t count[2] = {0, 0};
    auto look = [&](size_t p, size_t stride, bool onGrid) {
        const float step = std::fabs(mean[p] - mean[p - stride]);
        const float before = std::fabs(mean[p - stride] - mean[p - 2 * stride]);
        const float after = std::fabs(mean[p + stride] - mean[p]);
        if (before < 2.0f && after < 2.0f && step < 8.0f) {
            sum[onGrid ? 1 : 0] += step;
            count[onGrid ? 1 : 0]++;
        }
    };
    for (int y = 2; y + 1 < H; y++) {
        for (int x = 2; x + 1 < W; x++) {
            const size_t p = static_cast<size_t>(y) * W + x;
            look(p, 1, x % 8 == 0);
            look(p, static_cast<size_t>(W), y % 8 == 0);
        }
    }
    if (count[0] == 0 || count[1] == 0 || !(sum[0] > 0.0)) {
        return 1.0;
    }
    return (sum[1] / static_cast<double>(count[1])) / (sum[0] / static_cast<double>(count[0]));
}

void Deblock(std::vector<float>& values, int W, int H, int channels, float threshold) {
    if (!(EstimateBlockiness(values, W, H, channels) > kBlockiness)) {
        return;
    }
    const size_t C = static_cast<size_t>(channels);
    // One line of four pixels p1 p0 | q0 q1 across a grid line, `stride` apart.
    auto filter = [&](size_t q0, size_t stride) {
        float& b = values[q0 - 2 * stride];
        float& a = values[q0 - stride];
        float& c = values[q0];
        float& d = values[q0 + stride];
        const float step = c - a;
        if (!(std::fabs(step) < threshold && std::fabs(b - a) < 0.5f * threshold &&
              std::fabs(d - c) < 0.5f * threshold)) {
            return;
        }
        const float delta = (4.0f * step + (b - d)) / 8.0f;
        a += delta;
        c -= delta;
        b += 0.5f * delta;
        d -= 0.5f * delta;
    };
    for (size_t ch = 0; ch < C; ch++) {
        for (int y = 0; y < H; y++) {
            for (int x = 8; x + 1 < W; x += 8) {
                filter((static_cast<size_t>(y) * W + x) * C + ch, C);
            }
        }
        for (int y = 8; y + 1 < H; y += 8) {
            for (int x = 0; x < W; x++) {
                filter((static_cast<size_t>(y) * W + x) * C + ch, static_cast<size_t>(W) * C);
            }
        }
    }
}
