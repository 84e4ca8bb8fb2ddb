// Neighbour lists and the frames each step of a stage computes or reads.
#pragma once

#include <string>
#include <vector>

#include "stages/referencestages.h"

namespace zelstages {

// Each span frame's neighbour list: the first max(K, R) frames of the neighbour rule. The steps
// take prefixes of it (see OpenNeighbours and FuseNeighbours).
std::vector<std::vector<int>> NeighbourLists(const CReferenceStages& owner,
                                             const CZelVideoSequence& seq, int first, int last);

// The neighbours whose maps a frame opened with `limit` neighbours reads: the first `limit` of
// its list that lie in the span.
std::vector<int> OpenNeighbours(const std::vector<int>& list, int limit, int first, int last);

// The neighbours the fusion checks a frame against: up to `limit` of its list within the span.
std::vector<int> FuseNeighbours(const std::vector<int>& list, int limit, int first, int last);

// The frames a step touches: those it computes and those it reads back, ascending.
std::vector<int> StepFrames(const ZelStepPlan& step);

// The steps of a stage, in order: the initialisation's, or the bundle optimisation's with
// `passes` passes.
std::vector<std::string> StepNames(bool optimise, int passes);

}  // namespace zelstages
