// The fusion of one frame's map with its neighbours' maps: each pixel becomes the mean of its own
// disparity and those its confirming neighbours give back, so that the maps' independent errors
// average out.
#pragma once

#include <cstdint>
#include <vector>

#include "stages/frameset.h"

namespace zelstages {

// Fuses `map` (frame fs.index's, of fs.ref's size) with the maps of fs.nbMap. With markMissing,
// pixels that no neighbour confirms and at least kContradictions neighbours contradict become
// NaN, unless the disparity filled in along their row from the pixels that stand passes the
// same check. marks receives each pixel's PixelMark: confirmed by at least kPlaneConfirmations
// neighbours, and its confidence. Returns the map samples the checks took. The checks run on
// `threads` threads (bands of rows: the same result on any number).
double FuseFrame(const FrameSet& fs, const Sweep& sw, bool markMissing, std::vector<float>& map,
                 std::vector<uint8_t>& marks, int threads = 1);

}  // namespace zelstages
