// The median filter the refinement warps its windows with.
#pragma once

#include <vector>

namespace zelstages {

// MedianRows over the whole map, its rows split among `threads` threads.
void MedianFilter(int W, int H, int r, const std::vector<float>& in, std::vector<float>& out,
                  int threads);

}  // namespace zelstages
