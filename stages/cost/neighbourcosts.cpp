#include "stages/cost/neighbourcosts.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

#include "stages/cost/sampling.h"
#include "stages/cost/windowcosts.h"
#include "stages/simd.h"

namespace zelstages {

ZEL_SIMD_CLONES double NeighbourCosts(const FrameSet& fs, const std::vector<float>& disparity,
                                      bool geometric, const Sweep& sw, int r, Worker& w) {
    const int W = fs.ref->w;
    const int H = fs.ref->h;
    const size_t n = static_cast<size_t>(W) * H;
    const size_t K = fs.nb.size();
    w.nbCost.resize(K);
    w.J.resize(n);
    w.rowU.resize(static_cast<size_t>(W));
    w.rowV.resize(static_cast<size_t>(W));
    w.valid.resize(n);
    if (w.wideR > 0) {
        w.valid2.resize(n);
    }
    if (geometric) {
        w.geo.resize(n);
    }
    const float maxU = static_cast<float>(W - 1);
    const float maxV = static_cast<float>(H - 1);
    double samples = 0.0;
    for (size_t j = 0; j < K; j++) {
        std::vector<float>& cost = w.nbCost[j];
        const Grey& g = *fs.nbGrey[j];
        if (g.w != W || g.h != H) {
            cost.assign(n, kOutside);
            continue;
        }
        cost.resize(n);  // every row is written (WindowCosts without a row mask)
        const RelativeProjection& rel = fs.rel[j];
        const float m0 = static_cast<float>(rel.M[0]);
        const float m3 = static_cast<float>(rel.M[3]);
        const float m6 = static_cast<float>(rel.M[6]);
        const float e0 = static_cast<float>(rel.e[0]);
        const float e1 = static_cast<float>(rel.e[1]);
        const float e2 = static_cast<float>(rel.e[2]);
        const CZelVideoFrame* map = geometric ? fs.nbMap[j] : nullptr;
        for (int y = 0; y < H; y++) {
            // The row's part of q, in double once per row, then single precision per pixel.
            const float b0 = static_cast<float>(rel.M[1] * y + rel.M[2]);
            const float b1 = static_cast<float>(rel.M[4] * y + rel.M[5]);
            const float b2 = static_cast<float>(rel.M[7] * y + rel.M[8]);
            const float yf = static_cast<float>(y);
            const size_t row = static_cast<size_t>(y) * W;
            const float* dsp = &disparity[row];
            float* J = &w.J[row];
            float* U = w.rowU.data();
            float* V = w.rowV.data();
            // The projections and whether the whole window (radius m, cut at the reference's own
            // border) lands inside the neighbour's picture: samples clamped at its border would
            // corrupt the correlation. Without branches, so that the compiler vectorises it.
            auto project = [&](float m, uint8_t* valid) {
                const float top = std::min(m, yf);
                const float bottom = maxV - std::min(m, maxV - yf);
                for (int x = 0; x < W; x++) {
                    const float xf = static_cast<float>(x);
                    const float d = dsp[x];
                    const float q2 = m6 * xf + b2 + d * e2;
                    // & rather than &&: no branches.
                    const bool finite = std::fabs(d) <= FLT_MAX;
                    const bool ok = (q2 > 1e-6f) & finite;
                    const float inv = 1.0f / (ok ? q2 : 1.0f);
                    const float u = ok ? (m0 * xf + b0 + d * e0) * inv : -1.0f;
                    const float v = ok ? (m3 * xf + b1 + d * e1) * inv : -1.0f;
                    U[x] = u;
                    V[x] = v;
                    const float left = std::min(m, xf);
                    const float right = maxU - std::min(m, maxU - xf);
                    valid[x] = static_cast<uint8_t>((u >= left) & (v >= top) & (u <= right) &
                                                    (v <= bottom));
                }
            };
            if (w.wideR > 0 && w.weakRows[static_cast<size_t>(y)]) {
                // (the wide window's costs are used only on rows with weakly textured pixels)
                project(static_cast<float>(w.wideR), &w.valid2[row]);
            }
            const uint8_t* valid = &w.valid[row];
            project(static_cast<float>(r), &w.valid[row]);
            SampleRow(g, U, V, W, J, w);
            if (geometric) {
                for (int x = 0; x < W; x++) {
                    const float xf = static_cast<float>(x);
                    const float d = dsp[x];
                    float penalty = 1.0f;
                    if (valid[x] && map != nullptr && map->dspImg != nullptr) {
                        const float q2 = m6 * xf + b2 + d * e2;
                        const double seen = map->GetDisparity(U[x], V[x]);
                        const double predicted = d / q2;
                        if (std::isfinite(seen)) {
                            const double tol = std::max(kGeoTolerance * predicted, sw.step);
                            penalty = static_cast<float>(
                                std::min(std::fabs(predicted - seen) / tol, 1.0));
                        }
                    }
                    w.geo[row + x] = penalty;
                }
            }
        }
        samples += static_cast<double>(n);
        WindowCosts(W, H, r, geometric, w, cost);
        if (w.wideR > 0) {
            // WindowCosts reads the reference's statistics from the worker: the wide window's
            // are swapped in for its pass, and its cost replaces the small window's where the
            // reference is weakly textured and the wide window lies inside the neighbour.
            std::swap(w.meanI, w.meanI2);
            std::swap(w.invSdI, w.invSdI2);
            std::swap(w.invCount, w.invCount2);
            std::swap(w.valid, w.valid2);
            w.cost2.resize(n);  // written on the weakly textured rows, the only ones read
            WindowCosts(W, H, w.wideR, geometric, w, w.cost2, w.weakRows.data());
            std::swap(w.meanI, w.meanI2);
            std::swap(w.invSdI, w.invSdI2);
            std::swap(w.invCount, w.invCount2);
            std::swap(w.valid, w.valid2);
            for (int y = 0; y < H; y++) {
                if (!w.weakRows[static_cast<size_t>(y)]) {
                    continue;
                }
                const size_t row = static_cast<size_t>(y) * W;
                const uint8_t* weak = &w.weak[row];
                const uint8_t* inside = &w.valid2[row];
                const float* wide = &w.cost2[row];
                float* out = &cost[row];
                for (int x = 0; x < W; x++) {
                    out[x] = (weak[x] & inside[x]) != 0 ? wide[x] : out[x];
                }
            }
        }
    }
    return samples;
}

}  // namespace zelstages
