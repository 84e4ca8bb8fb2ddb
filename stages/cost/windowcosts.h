// Window statistics of the reference and the normalised cross-correlation of a warped picture
// with it over square windows: box sums, the reference's means and deviations, the costs.
#pragma once

#include <cstdint>
#include <vector>

#include "stages/frameset.h"

namespace zelstages {

// Window sums over (2 r + 1)^2, truncated at the borders: separable running sums.
void BoxSum(const float* src, float* dst, std::vector<float>& column, int W, int H, int r);

// The window count, mean and inverse deviation of the reference over (2 r + 1)^2 at every pixel,
// on `threads` threads (the same values on any number).
void PrepareStats(const std::vector<float>& I, int W, int H, int r, float floor,
                  std::vector<float>& count, std::vector<float>& invCount,
                  std::vector<float>& meanI, std::vector<float>& invSdI, std::vector<float>& column,
                  int threads = 1);

void PrepareReference(const FrameSet& fs, int r, Worker& w);

// Sets up the wide window for the weakly textured pixels: its statistics of the reference and
// the mask of pixels whose small window varies by less than kWeakTexture. After
// PrepareReference; wideR 0 turns it off.
void PrepareWide(const FrameSet& fs, int wideR, Worker& w);

// The window correlation of the warped picture w.J with the reference at every pixel whose
// projection is valid, in one pass: column sums of J, J^2 and I J over the window's rows are kept
// for the current row and updated as the window moves down; a running sum along the row gives
// the window sums. Pixels whose projection is not valid get kOutside; with `rows`, only the rows
// it marks are written.
void WindowCosts(int W, int H, int r, bool geometric, Worker& w, std::vector<float>& cost,
                 const uint8_t* rows = nullptr);

}  // namespace zelstages
