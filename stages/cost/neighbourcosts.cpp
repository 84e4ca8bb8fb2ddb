#include "stages/cost/neighbourcosts.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

#include "stages/cost/sampling.h"
#include "stages/cost/windowcosts.h"
#include "stages/simd.h"

namespace zelstages {

namespace {

// The warp of one row into a neighbour in single precision: q = (m0 x + b0 + d e0, m3 x + b1 +
// d e1, m6 x + b2 + d e2), the row's part b in double once per row.
struct RowWarp {
    float m0, m3, m6, e0, e1, e2;
    float b0 = 0.0f, b1 = 0.0f, b2 = 0.0f, yf = 0.0f;
    float maxU, maxV;  // the picture's last column and row

    RowWarp(const RelativeProjection& rel, int W, int H)
        : m0(static_cast<float>(rel.M[0])),
          m3(static_cast<float>(rel.M[3])),
          m6(static_cast<float>(rel.M[6])),
          e0(static_cast<float>(rel.e[0])),
          e1(static_cast<float>(rel.e[1])),
          e2(static_cast<float>(rel.e[2])),
          maxU(static_cast<float>(W - 1)),
          maxV(static_cast<float>(H - 1)) {}

    void Row(const RelativeProjection& rel, int y) {
        b0 = static_cast<float>(rel.M[1] * y + rel.M[2]);
        b1 = static_cast<float>(rel.M[4] * y + rel.M[5]);
        b2 = static_cast<float>(rel.M[7] * y + rel.M[8]);
        yf = static_cast<float>(y);
    }
};

// The projections of a row (disparities dsp) and whether the whole window (radius m, cut at the
// reference's own border) lands inside the neighbour's picture: samples clamped at its border
// would corrupt the correlation. Without branches, so that the compiler vectorises it.
ZEL_INLINE void ProjectRow(const RowWarp& q, const float* dsp, int W, float m, float* U, float* V,
                           uint8_t* valid) {
    const float top = std::min(m, q.yf);
    const float bottom = q.maxV - std::min(m, q.maxV - q.yf);
    for (int x = 0; x < W; x++) {
        const float xf = static_cast<float>(x);
        const float d = dsp[x];
        const float q2 = q.m6 * xf + q.b2 + d * q.e2;
        // & rather than &&: no branches.
        const bool finite = std::fabs(d) <= FLT_MAX;
        const bool ok = (q2 > 1e-6f) & finite;
        const float inv = 1.0f / (ok ? q2 : 1.0f);
        const float u = ok ? (q.m0 * xf + q.b0 + d * q.e0) * inv : -1.0f;
        const float v = ok ? (q.m3 * xf + q.b1 + d * q.e1) * inv : -1.0f;
        U[x] = u;
        V[x] = v;
        const float left = std::min(m, xf);
        const float right = q.maxU - std::min(m, q.maxU - xf);
        valid[x] = static_cast<uint8_t>((u >= left) & (v >= top) & (u <= right) & (v <= bottom));
    }
}

// The geometric term of a row: how far the neighbour's map (where the window lies inside it)
// disagrees with the disparity the pixel should have there, relative to kGeoTolerance (at least
// a level) and truncated at 1; 1 where the neighbour's map cannot tell.
ZEL_INLINE void GeometricRow(const RowWarp& q, const float* dsp, int W, const float* U,
                             const float* V, const uint8_t* valid, const CZelVideoFrame* map,
                             double step, float* geo) {
    for (int x = 0; x < W; x++) {
        const float xf = static_cast<float>(x);
        const float d = dsp[x];
        float penalty = 1.0f;
        if (valid[x] && map != nullptr && map->dspImg != nullptr) {
            const float q2 = q.m6 * xf + q.b2 + d * q.e2;
            const double seen = map->GetDisparity(U[x], V[x]);
            const double predicted = d / q2;
            if (std::isfinite(seen)) {
                const double tol = std::max(kGeoTolerance * predicted, step);
                penalty = static_cast<float>(std::min(std::fabs(predicted - seen) / tol, 1.0));
            }
        }
        geo[x] = penalty;
    }
}

// The wide window's costs replace the small window's in `cost` where the reference is weakly
// textured and the wide window lies inside the neighbour. WindowCosts reads the reference's
// statistics from the worker: the wide window's are swapped in for its pass.
ZEL_INLINE void WideWindowCosts(int W, int H, bool geometric, Worker& w, std::vector<float>& cost) {
    const size_t n = static_cast<size_t>(W) * H;
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

}  // namespace

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
        RowWarp q(rel, W, H);
        const CZelVideoFrame* map = geometric ? fs.nbMap[j] : nullptr;
        for (int y = 0; y < H; y++) {
            q.Row(rel, y);
            const size_t row = static_cast<size_t>(y) * W;
            const float* dsp = &disparity[row];
            if (w.wideR > 0 && w.weakRows[static_cast<size_t>(y)]) {
                // (the wide window's costs are used only on rows with weakly textured pixels)
                ProjectRow(q, dsp, W, static_cast<float>(w.wideR), w.rowU.data(), w.rowV.data(),
                           &w.valid2[row]);
            }
            ProjectRow(q, dsp, W, static_cast<float>(r), w.rowU.data(), w.rowV.data(),
                       &w.valid[row]);
            SampleRow(g, w.rowU.data(), w.rowV.data(), W, &w.J[row], w);
            if (geometric) {
                GeometricRow(q, dsp, W, w.rowU.data(), w.rowV.data(), &w.valid[row], map, sw.step,
                             &w.geo[row]);
            }
        }
        samples += static_cast<double>(n);
        WindowCosts(W, H, r, geometric, w, cost);
        if (w.wideR > 0) {
            WideWindowCosts(W, H, geometric, w, cost);
        }
    }
    return samples;
}

}  // namespace zelstages
