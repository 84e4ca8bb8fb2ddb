#include "stages/run/stagerun.h"

#include <algorithm>
#include <cmath>

#include "io/depthfile.h"
#include "stages/fuse/consistency.h"
#include "stages/run/plan.h"
#include "stages/threads.h"

namespace zelstages {

bool AddOnce(std::vector<ZelStageFailure>& list, int frame, const std::string& line) {
    for (const ZelStageFailure& f : list) {
        if (f.line == line) {
            return false;
        }
    }
    auto at = std::upper_bound(list.begin(), list.end(), frame,
                               [](int value, const ZelStageFailure& f) { return value < f.frame; });
    list.insert(at, ZelStageFailure{frame, line});
    return true;
}

StageRun::StageRun(const CReferenceStages& owner, CZelVideoSequence& seq, int spanFirst,
                   int spanLast, ZelStageReport& problems, ZelStepJournal* stepJournal)
    : stages(owner),
      sequence(seq),
      first(spanFirst),
      last(spanLast),
      journal(stepJournal),
      report(problems) {
    const ZelStageOptions& o = owner.GetOptions();
    sweep.L = o.levels;
    sweep.dmin = o.minDisparity;
    sweep.step = (o.maxDisparity - o.minDisparity) / (o.levels - 1);
    const double residual = o.trackResidual >= 0.0 ? o.trackResidual : EstimateTrackResidual(seq);
    sweep.pixelTolerance = kPoseTolerance * residual;
    neighbours = NeighbourLists(owner, seq, first, last);
    threads = ThreadCount(o.threads);
    workers.resize(static_cast<size_t>(threads));
    maps.resize(static_cast<size_t>(last - first + 1));
}

void StageRun::BeginPhase(const std::vector<int>& frames, int limit) {
    EndPhase();
    std::vector<int> lastUser(static_cast<size_t>(sequence.GetFrameCount()), -1);
    for (size_t k = 0; k < frames.size(); k++) {
        const int i = frames[k];
        lastUser[static_cast<size_t>(i)] = static_cast<int>(k);
        const std::vector<int>& list = Neighbours(i);
        for (size_t n = 0; n < list.size() && n < static_cast<size_t>(limit); n++) {
            const size_t j = static_cast<size_t>(list[n]);
            lastUser[j] = std::max(lastUser[j], static_cast<int>(k));
        }
    }
    cache = std::make_unique<ImageCache>(sequence, lastUser, next);
    cache->unreadable = [this](int i, const std::string& line) {
        Note(report.unreadFrames, i, line);
    };
}

void StageRun::EndPhase() {
    if (cache) {
        cache->Clear();
        loads += cache->Loads();
        cache.reset();
    }
    mapCache.reset();
}

void StageRun::BeginMaps(const std::string& step, const std::vector<int>& frames,
                         const std::function<std::vector<int>(int)>& inputs) {
    if (!OnDisk()) {
        return;
    }
    std::vector<int> lastUser(static_cast<size_t>(sequence.GetFrameCount()), -1);
    mapInputs.assign(static_cast<size_t>(last - first + 1), std::vector<int>());
    for (size_t k = 0; k < frames.size(); k++) {
        std::vector<int>& in = mapInputs[static_cast<size_t>(frames[k] - first)];
        in = inputs(frames[k]);
        for (int j : in) {
            lastUser[static_cast<size_t>(j)] =
                std::max(lastUser[static_cast<size_t>(j)], static_cast<int>(k));
        }
    }
    const size_t n =
        static_cast<size_t>(CZelVideoFrame::GetWorkingWidth()) * CZelVideoFrame::GetWorkingHeight();
    MapCache::Reader reader;
    if (step == "_init") {
        reader = [n](int j, std::vector<float>& map, std::string& error) {
            if (ReadFloatFile(InitMapPath(j), n, false, map, error)) {
                return true;
            }
            error += " (the initialisation's map; run it first)";
            return false;
        };
    } else {
        ZelStepJournal* kept = journal;
        reader = [kept, step](int j, std::vector<float>& map, std::string& error) {
            return kept->Load(step, j, map, nullptr, error);
        };
    }
    mapCache = std::make_unique<MapCache>(sequence, reader, lastUser, next);
}

void StageRun::AcquireMaps(int i) {
    if (!mapCache) {
        return;
    }
    for (int j : mapInputs[static_cast<size_t>(i - first)]) {
        std::string error;
        if (!mapCache->Acquire(j, error)) {
            Note(report.unreadFrames, j, error);
        }
    }
}

void StageRun::ReleaseMaps(int i) {
    if (!mapCache) {
        return;
    }
    for (int j : mapInputs[static_cast<size_t>(i - first)]) {
        mapCache->Release(j);
    }
}

void StageRun::TakeOwn(const std::string& step, int i, std::vector<uint8_t>* mask) {
    if (!OnDisk()) {
        return;
    }
    std::string error;
    if (!journal->Load(step, i, Map(i), mask, error)) {
        Map(i).clear();
        if (mask != nullptr) {
            mask->clear();
        }
        Note(report.unreadFrames, i, error);
    }
}

void StageRun::Discard(const std::string& step, const ZelStepPlan* final) {
    if (journal == nullptr) {
        return;
    }
    if (final != nullptr) {
        for (int i : final->compute) {
            if (!journal->Done(final->name, i)) {
                return;
            }
        }
    }
    journal->Discard({step});
}

void StageRun::Drop(int i) {
    if (OnDisk()) {
        std::vector<float>().swap(Map(i));
    }
}

const std::vector<int>& StageRun::Neighbours(int i) const {
    return neighbours[static_cast<size_t>(i - first)];
}

void StageRun::InOrder(const std::vector<int>& frames, const std::function<void(int, int)>& fn) {
    ParallelInOrder(static_cast<int>(frames.size()), threads, next, fn, stop, [&](int position) {
        const int i = frames[static_cast<size_t>(position)];
        Note(report.unwrittenFiles, i, "ERROR: not enough memory for frame " + std::to_string(i));
    });
}

FrameSet StageRun::Open(int i, int limit, int loaders) {
    FrameSet fs;
    fs.index = i;
    const CCamera& cam = *sequence.GetFrame(i)->camera;
    const bool scaled = CZelVideoFrame::reduced;
    for (int j : Neighbours(i)) {
        if (static_cast<int>(fs.nb.size()) >= limit) {
            break;
        }
        fs.nb.push_back(j);
        fs.rel.push_back(RelativeProjection::Between(cam, *sequence.GetFrame(j)->camera, scaled));
        fs.nbMap.push_back(j >= first && j <= last ? sequence.GetFrame(j) : nullptr);
    }
    // Position 0 is the frame itself, then its neighbours.
    std::vector<std::shared_ptr<const Grey>> greys(fs.nb.size() + 1);
    const int T = std::max(1, std::min(loaders, static_cast<int>(greys.size())));
    OnThreads(T, [&](int t) {
        for (size_t k = static_cast<size_t>(t); k < greys.size(); k += static_cast<size_t>(T)) {
            greys[k] = cache->Acquire(k == 0 ? i : fs.nb[k - 1]);
        }
    });
    fs.ref = greys[0];
    fs.nbGrey.assign(greys.begin() + 1, greys.end());
    return fs;
}

void StageRun::Close(FrameSet& fs) {
    for (int j : fs.nb) {
        cache->Release(j);
    }
    cache->Release(fs.index);
    fs = FrameSet();
}

void StageRun::Report(const char* stage, int& done, int total, int i, double seconds) {
    std::lock_guard<std::mutex> lock(reportMutex);
    done++;
    lines++;
    if (progressFn) {
        ZelStageProgress pr{stage, done, total, i, &sequence.GetFrame(i)->name, seconds};
        progressFn(pr);
    }
}

void StageRun::Note(std::vector<ZelStageFailure>& list, int i, const std::string& line) {
    std::lock_guard<std::mutex> lock(reportMutex);
    if (AddOnce(list, i, line) && progressFn) {
        ZelStageProgress pr{"", 0, 0, i, &sequence.GetFrame(i)->name, 0.0, &line};
        progressFn(pr);
    }
}

void StageRun::AddTimes(ZelStageTimes ft, double total) {
    ft.rest = total - ft.costVolume - ft.aggregation - ft.refinement - ft.checks;
    std::lock_guard<std::mutex> lock(reportMutex);
    times.Add(ft);
}

void StageRun::Keep(const char* step, int i, const std::vector<float>& map,
                    const std::vector<uint8_t>* mask) {
    std::string error;
    if (journal != nullptr && !journal->Save(step, i, map, mask, error)) {
        Note(report.unwrittenFiles, i,
             "ERROR: Can not keep the " + std::string(step) + " map of frame " + std::to_string(i) +
                 ": " + error);
    }
}

void StageRun::LoadStep(const ZelStepPlan& step, std::vector<std::vector<uint8_t>>* masks) {
    if (OnDisk()) {
        return;  // read when needed (TakeOwn, BeginMaps)
    }
    for (int i : step.load) {
        std::string error;
        std::vector<uint8_t>* mask =
            masks != nullptr ? &(*masks)[static_cast<size_t>(i - first)] : nullptr;
        if (journal == nullptr || !journal->Load(step.name, i, Map(i), mask, error)) {
            Map(i).clear();
            Note(report.unreadFrames, i, error);
        }
    }
}

void StageRun::Commit(const std::vector<int>& frames) {
    const int W = CZelVideoFrame::GetWorkingWidth();
    const size_t n = static_cast<size_t>(W) * CZelVideoFrame::GetWorkingHeight();
    for (int i : frames) {
        CZelVideoFrame* frame = sequence.GetFrame(i);
        const std::vector<float>& map = Map(i);
        if (map.size() == n) {
            SetFrameMap(*frame, map, kNaN);
        }
    }
}

bool StageRun::Output(int i, const std::vector<float>& disparity, const std::vector<uint8_t>& marks,
                      int labelType) {
    CZelVideoFrame* frame = sequence.GetFrame(i);
    const int W = CZelVideoFrame::GetWorkingWidth();
    const int H = CZelVideoFrame::GetWorkingHeight();
    if (frame->dspImg == nullptr || frame->dspImg->GetWidth() != W ||
        frame->dspImg->GetHeight() != H) {
        if (!frame->CreateDisparityMap(kNaN)) {
            Note(report.unwrittenFiles, i,
                 "ERROR: Can not allocate a depth map of " + std::to_string(W) + " x " +
                     std::to_string(H) + " for frame " + std::to_string(i));
            return false;
        }
    }
    CopyIntoFrame(disparity, *frame);
    if (!stages.GetOptions().writeFiles) {
        return true;
    }
    std::lock_guard<std::mutex> lock(fileMutex);
    bool written = true;
    std::string error;
    if (!frame->WriteDepthFile(error)) {
        Note(report.unwrittenFiles, i, error);
        written = false;
    }
    // The initialisation's map under a name of its own: the bundle optimisation reads it
    // from there after the depth file holds its own result (shards, resumed runs).
    if (labelType == 0 && !WriteFloatFile(InitMapPath(i), disparity, error)) {
        Note(report.unwrittenFiles, i,
             "ERROR: Can not write " + InitMapPath(i) + " (" + error + ")");
        written = false;
    }
    ZImage<float> sure(W, H, 1);
    for (int y = 0; y < H; y++) {
        for (int x = 0; x < W; x++) {
            const size_t p = static_cast<size_t>(y) * W + x;
            sure.At(x, y, 0) = marks.size() == disparity.size() ? MarkConfidence(marks[p]) : 0.0f;
        }
    }
    if (!frame->WriteConfidenceFile(sure, error)) {
        Note(report.unwrittenFiles, i, error);
        written = false;
    }
    ZImage<int> labels(W, H, 1);
    for (int y = 0; y < H; y++) {
        for (int x = 0; x < W; x++) {
            const float d = disparity[static_cast<size_t>(y) * W + x];
            int l =
                std::isfinite(d) ? static_cast<int>(std::lround((d - sweep.dmin) / sweep.step)) : 0;
            labels.At(x, y, 0) = std::min(std::max(l, 0), sweep.L - 1);
        }
    }
    if (!frame->WriteLabelImage(&labels, labelType, sweep.L, error)) {
        Note(report.unwrittenFiles, i, error);
        written = false;
    }
    if (!frame->WriteDisparityImage(labelType, sweep.dmin, sweep.Level(sweep.L - 1), error)) {
        Note(report.unwrittenFiles, i, error);
        written = false;
    }
    return written;
}

std::string StageRun::InitMapPath(int i) {
    return CZelVideoFrame::dataDir + "_init" + std::to_string(i) + ".raw";
}

}  // namespace zelstages
