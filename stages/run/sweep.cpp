#include "stages/run/sweep.h"

#include <algorithm>

#include "stages/aggregate/sgm.h"
#include "stages/cost/combine.h"
#include "stages/cost/neighbourcosts.h"
#include "stages/threads.h"

namespace zelstages {

void SweepFrame(const FrameSet& fs, const Sweep& sw, bool geometric, int r, Worker& w,
                std::vector<float>& disparity, ZelStageTimes& ft) {
    const int W = fs.ref->w;
    const int H = fs.ref->h;
    const size_t n = static_cast<size_t>(W) * H;
    const size_t K = fs.nb.size();
    const double t0 = ThreadSeconds();
    std::vector<uint16_t> C(n * sw.L);
    const float worst = 1.0f + (geometric ? kGeoWeight : 0.0f);
    const float scale = static_cast<float>(kCostScale) / worst;
    // Levels go in blocks of 32: each block's costs are kept level by level and then written
    // into the pixel-major volume 64 bytes per pixel at a time, instead of one scattered
    // element per pixel and level.
    const int kBlock = 32;
    std::vector<uint16_t> block(static_cast<size_t>(kBlock) * n);
    for (int l0 = 0; l0 < sw.L; l0 += kBlock) {
        const int count = std::min(kBlock, sw.L - l0);
        std::vector<double> samples(static_cast<size_t>(count), 0.0);
        ForEachInner(w, count, [&](int b, Worker& tw) {
            tw.hyp.assign(n, static_cast<float>(sw.Level(l0 + b)));
            samples[static_cast<size_t>(b)] = NeighbourCosts(fs, tw.hyp, geometric, sw, r, tw);
            uint16_t* out = &block[static_cast<size_t>(b) * n];
            if (K <= kFastCombineViews) {
                CombineLevel(tw, K, worst, scale, out);
                return;
            }
            tw.combined.resize(n);
            CombineAll(tw, K, worst, tw.combined.data());
            for (size_t p = 0; p < n; p++) {
                const float c = tw.combined[p];
                out[p] = static_cast<uint16_t>(std::min(c * scale, float(kCostScale)) + 0.5f);
            }
        });
        for (double s : samples) {
            ft.samples += s;
        }
        RowBands(fs.ref->h, w.inner, [&](int y0, int y1) {
            for (size_t p = static_cast<size_t>(y0) * W; p < static_cast<size_t>(y1) * W; p++) {
                uint16_t* dst = &C[p * sw.L + l0];
                for (int b = 0; b < count; b++) {
                    dst[b] = block[static_cast<size_t>(b) * n + p];
                }
            }
        });
    }
    const double t1 = ThreadSeconds();
    ft.costVolume += t1 - t0;
    std::vector<float> level;
    std::vector<int> label;
    Aggregate(C, *fs.ref, sw.L, w.inner, level, label);
    disparity.resize(n);
    for (size_t p = 0; p < n; p++) {
        disparity[p] = static_cast<float>(sw.Level(level[p]));
    }
    ft.aggregation += ThreadSeconds() - t1;
}

}  // namespace zelstages
