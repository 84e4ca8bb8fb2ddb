#include "stages/refine/refine.h"

#include <algorithm>

#include "stages/cost/combine.h"
#include "stages/cost/neighbourcosts.h"
#include "stages/refine/median.h"

namespace zelstages {

double Refine(const FrameSet& fs, const Sweep& sw, bool geometric, int r, int rounds, Worker& w,
              std::vector<float>& disparity) {
    const size_t n = disparity.size();
    const size_t K = fs.nb.size();
    double samples = 0.0;
    if (K == 0) {
        return samples;
    }
    const float worst = 1.0f + (geometric ? kGeoWeight : 0.0f);
    const int kSteps = 9;
    std::vector<std::vector<float>> cost(kSteps, std::vector<float>(n));
    double stepSize = sw.step / 4.0;
    std::vector<float> base;
    for (int round = 0; round < std::min(rounds, 3); round++) {
        // The window is warped with a median-filtered map, so that the noise of single pixels
        // does not distort it.
        MedianFilter(fs.ref->w, fs.ref->h, kWarpMedianRadius, disparity, base, w.inner);
        std::vector<double> taken(static_cast<size_t>(kSteps), 0.0);
        ForEachInner(w, kSteps, [&](int k, Worker& tw) {
            const double off = (k - kSteps / 2) * stepSize;
            tw.hyp.resize(n);
            for (size_t p = 0; p < n; p++) {
                tw.hyp[p] = static_cast<float>(base[p] + off);
            }
            taken[static_cast<size_t>(k)] = NeighbourCosts(fs, tw.hyp, geometric, sw, r, tw);
            CombineAll(tw, K, worst, cost[static_cast<size_t>(k)].data());
        });
        for (double t : taken) {
            samples += t;
        }
        for (size_t p = 0; p < n; p++) {
            // Ties keep the centre: a pixel that no neighbour sees keeps its disparity.
            int best = kSteps / 2;
            for (int k = 0; k < kSteps; k++) {
                if (cost[static_cast<size_t>(k)][p] < cost[static_cast<size_t>(best)][p]) {
                    best = k;
                }
            }
            double off = (best - kSteps / 2) * stepSize;
            if (best > 0 && best + 1 < kSteps) {
                const double a = cost[static_cast<size_t>(best - 1)][p];
                const double b = cost[static_cast<size_t>(best)][p];
                const double c = cost[static_cast<size_t>(best + 1)][p];
                const double denom = a - 2.0 * b + c;
                if (denom > 0.0) {
                    off += std::min(std::max(0.5 * (a - c) / denom, -0.5), 0.5) * stepSize;
                }
            }
            disparity[p] = static_cast<float>(std::max(base[p] + off, 1e-6));
        }
        // Quarter, sixteenth, then thirty-second of a level.
        stepSize /= round == 0 ? 4.0 : 2.0;
    }
    return samples;
}

}  // namespace zelstages
