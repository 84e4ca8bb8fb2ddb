// The matching cost of every pixel against each neighbour for one disparity hypothesis per
// pixel: projection, sampling and window correlation (plus the geometric term on request).
#pragma once

#include <vector>

#include "stages/frameset.h"

namespace zelstages {

// Per-pixel matching cost of every neighbour for one hypothesis per pixel: disparity(p) from
// `disparity`. Fills w.nbCost[j] (photometric plus geometric when maps are given); returns the
// samples taken.
double NeighbourCosts(const FrameSet& fs, const std::vector<float>& disparity, bool geometric,
                      const Sweep& sw, int r, Worker& w);

}  // namespace zelstages
