#include "stages/refine/refine.h"

#include <algorithm>

#include "stages/cost/combine.h"
#include "stages/cost/neighbourcosts.h"
#include "stages/refine/median.h"
#include "stages/threads.h"

namespace zelstages {

namespace {

const int kSteps = 9;  // offsets tried per round, centred on the map's disparity

// Offset k's hypotheses: the median-filtered map moved by off.
void SetHypotheses(Worker& w, const std::vector<float>& base, double off) {
    w.hyp.resize(base.size());
    for (size_t p = 0; p < base.size(); p++) {
        w.hyp[p] = static_cast<float>(base[p] + off);
    }
}

// One offset's combined cost on T threads, each matching a share of the neighbours (a
// neighbour's costs depend on it alone); returns the samples taken.
double SplitByNeighbours(const FrameSet& fs, const Sweep& sw, bool geometric, int r, int T,
                         const std::vector<float>& base, double off, float worst, Worker& w,
                         float* cost) {
    const size_t K = fs.nb.size();
    std::vector<double> part(static_cast<size_t>(T), 0.0);
    auto first = [&](int t) { return K * static_cast<size_t>(t) / static_cast<size_t>(T); };
    ForEachInner(w, T, [&](int t, Worker& tw) {
        FrameSet some;
        some.index = fs.index;
        some.ref = fs.ref;
        const size_t j0 = first(t);
        const size_t j1 = first(t + 1);
        some.nb.assign(fs.nb.begin() + j0, fs.nb.begin() + j1);
        some.nbGrey.assign(fs.nbGrey.begin() + j0, fs.nbGrey.begin() + j1);
        some.rel.assign(fs.rel.begin() + j0, fs.rel.begin() + j1);
        some.nbMap.assign(fs.nbMap.begin() + j0, fs.nbMap.begin() + j1);
        SetHypotheses(tw, base, off);
        part[static_cast<size_t>(t)] = NeighbourCosts(some, tw.hyp, geometric, sw, r, tw);
    });
    // Every thread's costs in the frame's own worker, in the neighbours' order.
    double taken = 0.0;
    std::vector<std::vector<float>> all(K);
    for (int t = 0; t < T; t++) {
        Worker& tw = t == 0 ? w : *w.helpers[static_cast<size_t>(t - 1)];
        for (size_t j = first(t); j < first(t + 1); j++) {
            all[j].swap(tw.nbCost[j - first(t)]);
        }
        taken += part[static_cast<size_t>(t)];
    }
    w.nbCost.swap(all);
    CombineAll(w, K, worst, cost);
    return taken;
}

// Each pixel takes the offset of least cost, placed between its neighbours by a parabola (ties
// keep the centre: a pixel that no neighbour sees keeps its disparity); rows split among the
// frame's threads.
void PickOffsets(const std::vector<std::vector<float>>& cost, const std::vector<float>& base,
                 double stepSize, int W, int H, int threads, std::vector<float>& disparity) {
    const size_t Ws = static_cast<size_t>(W);
    RowBands(H, threads, [&](int y0, int y1) {
        for (size_t p = static_cast<size_t>(y0) * Ws; p < static_cast<size_t>(y1) * Ws; p++) {
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
    });
}

}  // namespace

double Refine(const FrameSet& fs, const Sweep& sw, bool geometric, int r, int rounds, Worker& w,
              std::vector<float>& disparity) {
    const size_t n = disparity.size();
    const size_t K = fs.nb.size();
    double samples = 0.0;
    if (K == 0) {
        return samples;
    }
    const float worst = 1.0f + (geometric ? kGeoWeight : 0.0f);
    std::vector<std::vector<float>> cost(kSteps, std::vector<float>(n));
    double stepSize = sw.step / 4.0;
    std::vector<float> base;
    for (int round = 0; round < std::min(rounds, 3); round++) {
        // The window is warped with a median-filtered map, so that the noise of single pixels
        // does not distort it.
        MedianFilter(fs.ref->w, fs.ref->h, kWarpMedianRadius, disparity, base, w.inner);
        std::vector<double> taken(static_cast<size_t>(kSteps), 0.0);
        // The offsets go to the frame's threads whole; those left over when they do not divide
        // evenly among the threads are split by neighbours instead, so that no thread waits
        // while another works on one offset more.
        const int T = std::max(1, std::min(w.inner, static_cast<int>(K)));
        const int whole = kSteps - kSteps % T;
        ForEachInner(w, whole, [&](int k, Worker& tw) {
            SetHypotheses(tw, base, (k - kSteps / 2) * stepSize);
            taken[static_cast<size_t>(k)] = NeighbourCosts(fs, tw.hyp, geometric, sw, r, tw);
            CombineAll(tw, K, worst, cost[static_cast<size_t>(k)].data());
        });
        for (int k = whole; k < kSteps; k++) {
            taken[static_cast<size_t>(k)] =
                SplitByNeighbours(fs, sw, geometric, r, T, base, (k - kSteps / 2) * stepSize, worst,
                                  w, cost[static_cast<size_t>(k)].data());
        }
        for (double t : taken) {
            samples += t;
        }
        PickOffsets(cost, base, stepSize, fs.ref->w, fs.ref->h, w.inner, disparity);
        // Quarter, sixteenth, then thirty-second of a level.
        stepSize /= round == 0 ? 4.0 : 2.0;
    }
    return samples;
}

}  // namespace zelstages
