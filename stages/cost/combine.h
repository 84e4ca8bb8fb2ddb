// The neighbours' costs of each pixel combined into one: the best three quarters of the views
// that see the pixel, averaged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "stages/frameset.h"

namespace zelstages {

// The comparators of a network that sorts `count` values (Batcher's odd-even merge sort for the
// next power of two; comparators that reach past `count` are left out: positions there would
// hold values larger than every other, which no comparator moves).
std::vector<std::pair<int, int>> SortingNetwork(int count);

// The neighbours' costs of every pixel combined so that views where the pixel is hidden or
// outside the picture do not dominate: views it falls outside of do not count, and of the others
// the best three quarters are averaged (summed in ascending order); `worst` where no view sees
// the pixel. The costs of a block of pixels are sorted by a sorting network (minima and maxima
// across the block, which vectorise), where the views that do not see a pixel sort to the end.
void CombineAll(ViewCosts& w, size_t K, float worst, float* out);

// Up to this many views the best three quarters leave out at most the two worst, which a
// running maximum and second maximum find without sorting.
const size_t kFastCombineViews = 8;

// CombineAll for every pixel of one level, quantised onto the cost scale; the same result (up to
// rounding) for K <= kFastCombineViews. The loops over pixels run without
// branches, so the compiler vectorises them.
void CombineLevel(Worker& w, size_t K, float worst, float scale, uint16_t* out);

}  // namespace zelstages
