// Semi-global aggregation of a cost volume along eight paths, then winner-take-all.
#pragma once

#include <cstdint>
#include <vector>

#include "stages/frameset.h"

namespace zelstages {

// One step along an aggregation path: out[l] = c[l] + min(prev[l], prev[l +- 1] + P1,
// minPrev + p2) - minPrev, added to acc; returns the smallest out[l]. The ends of the levels
// apart, so that the loop over the others runs without branches and vectorises.
int PathStep(const uint16_t* c, const uint16_t* prev, int minPrev, int p2, int L,
             uint16_t* __restrict out, uint16_t* __restrict acc);

// The first pixel of a path: out = c, added to acc; returns the smallest c[l].
int PathStart(const uint16_t* c, int L, uint16_t* __restrict out, uint16_t* __restrict acc);

// The four paths of one sweep over the cost volume C (pixel-major, L levels per pixel), summed
// into S: pass 0 runs top to bottom, left to right (from the left, the upper left, above and the
// upper right); pass 1 the other way round.
void AggregatePass(const std::vector<uint16_t>& C, const Grey& grey, int L, int pass,
                   std::vector<uint16_t>& S);

// Semi-global aggregation along eight directions over the cost volume C (pixel-major, L levels
// per pixel) into S, then winner-take-all with a parabola through the neighbouring sums. With
// two threads the two passes run at once, each into a volume of its own, added afterwards (the
// sums wrap the same way in any order).
void Aggregate(const std::vector<uint16_t>& C, const Grey& grey, int L, int threads,
               std::vector<float>& level, std::vector<int>& label);

}  // namespace zelstages
