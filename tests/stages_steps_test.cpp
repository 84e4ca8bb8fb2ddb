// The steps of the reference stages alone, against values worked out by hand or against the
// plain form of what they compute: window sums, window costs, one step of an aggregation path,
// the combination of the views, and the threads' handling of a frame that runs out of memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <random>
#include <vector>

#include "stages/aggregate/sgm.h"
#include "stages/cost/combine.h"
#include "stages/cost/windowcosts.h"
#include "stages/fuse/fill.h"
#include "stages/refine/median.h"
#include "stages/threads.h"
#include "stages/tuning.h"

using namespace zelstages;

namespace {

// The sum over the (2 r + 1)^2 window around (x, y), cut at the picture's border.
double WindowSum(const std::vector<float>& v, int W, int H, int r, int x, int y) {
    double s = 0.0;
    for (int yy = std::max(0, y - r); yy <= std::min(H - 1, y + r); yy++) {
        for (int xx = std::max(0, x - r); xx <= std::min(W - 1, x + r); xx++) {
            s += v[static_cast<size_t>(yy) * W + xx];
        }
    }
    return s;
}

std::vector<float> SmallIntegers(int n, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<float> v(static_cast<size_t>(n));
    for (float& x : v) {
        x = static_cast<float>(static_cast<int>(rng() % 41) - 20);
    }
    return v;
}

}  // namespace

// Integers sum exactly in single precision, so the running sums must equal the plain ones, also
// for windows wider than the picture.
TEST(BoxSum, EqualsThePlainWindowSumsUpToTheBorders) {
    const int W = 7;
    const int H = 5;
    const std::vector<float> src = SmallIntegers(W * H, 1);
    std::vector<float> column;
    for (int r : {0, 1, 2, 6}) {
        std::vector<float> dst(src.size());
        BoxSum(src.data(), dst.data(), column, W, H, r);
        for (int y = 0; y < H; y++) {
            for (int x = 0; x < W; x++) {
                EXPECT_EQ(dst[static_cast<size_t>(y) * W + x], WindowSum(src, W, H, r, x, y))
                    << "r " << r << " at " << x << ", " << y;
            }
        }
    }
}

// 1 - normalised cross-correlation (with the variance floor in both deviations), truncated to
// 0 .. 1; kOutside where the projection is not valid; the geometric term weighted on top.
TEST(WindowCosts, AreOneMinusTheFlooredCorrelationOfEachWindow) {
    const int W = 6;
    const int H = 4;
    const int r = 1;
    const float floor = 2.0f;
    Worker w;
    w.I = SmallIntegers(W * H, 2);
    w.J = SmallIntegers(W * H, 3);
    for (size_t p = 0; p < 6; p++) {
        w.J[p] = 0.5f * w.I[p] + 3.0f;  // the top row's windows partly follow the reference
    }
    w.floor = floor;
    PrepareStats(w.I, W, H, r, floor, w.count, w.invCount, w.meanI, w.invSdI, w.column);
    w.valid.assign(static_cast<size_t>(W * H), 1);
    w.valid[7] = 0;
    std::vector<float> cost(static_cast<size_t>(W * H));
    WindowCosts(W, H, r, false, w, cost);
    std::vector<float> II(w.I.size());
    std::vector<float> JJ(w.I.size());
    std::vector<float> IJ(w.I.size());
    for (size_t p = 0; p < II.size(); p++) {
        II[p] = w.I[p] * w.I[p];
        JJ[p] = w.J[p] * w.J[p];
        IJ[p] = w.I[p] * w.J[p];
    }
    for (int y = 0; y < H; y++) {
        for (int x = 0; x < W; x++) {
            const size_t p = static_cast<size_t>(y) * W + x;
            if (p == 7) {
                EXPECT_EQ(cost[p], kOutside);
                continue;
            }
            const double n = WindowSum(std::vector<float>(II.size(), 1.0f), W, H, r, x, y);
            const double mI = WindowSum(w.I, W, H, r, x, y) / n;
            const double mJ = WindowSum(w.J, W, H, r, x, y) / n;
            const double vI = WindowSum(II, W, H, r, x, y) / n - mI * mI;
            const double vJ = WindowSum(JJ, W, H, r, x, y) / n - mJ * mJ;
            const double cov = WindowSum(IJ, W, H, r, x, y) / n - mI * mJ;
            const double ncc = cov / std::sqrt((vI + floor) * (vJ + floor));
            EXPECT_NEAR(cost[p], std::min(std::max(1.0 - ncc, 0.0), 1.0), 1e-5) << x << ", " << y;
        }
    }
    w.geo.assign(static_cast<size_t>(W * H), 0.5f);
    std::vector<float> withGeo(cost.size());
    WindowCosts(W, H, r, true, w, withGeo);
    EXPECT_EQ(withGeo[7], kOutside);
    EXPECT_FLOAT_EQ(withGeo[3], cost[3] + kGeoWeight * 0.5f);
}

// One step along a path, by hand (P1 = 12, P2 = 160): out[l] = c[l] + min(prev[l], prev[l +- 1]
// + P1, min prev + P2) - min prev, added to the path sums; the smallest out is returned.
TEST(PathStep, TakesTheCheapestTransitionOfEachLevel) {
    ASSERT_EQ(kP1, 12);
    const uint16_t c[4] = {5, 0, 9, 7};
    const uint16_t prev[4] = {30, 50, 400, 30};
    uint16_t out[4] = {0, 0, 0, 0};
    uint16_t acc[4] = {1, 1, 1, 1};
    const int best = PathStep(c, prev, 30, 160, 4, out, acc);
    // 5 + 30 - 30; 0 + (30 + 12) - 30; 9 + min(400, min(50, 30) + 12, 190) - 30; 7 + 30 - 30.
    const uint16_t expected[4] = {5, 12, 21, 7};
    for (int l = 0; l < 4; l++) {
        EXPECT_EQ(out[l], expected[l]) << l;
        EXPECT_EQ(acc[l], expected[l] + 1) << l;
    }
    EXPECT_EQ(best, 5);
    // A jump of any size costs at most P2 over the previous pixel's best.
    const uint16_t far[3] = {0, 900, 900};
    const uint16_t cheap[3] = {100, 100, 100};
    PathStep(cheap, far, 0, 160, 3, out, acc);
    EXPECT_EQ(out[2], 100 + 160);
}

// The views of a pixel: those it projects outside of leave out, of the rest the cheapest three
// quarters (at least one) averaged in ascending order; `worst` where no view sees it.
TEST(CombineAll, EqualsTheSortedMeanOfTheBestThreeQuarters) {
    std::mt19937 rng(4);
    for (size_t K : {1u, 5u, 8u, 11u}) {
        const size_t n = 150;  // more than one block of pixels
        Worker w;
        w.nbCost.assign(K, std::vector<float>(n));
        for (size_t j = 0; j < K; j++) {
            for (size_t p = 0; p < n; p++) {
                w.nbCost[j][p] = rng() % 4 == 0 ? kOutside : static_cast<float>(rng() % 1000) / 999;
            }
        }
        std::vector<float> out(n);
        CombineAll(w, K, 1.5f, out.data());
        w.valid.assign(n, 1);
        std::vector<uint16_t> level(n);
        const float scale = kCostScale / 1.5f;
        if (K <= kFastCombineViews) {
            CombineLevel(w, K, 1.5f, scale, level.data());
        }
        for (size_t p = 0; p < n; p++) {
            std::vector<float> seen;
            for (size_t j = 0; j < K; j++) {
                if (w.nbCost[j][p] < kOutside) {
                    seen.push_back(w.nbCost[j][p]);
                }
            }
            std::sort(seen.begin(), seen.end());
            const size_t keep = std::max<size_t>(1, (3 * seen.size() + 2) / 4);
            float sum = 0.0f;
            for (size_t k = 0; k < keep && k < seen.size(); k++) {
                sum += seen[k];
            }
            const float expected = seen.empty() ? 1.5f : sum / static_cast<float>(keep);
            EXPECT_EQ(out[p], expected) << "K " << K << " pixel " << p;
            if (K <= kFastCombineViews) {
                EXPECT_NEAR(level[p], std::min(expected * scale, float(kCostScale)), 1.0)
                    << "K " << K << " pixel " << p;
            }
        }
    }
}

// A position that runs out of memory is handed on and the others still run.
TEST(ParallelInOrder, HandsOnAPositionThatRunsOutOfMemory) {
    for (int threads : {1, 2}) {
        std::atomic<int> next{0};
        std::atomic<int> ran{0};
        std::vector<int> failed;
        ParallelInOrder(
            5, threads, next,
            [&](int position, int) {
                if (position == 2) {
                    throw std::bad_alloc();
                }
                ran++;
            },
            nullptr, [&](int position) { failed.push_back(position); });
        EXPECT_EQ(ran.load(), 4);
        EXPECT_EQ(failed, std::vector<int>{2});
    }
}

// The median of each window's finite values (the upper one of an even count, the pixel's own
// value where the window has none), on one and on two threads alike; values far apart and close
// together share the buckets the filter counts in.
TEST(MedianFilter, EqualsThePlainMedianOfEachWindowsFiniteValues) {
    const int W = 9;
    const int H = 7;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    std::vector<float> in = SmallIntegers(W * H, 5);
    for (size_t p = 0; p < in.size(); p++) {
        in[p] = p % 7 == 3 ? nan : 1.0f + 0.001f * in[p] + (p % 11 == 0 ? 500.0f : 0.0f);
    }
    for (int x = 0; x < 3; x++) {
        for (int y = 0; y < 3; y++) {
            in[static_cast<size_t>(y) * W + x] = nan;  // a corner with no finite value near
        }
    }
    in[0] = nan;
    for (int threads : {1, 2}) {
        std::vector<float> out;
        MedianFilter(W, H, 1, in, out, threads);
        for (int y = 0; y < H; y++) {
            for (int x = 0; x < W; x++) {
                std::vector<float> v;
                for (int yy = std::max(0, y - 1); yy <= std::min(H - 1, y + 1); yy++) {
                    for (int xx = std::max(0, x - 1); xx <= std::min(W - 1, x + 1); xx++) {
                        const float d = in[static_cast<size_t>(yy) * W + xx];
                        if (std::isfinite(d)) {
                            v.push_back(d);
                        }
                    }
                }
                const size_t p = static_cast<size_t>(y) * W + x;
                std::sort(v.begin(), v.end());
                const float expected = v.empty() ? in[p] : v[v.size() / 2];
                if (std::isnan(expected)) {
                    EXPECT_TRUE(std::isnan(out[p])) << x << ", " << y;
                } else {
                    EXPECT_EQ(out[p], expected) << x << ", " << y << " threads " << threads;
                }
            }
        }
    }
}

// By hand: a row's gap takes the farther (smaller) of the disparities on its two sides, a row
// open at one end the one side's, and a row without a reliable pixel its column's.
TEST(FillUnreliable, TakesTheFartherSideAlongRowsThenColumns) {
    const int W = 4;
    const int H = 3;
    std::vector<float> d = {5, 0, 0, 2, 0, 0, 0, 0, 0, 3, 0, 0};
    const std::vector<uint8_t> reliable = {1, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0, 0};
    const std::vector<uint8_t> filled = FillUnreliable(W, H, reliable, d);
    EXPECT_EQ(d, (std::vector<float>{5, 2, 2, 2, 3, 2, 2, 2, 3, 3, 3, 3}));
    EXPECT_EQ(filled, std::vector<uint8_t>(12, 1));
}
