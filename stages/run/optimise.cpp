#include <string>
#include <vector>

#include "io/depthfile.h"
#include "stages/cost/windowcosts.h"
#include "stages/fuse/consistency.h"
#include "stages/fuse/fill.h"
#include "stages/referencestages.h"
#include "stages/refine/refine.h"
#include "stages/run/finish.h"
#include "stages/run/plan.h"
#include "stages/run/stagerun.h"
#include "stages/run/sweep.h"
#include "stages/threads.h"

using namespace zelstages;

namespace {

// The initialisation's maps: those of this run are the frames' own; the others (another
// shard's, or an earlier run's when resuming) are read from their files.
void ReadInitMaps(StageRun& run, const ZelStagePlan& plan) {
    const int W = CZelVideoFrame::GetWorkingWidth();
    const int H = CZelVideoFrame::GetWorkingHeight();
    const size_t n = static_cast<size_t>(W) * H;
    for (int i : run.OnDisk() ? std::vector<int>() : plan.reads) {
        CZelVideoFrame* frame = run.sequence.GetFrame(i);
        if (frame->dspImg != nullptr && frame->dspImg->GetWidth() == W &&
            frame->dspImg->GetHeight() == H) {
            continue;
        }
        std::vector<float> map;
        std::string error;
        if (!ReadFloatFile(StageRun::InitMapPath(i), n, false, map, error)) {
            run.Note(run.report.unreadFrames, i,
                     error + " (the initialisation's map; run it first)");
            continue;
        }
        run.Map(i).swap(map);
        run.Commit({i});
        run.Map(i).clear();
    }
}

// One pass over one frame: it starts from the frame's map of the pass before (the
// initialisation's for the first), or, when sweeping again or without that map, from a sweep
// with the neighbours' maps in the cost; then the pixels no neighbour sees are filled and the
// map is refined against the neighbours' maps.
void OptimiseFrame(StageRun& run, const FrameSet& fs, Worker& w, std::vector<float>& map,
                   ZelStageTimes& ft) {
    const ZelStageOptions& options = run.stages.GetOptions();
    const int W = CZelVideoFrame::GetWorkingWidth();
    const int H = CZelVideoFrame::GetWorkingHeight();
    const size_t n = static_cast<size_t>(W) * H;
    const CZelVideoFrame* own = run.sequence.GetFrame(fs.index);
    if (!options.boSweep && own->dspImg != nullptr && own->dspImg->GetWidth() == W &&
        own->dspImg->GetHeight() == H) {
        map.resize(n);
        for (size_t p = 0; p < n; p++) {
            map[p] = own->dspImg->At(static_cast<int>(p % W), static_cast<int>(p / W), 0);
        }
    } else {
        PrepareReference(fs, options.windowRadius, w);
        SweepFrame(fs, run.sweep, true, options.windowRadius, w, map, ft);
    }
    // Pixels that no neighbour sees at their disparity got it from the aggregation alone: they
    // take it from the seen pixels beside them instead.
    const double tc = ThreadSeconds();
    FillUnreliable(W, H, SeenByNeighbours(fs, map, w.inner), map);
    const double tr = ThreadSeconds();
    ft.checks += tr - tc;
    PrepareReference(fs, options.refineRadius, w);
    ft.refineSamples +=
        Refine(fs, run.sweep, true, options.refineRadius, kOptimiseRefineRounds, w, map);
    ft.refinement += ThreadSeconds() - tr;
}

// Pass `pass` (1 ..) over the frames of its step, each reading its neighbours' maps of the pass
// before.
void PassStep(StageRun& run, const ZelStepPlan& step, int pass) {
    const ZelStageOptions& options = run.stages.GetOptions();
    int done = 0;
    const int total = static_cast<int>(step.compute.size());
    run.LoadStep(step, nullptr);
    run.BeginPhase(step.compute, options.neighbours);
    run.BeginMaps(pass == 1 ? "_init" : "bo" + std::to_string(pass - 1), step.compute, [&](int i) {
        std::vector<int> in =
            OpenNeighbours(run.Neighbours(i), options.neighbours, run.first, run.last);
        if (!options.boSweep) {
            in.push_back(i);  // the pass refines the frame's own map
        }
        return in;
    });
    run.InOrder(step.compute, [&](int k, int worker) {
        const Clock::time_point t0 = Clock::now();
        const double c0 = ThreadSeconds();
        const int i = step.compute[static_cast<size_t>(k)];
        run.AcquireMaps(i);
        FrameSet fs = run.Open(i, options.neighbours, InnerThreads(run.threads, total));
        ZelStageTimes ft;
        std::vector<float>& map = run.Map(i);
        map.clear();
        if (!Unusable(fs)) {
            Worker& w = run.workers[static_cast<size_t>(worker)];
            w.inner = InnerThreads(run.threads, total);
            OptimiseFrame(run, fs, w, map, ft);
        }
        run.Close(fs);
        run.ReleaseMaps(i);
        run.Keep(step.name.c_str(), i, map, nullptr);
        run.Drop(i);
        const double seconds = Seconds(t0);
        run.AddTimes(ft, ThreadSeconds() - c0);
        run.Report(step.name.c_str(), done, total, i, seconds);
    });
    run.EndPhase();
}

}  // namespace

void CReferenceStages::Optimise(CZelVideoSequence& sequence, int first, int last) {
    int sFirst = 0;
    int sLast = -1;
    if (Stopped() || options.passes == 0 || !ClampRange(sequence, first, last, sFirst, sLast)) {
        return;
    }
    const ZelStagePlan plan = Plan(sequence, true, first, last);
    StageRun run(*this, sequence, sFirst, sLast, report, journal);
    run.progressFn = progress;
    run.stop = stop;
    const size_t n = static_cast<size_t>(CZelVideoFrame::GetWorkingWidth()) *
                     static_cast<size_t>(CZelVideoFrame::GetWorkingHeight());
    double pixelLevels = 0.0;
    ReadInitMaps(run, plan);

    // Up to a pass only: the plan ends with it.
    const int passes = std::min(options.passes, static_cast<int>(plan.steps.size()));
    for (int pass = 1; pass <= passes; pass++) {
        const ZelStepPlan& step = plan.steps[static_cast<size_t>(pass - 1)];
        PassStep(run, step, pass);
        if (Stopped()) {
            return;
        }
        if (pass > 1) {
            run.Discard("bo" + std::to_string(pass - 1));
        }
        if (options.boSweep) {
            pixelLevels +=
                static_cast<double>(step.compute.size()) * static_cast<double>(n) * options.levels;
        }
        if (pass == static_cast<int>(plan.steps.size())) {
            return;
        }
        // Every frame of the pass saw the previous maps; now the new ones take their place
        // (the last pass's, in the fusion).
        if (pass < options.passes && !run.OnDisk()) {
            run.Commit(StepFrames(step));
        }
    }

    std::vector<std::vector<uint8_t>> confirmed;
    const ZelStepPlan& lastPass = plan.steps[static_cast<size_t>(options.passes - 1)];
    FuseWithNeighbours(run, plan.steps[static_cast<size_t>(options.passes)], lastPass.name,
                       StepFrames(lastPass), true, confirmed);
    if (Stopped()) {
        return;
    }
    run.Discard(lastPass.name);
    FinishStage(run, plan.steps.back(), "bofuse", confirmed, 1, pixelLevels, times);
    if (!Stopped()) {
        run.Discard("bofuse", &plan.steps.back());
    }
    ReleaseIntermediateMaps(run, plan);
}
