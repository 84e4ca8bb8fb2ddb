// The plane sweep of one frame: a cost volume over the disparity levels, aggregated into a map.
#pragma once

#include <vector>

#include "stages/frameset.h"
#include "stages/referencestages.h"

namespace zelstages {

// The plane sweep of one frame, then aggregation: the disparity of every pixel.
void SweepFrame(const FrameSet& fs, const Sweep& sw, bool geometric, int r, Worker& w,
                std::vector<float>& disparity, ZelStageTimes& ft);

}  // namespace zelstages
