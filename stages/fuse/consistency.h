// Checks of one frame's map against its neighbours' maps: which neighbours confirm and which
// contradict each pixel, whether any neighbour sees it, and the verdict per pixel in one byte.
#pragma once

#include <cstdint>
#include <vector>

#include "stages/frameset.h"

namespace zelstages {

// Counts the neighbours (with maps) that confirm and that contradict each pixel's disparity.
// A neighbour that sees something nearer at the projection is neither: the pixel may be hidden
// there.
// With `fused`, also sums per pixel the disparities that the confirming neighbours give back
// (the pixel's disparity scaled by what the neighbour sees over what it should see).
double Consistency(const FrameSet& fs, const std::vector<float>& disparity, const Sweep& sw,
                   std::vector<uint8_t>& agree, std::vector<uint8_t>& disagree,
                   std::vector<double>* fused = nullptr, int threads = 1);

// Marks the pixels that, at their disparity, project inside no neighbour's picture: nothing
// measured them, so their value is only what the aggregation carried in.
std::vector<uint8_t> SeenByNeighbours(const FrameSet& fs, const std::vector<float>& disparity,
                                      int threads = 1);

// How sure a pixel's disparity is, 0 .. 1, from the neighbours that checked it: the share of those
// that confirm it among those that confirm or contradict it (a neighbour that sees something
// nearer there may simply not see the pixel, and does not count), scaled down while fewer than
// kPlaneConfirmations confirm. 1: every checking neighbour, and enough of them, agree; 0: none
// confirms (or none could check: outside their pictures, or hidden in all of them).
float Confidence(int agree, int disagree);

// The fusion's verdict on a pixel in one byte, as the plane fit and the outputs read it (and the
// journal keeps it): bit 0 set when enough neighbours confirm the pixel to choose its segment's
// plane, bits 1 to 7 its confidence in steps of 1 / 127.
uint8_t PixelMark(bool confirmed, float confidence);

bool MarkConfirmed(uint8_t mark);

float MarkConfidence(uint8_t mark);

}  // namespace zelstages
