#include <vector>

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

// Every frame's swept map (the frames of the first step, in order); sweepSeconds receives each
// frame's wall time, for the progress line its refinement reports.
void SweepStep(StageRun& run, const ZelStagePlan& plan, std::vector<double>& sweepSeconds) {
    const ZelStageOptions& options = run.stages.GetOptions();
    const ZelStepPlan& sweepStep = plan.steps[0];
    const int inner = InnerThreads(run.threads, static_cast<int>(sweepStep.compute.size()));
    int swept = 0;
    run.LoadStep(sweepStep, nullptr);
    run.BeginPhase(sweepStep.compute, options.neighbours);
    run.InOrder(sweepStep.compute, [&](int k, int worker) {
        const Clock::time_point t0 = Clock::now();
        const double c0 = ThreadSeconds();
        const int i = sweepStep.compute[static_cast<size_t>(k)];
        FrameSet fs = run.Open(i, options.neighbours, inner);
        ZelStageTimes ft;
        std::vector<float>& map = run.Map(i);
        if (Unusable(fs)) {
            map.clear();
        } else {
            Worker& w = run.workers[static_cast<size_t>(worker)];
            w.inner = inner;
            PrepareReference(fs, options.windowRadius, w);
            SweepFrame(fs, run.sweep, false, options.windowRadius, w, map, ft);
        }
        run.Close(fs);
        run.Keep("sweep", i, map, nullptr);
        run.Drop(i);
        sweepSeconds[static_cast<size_t>(i - run.first)] = Seconds(t0);
        run.AddTimes(ft, ThreadSeconds() - c0);
        if (plan.steps.size() == 1) {  // the sweep alone: its own progress lines
            run.Report("sweep", swept, static_cast<int>(sweepStep.compute.size()), i,
                       sweepSeconds[static_cast<size_t>(i - run.first)]);
        }
    });
}

// One frame's swept map checked against its neighbours' swept maps, the pixels that do not hold
// filled in from those that do, then refined below the sweep's levels.
void CheckAndRefine(StageRun& run, const FrameSet& fs, Worker& w, std::vector<float>& map,
                    ZelStageTimes& ft) {
    const ZelStageOptions& options = run.stages.GetOptions();
    std::vector<uint8_t> agree;
    std::vector<uint8_t> disagree;
    const double tc = ThreadSeconds();
    ft.checkSamples += Consistency(fs, map, run.sweep, agree, disagree, nullptr, w.inner);
    std::vector<uint8_t> reliable(map.size());
    for (size_t p = 0; p < map.size(); p++) {
        // Confirmed by a neighbour and contradicted by no more than confirm it: the halo that
        // the window spreads beside a near edge is confirmed by the neighbours on its own side
        // but contradicted by those on the other.
        reliable[p] = agree[p] > 0 && disagree[p] <= agree[p] ? 1 : 0;
    }
    FillUnreliable(fs.ref->w, fs.ref->h, reliable, map);
    const double tr = ThreadSeconds();
    ft.checks += tr - tc;
    PrepareReference(fs, options.refineRadius, w);
    PrepareWide(fs, options.wideRadius, w);
    ft.refineSamples +=
        Refine(fs, run.sweep, false, options.refineRadius, kInitRefineRounds, w, map);
    w.wideR = 0;
    ft.refinement += ThreadSeconds() - tr;
}

// The refinement step over its frames, each reading its neighbours' swept maps.
void RefineStep(StageRun& run, const ZelStepPlan& refineStep,
                const std::vector<double>& sweepSeconds) {
    const ZelStageOptions& options = run.stages.GetOptions();
    int done = 0;
    const int total = static_cast<int>(refineStep.compute.size());
    run.BeginPhase(refineStep.compute, options.refineNeighbours);
    run.BeginMaps("sweep", refineStep.compute, [&](int i) {
        return OpenNeighbours(run.Neighbours(i), options.refineNeighbours, run.first, run.last);
    });
    run.InOrder(refineStep.compute, [&](int k, int worker) {
        const Clock::time_point t0 = Clock::now();
        const double c0 = ThreadSeconds();
        const int i = refineStep.compute[static_cast<size_t>(k)];
        run.TakeOwn("sweep", i, nullptr);
        run.AcquireMaps(i);
        std::vector<float>& map = run.Map(i);
        FrameSet fs = run.Open(i, options.refineNeighbours, InnerThreads(run.threads, total));
        ZelStageTimes ft;
        if (!map.empty() && !Unusable(fs)) {
            Worker& w = run.workers[static_cast<size_t>(worker)];
            w.inner = InnerThreads(run.threads, total);
            CheckAndRefine(run, fs, w, map, ft);
        }
        run.Close(fs);
        run.ReleaseMaps(i);
        run.Keep("refine", i, map, nullptr);
        run.Drop(i);
        const double seconds = Seconds(t0);
        run.AddTimes(ft, ThreadSeconds() - c0);
        run.Report("init", done, total, i,
                   sweepSeconds[static_cast<size_t>(i - run.first)] + seconds);
    });
    run.EndPhase();
}

}  // namespace

void CReferenceStages::Init(CZelVideoSequence& sequence, int first, int last) {
    int sFirst = 0;
    int sLast = -1;
    if (Stopped() || !ClampRange(sequence, first, last, sFirst, sLast)) {
        return;
    }
    const ZelStagePlan plan = Plan(sequence, false, first, last);
    const ZelStepPlan& sweepStep = plan.steps[0];
    const ZelStepPlan& refineStep = plan.steps[1];
    StageRun run(*this, sequence, sFirst, sLast, report, journal);
    run.progressFn = progress;
    run.stop = stop;
    std::vector<double> sweepSeconds(static_cast<size_t>(sLast - sFirst + 1), 0.0);

    // First every frame's swept map, then the check against the neighbours' maps.
    SweepStep(run, plan, sweepSeconds);
    if (Stopped() || plan.steps.size() == 1) {
        return;  // or run up to the sweep only
    }
    for (int i : run.OnDisk() ? std::vector<int>() : StepFrames(sweepStep)) {
        const std::vector<float>& map = run.Map(i);
        SetFrameMap(*sequence.GetFrame(i), map, map.empty() ? kNaN : 0.0f);
    }
    RefineStep(run, refineStep, sweepSeconds);
    if (Stopped()) {
        return;
    }
    run.Discard("sweep");
    if (plan.steps.size() == 2) {
        return;  // run up to the refinement only
    }
    // Read back only now: the check above reads the neighbours' swept maps.
    run.LoadStep(refineStep, nullptr);
    // The refined maps replace the swept ones only now, for the same reason.
    std::vector<std::vector<uint8_t>> confirmed;
    FuseWithNeighbours(run, plan.steps[2], "refine", StepFrames(refineStep), false, confirmed);
    if (Stopped()) {
        return;
    }
    run.Discard("refine");
    FinishStage(run, plan.steps[3], "fuse", confirmed, 0,
                static_cast<double>(sweepStep.compute.size()) * CZelVideoFrame::GetWorkingWidth() *
                    CZelVideoFrame::GetWorkingHeight() * options.levels,
                times);
    if (!Stopped()) {
        run.Discard("fuse", &plan.steps[3]);
    }
    ReleaseIntermediateMaps(run, plan);
}
