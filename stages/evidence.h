// What a project tells about its own quality, measured before matching: how noisy its pictures
// are and how well its cameras agree with its feature tracks. The stages set their tolerances
// from these instead of assuming perfect footage; on clean, exactly tracked input both are near
// zero and the tolerances fall back to their fixed minimums.
#pragma once

#include <cstddef>

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
