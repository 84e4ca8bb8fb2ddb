// The steps that end each stage: fusion with the neighbours' maps, the plane fit and the outputs.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "stages/run/stagerun.h"

namespace zelstages {

// The maps of `committed` become the frames' own; then each frame of the step computes the
// mean of its own disparity and those its confirming neighbours give back, so that the maps'
// independent errors average out. With markMissing, pixels that no neighbour confirms and at
// least kContradictions neighbours contradict become NaN: a pixel that no neighbour can check
// (outside their pictures, or hidden) keeps its estimate, and one neighbour's own error alone
// does not remove it. confirmed receives, per frame, the pixels at least kPlaneConfirmations
// neighbours confirm, with each pixel's confidence (PixelMark). Frames the journal holds are read
// back.
void FuseWithNeighbours(StageRun& run, const ZelStepPlan& step, const std::string& previous,
                        const std::vector<int>& committed, bool markMissing,
                        std::vector<std::vector<uint8_t>>& confirmed);

// Frame i's map gets the planes of its colour segments (see FitSegmentPlanes), chosen by the
// confirmed pixels: the others (hidden in most views, outside their pictures, or filled) take
// the plane of the confirmed ones in their segment. The colour image is read again and
// released afterwards unless it was loaded before.
void FitPlanes(StageRun& run, int i, std::vector<float>& map, const std::vector<uint8_t>& confirmed,
               std::mutex& loading);

// The end of either stage: each frame of the step fits its planes and is written with its
// outputs (a map that could not be made is written as missing) and recorded as done; then the
// run's times are added to total.
void FinishStage(StageRun& run, const ZelStepPlan& step, const std::string& previous,
                 std::vector<std::vector<uint8_t>>& confirmed, int labelType, double pixelLevels,
                 ZelStageTimes& total);

// After a stage: frames of the span that were not among its outputs give up the intermediate
// maps they were given for their neighbours, so that they hold no map rather than a wrong one.
void ReleaseIntermediateMaps(StageRun& run, const ZelStagePlan& plan);

}  // namespace zelstages
