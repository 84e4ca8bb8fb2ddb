// Bilinear samples of a grey picture along one row of projected positions.
#pragma once

#include <cstdint>

#include "stages/frameset.h"

namespace zelstages {

// Bilinear samples of g at (U[x], V[x]), clamped into the picture, for x < count, in two passes:
// the positions and weights (which vectorise), then the reads and the blend.
void SampleRow(const Grey& g, const float* U, const float* V, int count, float* out,
               SampleScratch& w);

}  // namespace zelstages
