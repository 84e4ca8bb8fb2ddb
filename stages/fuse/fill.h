// Filling unreliable pixels from the reliable ones along rows, then columns.
#pragma once

#include <cstdint>
#include <vector>

namespace zelstages {

// Unreliable pixels are filled along their row from the reliable ones; those whose whole row
// is unreliable (a strip along the top or bottom that no neighbour sees) then along their column
// from the reliable and filled ones. Returns the mask of pixels that hold a value now.
std::vector<uint8_t> FillUnreliable(int W, int H, const std::vector<uint8_t>& reliable,
                                    std::vector<float>& disparity);

}  // namespace zelstages
