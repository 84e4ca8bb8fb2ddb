// The comparison picture: one frame's colour image, its true disparity and its recovered
// disparity side by side in one PNG, for looking at how a reconstruction went.
//
// Both disparity panels use one colour mapping: the viridis map of the depth viewer over the 2nd
// to 98th percentile of the frame's true disparities (finite and positive ones, after scaling),
// so equal colours mean equal disparities. Missing values (NaN, +-inf, and true disparities that
// are not positive) are black.
#pragma once

#include <vector>

#include "tools/depthview_lib.h"

namespace zeleval {

// White columns between the panels.
constexpr int kPanelGap = 4;

// The picture of a width x height frame: 3 * width + 2 * kPanelGap pixels wide, height high, RGB
// bytes row 0 (top) first. colour holds width * height RGB triplets, truth and recovered width *
// height disparities (row 0 first); truth is multiplied by scale. *range receives the range the
// disparity colours span when range is given.
std::vector<unsigned char> ComposeComparison(const unsigned char* colour, const float* truth,
                                             const float* recovered, int width, int height,
                                             double scale, zelview::DisparityRange* range);

// The whole program: `zel_depth_compare <project file> <ground-truth dir> <frame> <out.png>
// [--scale S]` (argv[0] is the program name). Returns 0 when the picture was written, 1 when the
// project, the frame's image or one of its disparity files cannot be read or the picture cannot
// be written, 2 for a usage error. "--help" prints the usage and returns 0.
int DepthCompareMain(int argc, const char* const argv[]);

}  // namespace zeleval
