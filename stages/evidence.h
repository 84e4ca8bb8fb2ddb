// What a project tells about its own quality, measured before matching: how noisy its pictures
// are and how well its cameras agree with its feature tracks. The stages set their tolerances
// from these instead of assuming perfect footage; on clean, exactly tracked input both are near
// zero and the tolerances fall back to their fixed minimums.
#pragma once

#include <cstddef>
#include <vector>

class CZelVideoSequence;

// The standard deviation of white noise in a grey picture (W x H, row-major), in grey levels:
// the median absolute response of the 3 x 3 Laplacian-difference mask [1 -2 1; -2 4 -2; 1 -2 1]
// (which cancels smooth shading and slopes), scaled for Gaussian noise. The median keeps edges
// and texture, which cover less than half of most pictures, from counting as noise. 0 for a
// picture smaller than 3 x 3.
double EstimateImageNoise(const float* grey, int W, int H);

// The spread of the feature tracks' reprojection residuals, in working-picture pixels: each
// observation handed to the frames (CZelVideoFrame::matchPoints) is compared with the projection
// of its track's point through the frame's camera. Robust to outlier tracks: the median residual
// length scaled to the root mean square it would have for Gaussian errors. 0 when no frame holds
// observations.
double EstimateTrackResidual(const CZelVideoSequence& sequence);

// Compressed pictures (JPEG, most video) carry a grid of 8 x 8 blocks whose borders show as small
// steps fixed in the picture: matched across frames they pull weakly textured surfaces towards
// no motion. EstimateBlockiness returns how much larger the mean step between neighbouring
// pixels in flat surroundings is across the grid's lines (columns and rows at multiples of 8)
// than elsewhere, on the mean of `channels` interleaved values per pixel: about 1 for a picture
// that was never compressed in blocks (or was resampled since; the sample: 0.98), about 2 for a
// JPEG of quality 85. 1 for a picture smaller than two blocks.
double EstimateBlockiness(const std::vector<float>& values, int W, int H, int channels);

// Smooths the steps across the 8 x 8 grid's lines where both sides are flat and the step is
// below `threshold` (a larger step is an edge of the picture, kept), each of `channels`
// interleaved planes alone; pictures that EstimateBlockiness finds at most kBlockiness are left
// as they are.
const double kBlockiness = 1.3;
void Deblock(std::vector<float>& values, int W, int H, int channels, float threshold);
