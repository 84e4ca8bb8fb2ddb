#include "stages/fuse/consistency.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

#include "stages/simd.h"
#include "stages/threads.h"

namespace zelstages {

namespace {

// Consistency's projections of row y (disparities d) into a neighbour: q0, q1, q2, u and v of
// pixel x at Q + x, Q + W + x, ... Q + 4 W + x, and whether the disparity is finite and lands in
// front of the camera and inside the picture (u, v are only meaningful where it does).
ZEL_SIMD_CLONES void ProjectRow(const RelativeProjection& rel, const float* d, int W, int H, int y,
                                double* __restrict Q, uint8_t* __restrict inside) {
    const size_t Ws = static_cast<size_t>(W);
    for (int x = 0; x < W; x++) {
        const double dd = d[x];
        double q[3];
        rel.Project(x, y, dd, q);
        // & rather than &&: no branches.
        const bool front = (std::fabs(dd) <= DBL_MAX) & (q[2] > 1e-9);
        const double den = front ? q[2] : 1.0;
        const double u = q[0] / den;
        const double v = q[1] / den;
        Q[x] = q[0];
        Q[Ws + x] = q[1];
        Q[2 * Ws + x] = q[2];
        Q[3 * Ws + x] = u;
        Q[4 * Ws + x] = v;
        inside[x] =
            static_cast<uint8_t>(front & (u >= 0.0) & (v >= 0.0) & (u <= W - 1) & (v <= H - 1));
    }
}

}  // namespace

double Consistency(const FrameSet& fs, const std::vector<float>& disparity, const Sweep& sw,
                   std::vector<uint8_t>& agree, std::vector<uint8_t>& disagree,
                   std::vector<double>* fused, int threads) {
    const int W = fs.ref->w;
    const int H = fs.ref->h;
    const size_t n = static_cast<size_t>(W) * H;
    agree.assign(n, 0);
    disagree.assign(n, 0);
    if (fused != nullptr) {
        fused->assign(n, 0.0);
    }
    // Bands of rows on `threads` threads: each pixel sees the neighbours in the same order on
    // any number of threads, and the counts of samples are whole numbers.
    std::vector<double> bandSamples(static_cast<size_t>(std::max(1, threads)), 0.0);
    const int T = std::max(1, std::min(threads, H));
    OnThreads(T, [&](int t) {
        const int y0 = H * t / T;
        const int y1 = H * (t + 1) / T;
        double samples = 0.0;
        std::vector<double> Q(5 * static_cast<size_t>(W));
        std::vector<uint8_t> inside(static_cast<size_t>(W));
        for (size_t j = 0; j < fs.nb.size(); j++) {
            const CZelVideoFrame* map = fs.nbMap[j];
            if (map == nullptr || map->dspImg == nullptr) {
                continue;
            }
            const RelativeProjection& rel = fs.rel[j];
            for (int y = y0; y < y1; y++) {
                // The row's projections first, without branches (so that they vectorise); then
                // the pixels that land inside the neighbour's picture, one by one.
                ProjectRow(rel, &disparity[static_cast<size_t>(y) * W], W, H, y, Q.data(),
                           inside.data());
                for (int x = 0; x < W; x++) {
                    if (!inside[static_cast<size_t>(x)]) {
                        continue;
                    }
                    const size_t p = static_cast<size_t>(y) * W + x;
                    const double d = disparity[p];
                    const double* q = &Q[static_cast<size_t>(x)];
                    const double q0 = q[0];
                    const double q1 = q[static_cast<size_t>(W)];
                    const double q2 = q[2 * static_cast<size_t>(W)];
                    const double u = q[3 * static_cast<size_t>(W)];
                    const double v = q[4 * static_cast<size_t>(W)];
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
                    } else if (seen <
                               predicted - std::max(tol, rel.PoseTolerance(q0, q1, q2,
                                                                           sw.pixelTolerance))) {
                        disagree[p]++;
                    }
                }
            }
        }
        bandSamples[static_cast<size_t>(t)] = samples;
    });
    double samples = 0.0;
    for (double b : bandSamples) {
        samples += b;
    }
    return samples;
}

std::vector<uint8_t> SeenByNeighbours(const FrameSet& fs, const std::vector<float>& disparity,
                                      int threads) {
    const int W = fs.ref->w;
    const int H = fs.ref->h;
    std::vector<uint8_t> seen(disparity.size(), 0);
    // Each pixel on its own: rows split among the threads.
    RowBands(H, threads, [&](int y0, int y1) {
        for (const RelativeProjection& rel : fs.rel) {
            for (int y = y0; y < y1; y++) {
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
    });
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
