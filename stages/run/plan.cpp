#include "stages/run/plan.h"

#include <algorithm>

namespace zelstages {

std::vector<std::vector<int>> NeighbourLists(const CReferenceStages& owner,
                                             const CZelVideoSequence& seq, int first, int last) {
    const ZelStageOptions& o = owner.GetOptions();
    std::vector<std::vector<int>> lists(static_cast<size_t>(last - first + 1));
    for (int i = first; i <= last; i++) {
        lists[static_cast<size_t>(i - first)] =
            owner.Neighbours(seq, i, std::max(o.neighbours, o.refineNeighbours));
    }
    return lists;
}

std::vector<int> OpenNeighbours(const std::vector<int>& list, int limit, int first, int last) {
    std::vector<int> result;
    for (size_t n = 0; n < list.size() && n < static_cast<size_t>(limit); n++) {
        if (list[n] >= first && list[n] <= last) {
            result.push_back(list[n]);
        }
    }
    return result;
}

std::vector<int> FuseNeighbours(const std::vector<int>& list, int limit, int first, int last) {
    std::vector<int> result;
    for (int j : list) {
        if (result.size() >= static_cast<size_t>(limit)) {
            break;
        }
        if (j >= first && j <= last) {
            result.push_back(j);
        }
    }
    return result;
}

std::vector<int> StepFrames(const ZelStepPlan& step) {
    std::vector<int> all = step.compute;
    all.insert(all.end(), step.load.begin(), step.load.end());
    std::sort(all.begin(), all.end());
    return all;
}

std::vector<std::string> StepNames(bool optimise, int passes) {
    if (!optimise) {
        return {"sweep", "refine", "fuse", "init"};
    }
    std::vector<std::string> names;
    for (int p = 1; p <= passes; p++) {
        names.push_back("bo" + std::to_string(p));
    }
    names.push_back("bofuse");
    names.push_back("bo");
    return names;
}

}  // namespace zelstages

ZelStagePlan CReferenceStages::Plan(const CZelVideoSequence& sequence, bool optimise, int first,
                                    int last) const {
    ZelStagePlan plan;
    int sFirst = 0;
    int sLast = -1;
    first = std::max(first, 0);
    last = std::min(last, sequence.GetFrameCount() - 1);
    if (last < first || !SpanOf(sequence, first, last, sFirst, sLast)) {
        return plan;
    }
    const std::vector<std::string> names = zelstages::StepNames(optimise, options.passes);
    const int steps = static_cast<int>(names.size());
    // The steps planned: up to the SetUntil step when it is one of this stage's (the fusion is
    // not one to stop at: the last step reads its mask, and nothing else does).
    int planned = steps;
    for (int s = 0; s < steps - 2; s++) {
        if (names[static_cast<size_t>(s)] == until) {
            planned = s + 1;
        }
    }
    const std::vector<std::vector<int>> lists =
        zelstages::NeighbourLists(*this, sequence, sFirst, sLast);
    // The frames whose result of the step before (or, for the first step of the optimisation,
    // whose initialisation map) step s of frame i reads.
    auto inputs = [&](int s, int i) {
        const std::vector<int>& list = lists[static_cast<size_t>(i - sFirst)];
        std::vector<int> in;
        if (s == steps - 1) {
            in.push_back(i);  // the last step fits planes to the frame's own fused map
        } else if (s == steps - 2) {
            in = zelstages::FuseNeighbours(list, options.refineNeighbours, sFirst, sLast);
            in.push_back(i);
        } else if (optimise) {
            in = zelstages::OpenNeighbours(list, options.neighbours, sFirst, sLast);
            if (!options.boSweep) {
                in.push_back(i);  // each pass refines the frame's map of the pass before
            }
        } else if (s == 1) {
            in = zelstages::OpenNeighbours(list, options.refineNeighbours, sFirst, sLast);
            in.push_back(i);
        }
        return in;
    };
    // From the outputs back to the first step: a frame whose result the journal holds is read
    // back, any other is computed and needs its inputs.
    std::vector<uint8_t> need(static_cast<size_t>(sLast - sFirst + 1), 0);
    for (int i = first; i <= last; i++) {
        need[static_cast<size_t>(i - sFirst)] = 1;
    }
    plan.steps.resize(static_cast<size_t>(planned));
    for (int s = planned - 1; s >= 0; s--) {
        ZelStepPlan& step = plan.steps[static_cast<size_t>(s)];
        step.name = names[static_cast<size_t>(s)];
        std::vector<uint8_t> before(need.size(), 0);
        for (size_t k = 0; k < need.size(); k++) {
            if (!need[k]) {
                continue;
            }
            const int i = sFirst + static_cast<int>(k);
            if (journal != nullptr && journal->Done(step.name, i)) {
                if (s != steps - 1) {
                    step.load.push_back(i);
                }
                continue;
            }
            step.compute.push_back(i);
            for (int j : inputs(s, i)) {
                before[static_cast<size_t>(j - sFirst)] = 1;
            }
        }
        need.swap(before);
    }
    if (optimise) {
        for (size_t k = 0; k < need.size(); k++) {
            if (need[k]) {
                plan.reads.push_back(sFirst + static_cast<int>(k));
            }
        }
    }
    return plan;
}
