// Sub-level refinement of a disparity map: offsets around a median-filtered map, each matched
// against every neighbour, the best taken with a parabola through its neighbours.
#pragma once

#include <vector>

#include "stages/frameset.h"

namespace zelstages {

// Continuous refinement: around each pixel's disparity, evaluate the combined cost at nine
// offsets (every pixel of the window warped at its own disparity plus the offset, which follows
// slanted surfaces) and move to the parabola's minimum; `rounds` rounds (up to three), each finer.
double Refine(const FrameSet& fs, const Sweep& sw, bool geometric, int r, int rounds, Worker& w,
              std::vector<float>& disparity);

}  // namespace zelstages
