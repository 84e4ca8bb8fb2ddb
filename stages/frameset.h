// One frame's working set (its grey picture, its neighbours and their projections), the sweep's
// levels and a thread's buffers: what the matching, aggregation and refinement steps share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "geometry/relativeprojection.h"
#include "sequence/videoframe.h"
#include "stages/tuning.h"

namespace zelstages {

// A grey picture of the working size: (R + G + B) / 3 from the frame's colour image.
struct Grey {
    int w = 0;
    int h = 0;
    float noise = 0.0f;  // the picture's own noise, grey levels (EstimateImageNoise)
    std::vector<float> v;

    float At(int x, int y) const { return v[static_cast<size_t>(y) * w + x]; }
};

// One frame's working set: its grey picture and its neighbours with their projective maps.
struct FrameSet {
    int index = 0;
    std::shared_ptr<const Grey> ref;
    std::vector<int> nb;
    std::vector<std::shared_ptr<const Grey>> nbGrey;
    std::vector<RelativeProjection> rel;
    std::vector<const CZelVideoFrame*> nbMap;  // neighbour frames whose maps may be read
};

struct Sweep {
    int L;
    double dmin;
    double step;
    // How far, in pixels, the cameras' own errors may move a projection: checks between views
    // allow the disparity change that moves a pixel this far in the neighbour.
    double pixelTolerance = 0.0;
    double Level(double l) const { return dmin + l * step; }
};

// The reference's window statistics, formed once per frame and window (PrepareReference,
// PrepareWide) and read by every window correlation; the threads helping a frame get a copy.
struct ReferenceStats {
    float floor = kVarianceFloor;  // variance floor of the window correlation, grey levels squared
    std::vector<float> I, meanI, invSdI, count, invCount, column;
    // The wide window used where the reference is weakly textured (wideR > 0).
    int wideR = 0;
    std::vector<float> meanI2, invSdI2, count2, invCount2;
    std::vector<uint8_t> weak, weakRows;
    int statsVersion = 0;  // tells a helper's copy whether it is current
};

// SampleRow's reads: where, the steps to the right and down, and the weights.
struct SampleScratch {
    std::vector<int32_t> at, right, down;
    std::vector<float> fx, fy;
};

// Each neighbour's cost per pixel and what their combination keeps.
struct ViewCosts {
    std::vector<std::vector<float>> nbCost;
    std::vector<float> sum, seen, max1, max2;  // CombineLevel's per-pixel running values
    // CombineAll's sorting network for the current view count, and its block of costs.
    size_t networkViews = 0;
    std::vector<std::pair<int, int>> network;
    std::vector<float> sortBlock;
};

// One thread's buffers for a frame: the reference's statistics, the warped neighbour and its
// window sums, the neighbours' costs, the hypotheses.
struct Worker : ReferenceStats, SampleScratch, ViewCosts {
    std::vector<float> J, geo;  // the warped neighbour, and the geometric term per pixel
    std::vector<float> colJ, colJJ, colIJ;
    std::vector<float> rowU, rowV, rowJ, rowJJ, rowIJ;  // one row's projections and window sums
    std::vector<uint8_t> valid, valid2;  // windows inside the neighbour (small, wide)
    std::vector<float> cost2;            // the wide window's costs
    std::vector<float> hyp, combined;    // one level's (or offset's) hypotheses and combined costs
    // Threads working on this worker's frame (when a phase has fewer frames than threads), and
    // the workers of the helping threads: copies of this one's reference statistics.
    int inner = 1;
    std::vector<std::unique_ptr<Worker>> helpers;
};

// Gives a helping worker the frame's reference statistics (when it does not have them yet).
void ShareReference(const ReferenceStats& from, ReferenceStats& to);

// Runs fn(k, worker) for k = 0 .. count - 1 on w.inner threads: the frame's own worker takes
// k = 0, inner, 2 inner ..., helper t the k = t, t + inner, ... Each k's result depends on k
// alone, so the thread count never changes a result.
void ForEachInner(Worker& w, int count, const std::function<void(int, Worker&)>& fn);

// Copies `map` (the working size, row 0 first) into the frame's disparity map, which has the
// working size.
void CopyIntoFrame(const std::vector<float>& map, CZelVideoFrame& frame);

// Gives the frame a new disparity map filled with `fill`, with `map` copied in when it has the
// working size; false when the map cannot be allocated.
bool SetFrameMap(CZelVideoFrame& frame, const std::vector<float>& map, float fill);

// A frame whose own picture is missing: every pixel is NaN.
bool Unusable(const FrameSet& fs);

}  // namespace zelstages
