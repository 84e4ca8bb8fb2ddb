#include "stages/fuse/consistency.h"

#include <algorithm>
#include <cmath>

namespace zelstages {

double Consistency(const FrameSet& fs, const std::vector<float>& disparity, const Sweep& sw,
                   std::vector<uint8_t>& agree, std::vector<uint8_t>& disagree,
                   std::vector<double>* fused) {
    double samples = 0.0;
    const int W = fs.ref->w;
    const int H = fs.ref->h;
    const size_t n = static_cast<size_t>(W) * H;
    agree.assign(n, 0);
    disagree.assign(n, 0);
    if (fused != nullptr) {
        fused->assign(n, 0.0);
    }
    for (size_t j = 0; j < fs.nb.size(); j++) {
        const CZelVideoFrame* map = fs.nbMap[j];
        if (map == nullptr || map->dspImg == nullptr) {
            continue;
        }
        const RelativeProjection& rel = fs.rel[j];
        for (int y = 0; y < H; y++) {
            for (int x = 0; x < W; x++) {
                const size_t p = static_cast<size_t>(y) * W + x;
                const double d = disparity[p];
                if (!std::isfinite(d)) {
                    continue;
                }
                double q[3];
                rel.Project(x, y, d, q);
                const double q0 = q[0];
                const double q1 = q[1];
                const double q2 = q[2];
                if (q2 <= 1e-9) {
                    continue;
                }
                const double u = q0 / q2;
                const double v = q1 / q2;
                if (!(u >= 0.0 && v >= 0.0 && u <= W - 1 && v <= H - 1)) {
                    continue;
                }
                const double predicted = d / q2;
                const double seen = map->GetDisparity(u, v);
                samples += 1.0;
                if (!std::isfinite(seen)) {
                    continue;
                }
                const double tol = std::max(kConsistency * predicted, sw.step);
                if (std::fabs(seen - predicted) <= tol) {
                    agree[p]++;
                    if (fused != nullptr) {
                        (*fused)[p] += d * seen / predicted;
                    }
                } else if (seen < predicted - std::max(tol, rel.PoseTolerance(q0, q1, q2,
                                                                              sw.pixelTolerance))) {
                    disagree[p]++;
                }
            }
        }
    }
    return samples;
}

std::vector<uint8_t> SeenByNeighbours(const FrameSet& fs, const std::vector<float>& disparity) {
    const int W = fs.ref->w;
    const int H = fs.ref->h;
    std::vector<uint8_t> seen(disparity.size(), 0);
    for (const RelativeProjection& rel : fs.rel) {
        for (int y = 0; y < H; y++) {
            for (int x = 0; x < W; x++) {
                const size_t p = static_cast<size_t>(y) * W + x;
                const double d = disparity[p];
                if (seen[p] || !std::isfinite(d)) {
                    continue;
                }
                double q[3];
                rel.Project(x, y, d, q);
                if (q[2] <= 1e-9) {
                    continue;
                }
                const double u = q[0] / q[2];
                const double v = q[1] / q[2];
                seen[p] = u >= 0.0 && v >= 0.0 && u <= W - 1 && v <= H - 1 ? 1 : 0;
            }
        }
    }
    return seen;
}

float Confidence(int agree, int disagree) {
    if (agree <= 0) {
        return 0.0f;
    }
    const float share = static_cast<float>(agree) / static_cast<float>(agree + disagree);
    return share * std::min(1.0f, static_cast<float>(agree) / kPlaneConfirmations);
}

uint8_t PixelMark(bool confirmed, float confidence) {
    const int steps =
        static_cast<int>(std::lround(std::min(std::max(confidence, 0.0f), 1.0f) * 127));
    return static_cast<uint8_t>((steps << 1) | (confirmed ? 1 : 0));
}

bool MarkConfirmed(uint8_t mark) {
    return (mark & 1) != 0;
}

float MarkConfidence(uint8_t mark) {
    return static_cast<float>(mark >> 1) / 127.0f;
}

}  // namespace zelstages
