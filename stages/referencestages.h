// Reference depth-recovery stages: a multi-view plane sweep with semi-global aggregation for the
// initialisation, and a re-estimation with a geometric-coherence term for the bundle
// optimisation. Both work only through the frame and camera services of the core; install an
// instance on a sequence with CZelVideoSequence::SetStages and call Run.
//
// Outputs per frame (label type 0 after Init, 1 after Optimise): the disparity map in the frame
// (dspImg), its depth file, its label picture (levels = the sweep's level count) and its
// disparity picture. After the last optimisation pass, pixels that no neighbour confirms and
// two or more neighbours contradict are NaN (missing). Both stages end by fitting planes to the
// map over the frame's colour segments, chosen by the pixels three neighbours confirm and taken
// by those they do not (stages/segmentplanes.h; planeScale 0 turns it off).
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "sequence/videosequence.h"
#include "stages/journal.h"

struct ZelStageOptions {
    int levels = 96;            // disparity levels of the sweep, evenly spaced in disparity
    int neighbours = 8;         // frames matched against each frame, the nearest on both sides
    int refineNeighbours = 24;  // frames matched in the initialisation's continuous refinement:
                                // farther frames add parallax, so precision, where the sweep
                                // needs only the nearest
    int passes = 1;             // bundle-optimisation passes (Optimise does nothing with 0)
    int boSweep = 0;            // 1: each pass sweeps every level again; 0: it refines the
                                // map of the pass before (as accurate, a fifth of the work)
    int threads = 0;            // worker threads; 0 = every hardware thread
    int windowRadius = 2;       // matching window of the sweep, (2 r + 1) squared
    int refineRadius = 3;       // matching window of the sub-level refinement
    int wideRadius = 5;         // ... and of the initialisation's refinement where the picture is
                                // weakly textured (0 = none)
    double minParallax = 0.1;   // a neighbour must move the nearest point by this share of the
                                // picture width
    double minDisparity = 0.0;  // sweep range; maxDisparity must be above minDisparity
    double maxDisparity = -1.0;
    int planeScale = 3200;        // colour segmentation of the plane fit that ends each stage:
                                  // larger gives larger segments (0 = no plane fit)
    int planeMinSize = 200;       // smallest segment, in pixels
    double trackResidual = -1.0;  // how far the cameras miss their own feature tracks, in
                                  // working pixels (root mean square); below 0: measured from
                                  // the observations handed to the frames. Sets how closely
                                  // views must agree to confirm each other.
    bool writeFiles = true;       // depth files and pictures (the maps are always set)
};

// One finished step of one frame, for progress lines: stage is "init" or "bo<pass>", done counts
// the frames finished in that stage so far, out of total. Or, when problem is set, a problem
// just found (its line, kept in the report as well; the first time only): then stage is "",
// done, total and seconds are 0, and frame is the frame it concerns (-1: the whole run).
struct ZelStageProgress {
    const char* stage;
    int done;
    int total;
    int frame;
    const std::string* name;
    double seconds;
    const std::string* problem = nullptr;
};

// Where the time went, summed over frames and threads: processor seconds of the threads working
// on each frame (helping threads inside a frame not counted).
struct ZelStageTimes {
    double costVolume = 0.0;     // warping, window costs and their combination over neighbours
    double aggregation = 0.0;    // semi-global aggregation and winner-take-all
    double refinement = 0.0;     // continuous refinement around the swept disparities
    double checks = 0.0;         // consistency between views, filling and fusion
    double planeFit = 0.0;       // colour segments and their planes
    double rest = 0.0;           // loading pictures and maps, outputs
    double pixelLevels = 0.0;    // pixels x levels swept
    double samples = 0.0;        // colour samples taken while building cost volumes
    double refineSamples = 0.0;  // colour samples taken by the refinement
    double checkSamples = 0.0;   // neighbours' map samples taken by the checks
    int imageLoads = 0;          // colour images read from disk

    // Adds every figure of o.
    void Add(const ZelStageTimes& o) {
        costVolume += o.costVolume;
        aggregation += o.aggregation;
        refinement += o.refinement;
        checks += o.checks;
        planeFit += o.planeFit;
        rest += o.rest;
        pixelLevels += o.pixelLevels;
        samples += o.samples;
        refineSamples += o.refineSamples;
        checkSamples += o.checkSamples;
        imageLoads += o.imageLoads;
    }
};

// One problem of a run, for its summary: the frame it concerns and the line that reported it.
struct ZelStageFailure {
    int frame;
    std::string line;
};

// What the stages could not do, collected over every Init and Optimise of one instance, each
// problem once however often it recurs (a picture read by several stages and neighbours, a file
// written by both stages), in frame order. A frame whose picture cannot be read is still given
// a map and files, all missing (NaN).
struct ZelStageReport {
    std::vector<ZelStageFailure> unreadFrames;    // pictures that could not be read
    std::vector<ZelStageFailure> unwrittenFiles;  // depth files and pictures not written
    // Runs refused before any frame was done ("ERROR..." lines): options that cannot work, a
    // range outside the run's span.
    std::vector<std::string> refusedRuns;
    bool Clean() const {
        return unreadFrames.empty() && unwrittenFiles.empty() && refusedRuns.empty();
    }
};

// What one stage does for a range of frames, step by step (see CReferenceStages::Plan).
struct ZelStepPlan {
    std::string name;          // "sweep", "refine", "fuse", "init"; "bo1".., "bofuse", "bo"
    std::vector<int> compute;  // frames whose result of this step is computed, ascending
    std::vector<int> load;     // frames whose result is read back from the journal
};
struct ZelStagePlan {
    std::vector<int> reads;  // frames whose initialisation map is read (DATA/_init<i>.raw)
    std::vector<ZelStepPlan> steps;
};

class CReferenceStages : public CDepthStages {
  public:
    explicit CReferenceStages(const ZelStageOptions& options);

    // Checks the options; false with an "ERROR..." line in message when they cannot work.
    static bool CheckOptions(const ZelStageOptions& options, std::string& message);

    void Init(CZelVideoSequence& sequence, int first, int last) override;
    void Optimise(CZelVideoSequence& sequence, int first, int last) override;

    // The frames of the whole run that the ranges given to Init and Optimise belong to: their
    // maps are computed as if the stage ran over the whole span (frames of the span outside the
    // range are recomputed or read as their neighbours need them), so running the stages over
    // the shards of a span gives the maps of one run over it. Unset (the default), the span is
    // the range itself.
    void SetSpan(int first, int last) {
        spanFirst = first;
        spanLast = last;
    }
    // Keeps each step's per-frame result in the journal and takes over what it already holds
    // (not owned; nullptr: nothing kept). Needs writeFiles.
    void SetJournal(ZelStepJournal* j) { journal = j; }
    // Runs each stage only up to and including this step ("sweep", "refine", "bo1", ...; empty or
    // a step of the other stage: to its end), so that the steps of a span can be run step by step
    // over its shards, each reading its neighbours' results from the journal.
    void SetUntil(const std::string& step) { until = step; }
    // When *stop becomes true, no further frame is started: the frames in flight finish (and
    // are kept in the journal) and Init / Optimise return. Stopped() tells afterwards.
    void SetStopFlag(const std::atomic<bool>* flag) { stop = flag; }
    bool Stopped() const { return stop != nullptr && stop->load(); }
    // The steps of a stage (optimise: false = Init, true = Optimise) over frames first .. last of
    // the span, up to the SetUntil step, frames the journal holds left out; frames of the span
    // outside the range that the range's maps depend on are computed as well (the halo).
    ZelStagePlan Plan(const CZelVideoSequence& sequence, bool optimise, int first, int last) const;

    // Called from worker threads (one call at a time) after each frame's step and for each
    // problem as it is found. The stages print nothing themselves.
    void SetProgress(std::function<void(const ZelStageProgress&)> callback) {
        progress = std::move(callback);
    }
    const ZelStageTimes& GetTimes() const { return times; }
    // Each problem is also passed, once, to the progress callback as it is found.
    const ZelStageReport& GetReport() const { return report; }
    const ZelStageOptions& GetOptions() const { return options; }

    // The neighbours matched against frame i: up to options.neighbours frames, nearest first,
    // alternating sides, skipping frames whose camera centre is too close to give parallax.
    std::vector<int> Neighbours(const CZelVideoSequence& sequence, int i) const;
    // The same rule, up to `limit` frames.
    std::vector<int> Neighbours(const CZelVideoSequence& sequence, int i, int limit) const;

    // For measurement: takes with GetColor the colour samples that frame i's sweep takes (the
    // same positions, neighbours and levels) and returns their sum. Loads and releases the
    // colour images it needs.
    double SampleSweepPositions(CZelVideoSequence& sequence, int i) const;

  private:
    // Clamps [first, last] to the sequence and finds its span; false (nothing to do) when the
    // range is empty, or when the options are refused or the range does not lie within the span
    // (both recorded in the report's refusedRuns and passed to the progress callback).
    bool ClampRange(const CZelVideoSequence& sequence, int& first, int& last, int& sFirst,
                    int& sLast);

    // The span of a range first .. last (clamped to the sequence); false when the range does
    // not lie within it, with the reason in *problem when given.
    bool SpanOf(const CZelVideoSequence& sequence, int first, int last, int& sFirst, int& sLast,
                std::string* problem = nullptr) const;

    ZelStageOptions options;
    int spanFirst = -1;
    int spanLast = -1;
    std::string until;
    ZelStepJournal* journal = nullptr;
    const std::atomic<bool>* stop = nullptr;
    std::function<void(const ZelStageProgress&)> progress;
    ZelStageTimes times;
    ZelStageReport report;
};

// The disparity sweep range for a parsed project: the sequence's estimate of the largest
// disparity and 0 below. False when the tracks give no estimate.
bool EstimateSweepRange(const CZelVideoSequence& sequence, const CTrackFileParser& parser,
                        double& minDisparity, double& maxDisparity);
