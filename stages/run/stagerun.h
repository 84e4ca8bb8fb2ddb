// The shared state of one stage run: the span, the neighbour lists, the maps of the current
// step, the image and map caches, the journal, progress and the report.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "stages/frameset.h"
#include "stages/referencestages.h"
#include "stages/run/caches.h"

namespace zelstages {

// Adds a problem of frame `frame` to list unless the same line is there already, keeping the
// list in frame order; true when it is new.
bool AddOnce(std::vector<ZelStageFailure>& list, int frame, const std::string& line);

// Shared state of one stage run over frames of the span first .. last.
class StageRun {
  public:
    StageRun(const CReferenceStages& owner, CZelVideoSequence& seq, int spanFirst, int spanLast,
             ZelStageReport& problems, ZelStepJournal* stepJournal);
    ~StageRun() { EndPhase(); }

    // Starts a phase over `frames` (in that order), each opened with up to `limit` neighbours:
    // the image cache releases a picture once the last of them that needs it is dispatched.
    void BeginPhase(const std::vector<int>& frames, int limit);
    void EndPhase();

    // With a journal the maps live on disk: each step reads its frame's map of the step before
    // and its neighbours' maps from there, and drops what it made once it is kept. Without one
    // every map of a step stays in memory, set as the frames' own for the next step to read.
    bool OnDisk() const { return journal != nullptr; }

    // Starts reading the neighbours' maps of `step` ("_init" for the initialisation's files)
    // for a phase over `frames`, each frame reading those of inputs(frame). Does nothing
    // without a journal.
    void BeginMaps(const std::string& step, const std::vector<int>& frames,
                   const std::function<std::vector<int>(int)>& inputs);
    void AcquireMaps(int i);
    void ReleaseMaps(int i);

    // With a journal: frame i's result of `step` (and its mask), read back as the input of the
    // next step; a result that cannot be read leaves the frame without a map, reported.
    void TakeOwn(const std::string& step, int i, std::vector<uint8_t>* mask);
    // With a journal: removes the kept maps of a step that no frame still to come reads (the
    // step after it is complete), so that the work folder holds at most two steps' maps.
    // For the last step's input, only once every frame of the stage is done: a frame whose
    // outputs could not be written still needs it when the run is resumed.
    void Discard(const std::string& step, const ZelStepPlan* final = nullptr);

    // With a journal: frees frame i's map once it is kept.
    void Drop(int i);

    const std::vector<int>& Neighbours(int i) const;
    std::vector<float>& Map(int i) { return maps[static_cast<size_t>(i - first)]; }

    // Runs fn(position, worker) for the positions of `frames` in order on the run's threads
    // until the run is stopped; a frame whose work does not fit in memory is reported and left
    // without a map, and the others go on.
    void InOrder(const std::vector<int>& frames, const std::function<void(int, int)>& fn);

    // Acquires frame i's working set from the cache; with loaders > 1 the pictures load on that
    // many threads (a frame run alone).
    FrameSet Open(int i, int limit, int loaders = 1);
    void Close(FrameSet& fs);

    void Report(const char* stage, int& done, int total, int i, double seconds);

    // Records a problem of frame i in one of the report's lists, passing its line to the
    // progress callback the first time it comes up.
    void Note(std::vector<ZelStageFailure>& list, int i, const std::string& line);

    // Adds a frame's step times; what `total` holds beyond them counts as the rest.
    void AddTimes(ZelStageTimes ft, double total);

    // Keeps frame i's result of a step in the journal (when there is one).
    void Keep(const char* step, int i, const std::vector<float>& map,
              const std::vector<uint8_t>* mask);

    // Reads back the results of a step that the journal holds; a frame whose result cannot be
    // read is reported and left without a map.
    void LoadStep(const ZelStepPlan& step, std::vector<std::vector<uint8_t>>* masks);

    // Sets the maps of these frames as the frames' own, for their neighbours to read; a frame
    // without a map keeps what it has.
    void Commit(const std::vector<int>& frames);

    // Writes the frame's map and its files; true when everything was written.
    // The confidence file comes from `marks` (PixelMark per pixel; 0 without them).
    bool Output(int i, const std::vector<float>& disparity, const std::vector<uint8_t>& marks,
                int labelType);

    static std::string InitMapPath(int i);

    const CReferenceStages& stages;
    CZelVideoSequence& sequence;
    int first;
    int last;
    ZelStepJournal* journal;
    const std::atomic<bool>* stop = nullptr;
    Sweep sweep{};
    std::vector<std::vector<int>> neighbours;  // per span frame
    std::vector<std::vector<float>> maps;      // per span frame: its map of the current step
    std::atomic<int> next{0};
    std::unique_ptr<ImageCache> cache;
    std::unique_ptr<MapCache> mapCache;
    std::vector<std::vector<int>> mapInputs;  // per span frame: whose maps it reads (on disk)
    int loads = 0;
    int lines = 0;  // progress lines reported
    int threads = 1;
    std::vector<Worker> workers;
    std::mutex reportMutex;
    std::mutex fileMutex;
    std::function<void(const ZelStageProgress&)> progressFn;
    ZelStageTimes times;
    ZelStageReport& report;
};

}  // namespace zelstages
