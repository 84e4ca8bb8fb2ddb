#include "stages/run/finish.h"

#include <algorithm>
#include <cmath>

#include "stages/evidence.h"
#include "stages/fuse/consistency.h"
#include "stages/fuse/fusion.h"
#include "stages/run/plan.h"
#include "stages/segmentplanes.h"
#include "stages/threads.h"

namespace zelstages {

namespace {

// Frame i's working set for checks against the maps of `neighbours`: no picture, only its size.
FrameSet CheckSet(StageRun& run, int i, const std::vector<int>& neighbours) {
    FrameSet fs;
    fs.index = i;
    auto grey = std::make_shared<Grey>();
    grey->w = CZelVideoFrame::GetWorkingWidth();
    grey->h = CZelVideoFrame::GetWorkingHeight();
    fs.ref = grey;
    const CCamera& cam = *run.sequence.GetFrame(i)->camera;
    for (int j : neighbours) {
        fs.nb.push_back(j);
        fs.rel.push_back(RelativeProjection::Between(cam, *run.sequence.GetFrame(j)->camera,
                                                     CZelVideoFrame::reduced));
        fs.nbMap.push_back(run.sequence.GetFrame(j));
    }
    return fs;
}

}  // namespace

void FuseWithNeighbours(StageRun& run, const ZelStepPlan& step, const std::string& previous,
                        const std::vector<int>& committed, bool markMissing,
                        std::vector<std::vector<uint8_t>>& confirmed) {
    const int first = run.first;
    const int last = run.last;
    const int W = CZelVideoFrame::GetWorkingWidth();
    const int H = CZelVideoFrame::GetWorkingHeight();
    const size_t n = static_cast<size_t>(W) * H;
    confirmed.assign(static_cast<size_t>(last - first + 1), std::vector<uint8_t>());
    const int limit = run.stages.GetOptions().refineNeighbours;
    if (run.OnDisk()) {
        run.BeginMaps(previous, step.compute,
                      [&](int i) { return FuseNeighbours(run.Neighbours(i), limit, first, last); });
    } else {
        run.Commit(committed);
    }
    // Frames of a step shorter than the thread count check their pixels on several threads.
    const int inner = InnerThreads(run.threads, static_cast<int>(step.compute.size()));
    run.InOrder(step.compute, [&](int k, int) {
        const double t0 = ThreadSeconds();
        const int i = step.compute[static_cast<size_t>(k)];
        run.TakeOwn(previous, i, nullptr);
        run.AcquireMaps(i);
        const double tc = ThreadSeconds();
        double checkSamples = 0.0;
        std::vector<float>& map = run.Map(i);
        std::vector<uint8_t>& confirmedHere = confirmed[static_cast<size_t>(i - first)];
        if (map.size() == n) {
            const FrameSet fs =
                CheckSet(run, i, FuseNeighbours(run.Neighbours(i), limit, first, last));
            checkSamples += FuseFrame(fs, run.sweep, markMissing, map, confirmedHere, inner);
        }
        const double tk = ThreadSeconds();
        run.ReleaseMaps(i);
        run.Keep(step.name.c_str(), i, map, &confirmedHere);
        if (run.OnDisk()) {
            run.Drop(i);
            std::vector<uint8_t>().swap(confirmedHere);
        }
        std::lock_guard<std::mutex> lock(run.reportMutex);
        const double checks = tk - tc;
        run.times.checks += checks;
        run.times.checkSamples += checkSamples;
        run.times.rest += ThreadSeconds() - t0 - checks;
    });
    run.EndPhase();
    // Read back only now: the frames above read their neighbours' maps of the step before.
    run.LoadStep(step, &confirmed);
}

void FitPlanes(StageRun& run, int i, std::vector<float>& map, const std::vector<uint8_t>& confirmed,
               std::mutex& loading) {
    const ZelStageOptions& o = run.stages.GetOptions();
    const int W = CZelVideoFrame::GetWorkingWidth();
    const int H = CZelVideoFrame::GetWorkingHeight();
    const size_t n = static_cast<size_t>(W) * H;
    if (o.planeScale <= 0 || map.size() != n) {
        return;
    }
    CZelVideoFrame* frame = run.sequence.GetFrame(i);
    std::vector<float> rgb;
    {
        std::lock_guard<std::mutex> lock(loading);
        const bool loaded = frame->colorImg != nullptr;
        frame->LoadColorImage();
        if (frame->colorImg != nullptr && frame->colorImg->GetWidth() == W &&
            frame->colorImg->GetHeight() == H) {
            rgb.resize(3 * n);
            Vector3d c;
            for (size_t p = 0; p < n; p++) {
                frame->GetColor(static_cast<double>(p % W), static_cast<double>(p / W), c);
                for (int ch = 0; ch < 3; ch++) {
                    rgb[3 * p + ch] = static_cast<float>(c[ch]);
                }
            }
        }
        if (!loaded) {
            frame->ReleaseColorImage();
        }
    }
    if (!rgb.empty()) {
        Deblock(rgb, W, H, 3, kDeblockStep);
        int count = 0;
        const std::vector<int> segment =
            SegmentColours(W, H, rgb, static_cast<float>(o.planeScale), o.planeMinSize, count);
        ZelPlaneFit fit;
        fit.seed = static_cast<uint32_t>(i) + 1u;
        std::vector<uint8_t> checked(confirmed.size());
        for (size_t p = 0; p < checked.size(); p++) {
            checked[p] = MarkConfirmed(confirmed[p]) ? 1 : 0;
        }
        FitSegmentPlanes(W, segment, count, fit, map, &checked);
    }
}

void FinishStage(StageRun& run, const ZelStepPlan& step, const std::string& previous,
                 std::vector<std::vector<uint8_t>>& confirmed, int labelType, double pixelLevels,
                 ZelStageTimes& total) {
    run.EndPhase();
    const size_t pixels = static_cast<size_t>(CZelVideoFrame::GetWorkingWidth()) *
                          static_cast<size_t>(CZelVideoFrame::GetWorkingHeight());
    std::mutex loading;
    // A run of the stage's last steps alone (zel_recover --until, or resumed after the steps
    // before) has reported no frame yet: its lines are named after the fusion.
    const bool quiet = run.lines == 0;
    int done = 0;
    run.InOrder(step.compute, [&](int k, int) {
        const Clock::time_point started = Clock::now();
        const double t0 = ThreadSeconds();
        const int i = step.compute[static_cast<size_t>(k)];
        std::vector<uint8_t>& mask = confirmed[static_cast<size_t>(i - run.first)];
        run.TakeOwn(previous, i, &mask);
        std::vector<float>& map = run.Map(i);
        const double tp = ThreadSeconds();
        FitPlanes(run, i, map, mask, loading);
        const double planeFit = ThreadSeconds() - tp;
        const bool written = run.Output(
            i, map.size() == pixels ? map : std::vector<float>(pixels, kNaN), mask, labelType);
        if (run.OnDisk()) {
            // The map is in its files now.
            CZelVideoFrame* frame = run.sequence.GetFrame(i);
            delete frame->dspImg;
            frame->dspImg = nullptr;
            run.Drop(i);
            std::vector<uint8_t>().swap(mask);
        }
        if (written && run.journal != nullptr) {
            run.journal->MarkDone(step.name, i);
        }
        if (quiet) {
            run.Report(previous.c_str(), done, static_cast<int>(step.compute.size()), i,
                       Seconds(started));
        }
        std::lock_guard<std::mutex> lock(run.reportMutex);
        run.times.planeFit += planeFit;
        run.times.rest += ThreadSeconds() - t0 - planeFit;
    });
    run.times.pixelLevels = pixelLevels;
    run.times.imageLoads = run.loads;
    total.Add(run.times);
}

void ReleaseIntermediateMaps(StageRun& run, const ZelStagePlan& plan) {
    std::vector<uint8_t> output(static_cast<size_t>(run.last - run.first + 1), 0);
    for (int i : plan.steps.back().compute) {
        output[static_cast<size_t>(i - run.first)] = 1;
    }
    std::vector<int> touched = plan.reads;
    for (const ZelStepPlan& step : plan.steps) {
        const std::vector<int> frames = StepFrames(step);
        touched.insert(touched.end(), frames.begin(), frames.end());
    }
    for (int i : touched) {
        if (!output[static_cast<size_t>(i - run.first)]) {
            run.sequence.GetFrame(i)->ReleaseMaps();
        }
    }
}

}  // namespace zelstages
