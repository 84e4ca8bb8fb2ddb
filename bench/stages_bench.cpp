// Accuracy and speed of the reference depth-recovery stages on a project with ground truth.
//
// zel_stages_bench <project file> <ground-truth dir> [--frames FIRST:LAST] [--levels L]
//              [--neighbours K] [--passes P] [--threads N] [--plane-scale S]
//              [--compare-threads] [--summary] [--track-residual PX] [--write-files]
//              [--no-sample-check] [--bo-sweep]
//
// Runs the initialisation and the bundle optimisation on the frames, and after each prints per
// frame and in total the share of pixels (true disparity finite and above 0) within 1 %, 2 %
// and 5 % relative disparity error and the share missing. Then the time split (cost volume,
// aggregation, rest), the time per million pixel-levels, the cost-volume time against GetColor
// at the same sample positions in the same run, and with --compare-threads the whole run on one
// thread against two (--no-sample-check leaves out the GetColor comparison). Also the steps'
// table: thread time, share and samples per pixel of the sweep, aggregation, refinement, checks
// and plane fit, and the seconds per megapixel-frame. --summary ends the output with one line for
// scripts:
//
//   summary init <1%> <2%> <5%> <missing%> final <1%> <2%> <5%> <missing%> seconds <wall>
//
// with the shares in percent after the initialisation and for the final maps (after the bundle
// optimisation, or the initialisation's with --passes 0), and the wall time of both stages.
// --write-files leaves the depth files and pictures in the project's DATA/ and TMP/ (for
// zel_depth_compare); --track-residual overrides the residual measured from the tracks.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "io/depthfile.h"
#include "parser/trackfileparser.h"
#include "sequence/videoframe.h"
#include "sequence/videosequence.h"
#include "stages/evidence.h"
#include "stages/referencestages.h"

namespace {

struct Shares {
    double within1 = 0, within2 = 0, within5 = 0, missing = 0, count = 0;
    void Add(const Shares& o) {
        within1 += o.within1;
        within2 += o.within2;
        within5 += o.within5;
        missing += o.missing;
        count += o.count;
    }
    void Print(const char* label) const {
        const double c = count > 0 ? count : 1;
        std::printf("%-8s %7.2f %7.2f %7.2f %7.2f\n", label, 100 * within1 / c, 100 * within2 / c,
                    100 * within5 / c, 100 * missing / c);
    }
};

// Compares the frames' maps in memory with the ground truth.
Shares Evaluate(CZelVideoSequence& seq, const std::string& truthDir, int first, int last,
                bool perFrame) {
    const int W = CZelVideoFrame::GetWorkingWidth();
    const int H = CZelVideoFrame::GetWorkingHeight();
    Shares total;
    std::printf("frame    1%%      2%%      5%%      missing\n");
    for (int i = first; i <= last; i++) {
        std::vector<float> truth;
        if (!zelio::ReadRawFloats(zelio::DepthFilePath(truthDir + "/", i),
                                  static_cast<size_t>(W) * H, truth)) {
            std::printf("ERROR: cannot read the ground truth of frame %d\n", i);
            continue;
        }
        const CZelVideoFrame* frame = seq.GetFrame(i);
        Shares s;
        for (int y = 0; y < H; y++) {
            for (int x = 0; x < W; x++) {
                const double g = truth[static_cast<size_t>(y) * W + x];
                if (!(g > 0) || !std::isfinite(g)) {
                    continue;
                }
                s.count++;
                const double d = frame->dspImg != nullptr ? frame->dspImg->At(x, y, 0) : NAN;
                if (!std::isfinite(d)) {
                    s.missing++;
                    continue;
                }
                const double e = std::fabs(d - g) / g;
                s.within1 += e <= 0.01;
                s.within2 += e <= 0.02;
                s.within5 += e <= 0.05;
            }
        }
        if (perFrame) {
            s.Print(std::to_string(i).c_str());
        }
        total.Add(s);
    }
    total.Print("total");
    return total;
}

struct RunResult {
    Shares init;   // after the initialisation (when evaluated)
    Shares final;  // the final maps (when evaluated)
    double seconds = 0;
    double cpuSeconds = 0;       // processor time of the whole process during the stages
    double megapixelFrames = 0;  // frames of the range x megapixels of a frame
    double pixels = 0;           // pixels of the range's frames
    int threads = 0;
    ZelStageTimes times;
};

// Where the time went, step by step: thread time, its share, and the samples each step took per
// pixel of the frames of the range.
void PrintSteps(const RunResult& r) {
    const ZelStageTimes& t = r.times;
    const double thread =
        t.costVolume + t.aggregation + t.refinement + t.checks + t.planeFit + t.rest;
    struct Row {
        const char* name;
        double seconds;
        double samples;
    };
    const Row rows[] = {
        {"sweep (cost volume)", t.costVolume, t.samples},
        {"aggregation", t.aggregation, 0.0},
        {"refinement", t.refinement, t.refineSamples},
        {"checks and fusion", t.checks, t.checkSamples},
        {"plane fit", t.planeFit, 0.0},
        {"loading, outputs", t.rest, 0.0},
    };
    const double pixels = r.pixels > 0 ? r.pixels : 1;
    std::printf("\n%-22s %9s %7s %16s\n", "step", "thread s", "share", "samples/pixel");
    for (const Row& row : rows) {
        std::printf("%-22s %9.2f %6.1f%% %16.0f\n", row.name, row.seconds,
                    100 * row.seconds / (thread > 0 ? thread : 1), row.samples / pixels);
    }
    std::printf("%.2f s per megapixel-frame (wall, %d threads), %.2f s of thread time\n",
                r.seconds / r.megapixelFrames, r.threads, thread / r.megapixelFrames);
}

RunResult RunStages(const char* project, const std::string& truth, ZelStageOptions options,
                    int first, int last, bool evaluate, bool compareSamples) {
    CZelVideoSequence seq;
    CTrackFileParser parser(&seq);
    RunResult result;
    if (!parser.Parse(project)) {
        std::exit(1);
    }
    parser.HandOverMatchPoints();
    if (!EstimateSweepRange(seq, parser, options.minDisparity, options.maxDisparity)) {
        std::printf("ERROR: no disparity range\n");
        std::exit(1);
    }
    if (evaluate) {
        std::printf("disparity range swept: %.4f .. %.4f\n", options.minDisparity,
                    options.maxDisparity);
        std::printf("track residual: %.3f px\n", EstimateTrackResidual(seq));
    }
    if (last < 0 || last >= seq.GetFrameCount()) {
        last = seq.GetFrameCount() - 1;
    }
    CReferenceStages stages(options);
    const std::clock_t c0 = std::clock();
    const auto t0 = std::chrono::steady_clock::now();
    seq.SetStages(&stages);
    seq.InitStage(first, last);
    const double initSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double initCostVolume = stages.GetTimes().costVolume;
    if (evaluate) {
        std::printf("\nafter initialisation (%.1f s)\n", initSeconds);
        result.init = result.final = Evaluate(seq, truth, first, last, true);
    }
    const auto t1 = std::chrono::steady_clock::now();
    seq.BOStage(first, last);
    const double boSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t1).count();
    seq.SetStages(nullptr);
    if (evaluate && options.passes > 0) {
        std::printf("\nafter bundle optimisation, %d passes (%.1f s)\n", options.passes, boSeconds);
        result.final = Evaluate(seq, truth, first, last, true);
    }
    result.seconds = initSeconds + boSeconds;
    result.cpuSeconds = static_cast<double>(std::clock() - c0) / CLOCKS_PER_SEC;
    result.times = stages.GetTimes();
    result.pixels = static_cast<double>(last - first + 1) * CZelVideoFrame::GetWorkingWidth() *
                    CZelVideoFrame::GetWorkingHeight();
    result.megapixelFrames = result.pixels / 1e6;
    result.threads = options.threads;
    if (compareSamples) {
        // The bare samples: GetColor at the positions of the initial sweep of every frame.
        const auto t2 = std::chrono::steady_clock::now();
        double sum = 0;
        for (int i = first; i <= last; i++) {
            sum += stages.SampleSweepPositions(seq, i);
        }
        const double sampleSeconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t2).count();
        std::printf("\nGetColor at the initial sweep's positions: %.2f s (checksum %.0f)\n",
                    sampleSeconds, sum);
        std::printf("initial cost volumes: %.2f s of thread time = %.2fx the bare samples\n",
                    initCostVolume, initCostVolume / sampleSeconds);
    }
    return result;
}

bool ParseRange(const char* s, int& a, int& b) {
    return std::sscanf(s, "%d:%d", &a, &b) == 2 && a >= 0 && a <= b;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    if (argc < 3) {
        std::fprintf(stderr,
                     "usage: zel_stages_bench <project file> <ground-truth dir> [options]\n");
        return 2;
    }
    ZelStageOptions options;
    int first = 0;
    int last = -1;
    bool compareThreads = false;
    bool evaluate = true;
    bool summary = false;
    bool writeFiles = false;
    bool sampleCheck = true;
    for (int a = 3; a < argc; a++) {
        const std::string arg = argv[a];
        const char* v = a + 1 < argc ? argv[a + 1] : nullptr;
        if (arg == "--compare-threads") {
            compareThreads = true;
        } else if (arg == "--summary") {
            summary = true;
        } else if (arg == "--write-files") {
            writeFiles = true;
        } else if (arg == "--bo-sweep") {
            options.boSweep = 1;
        } else if (arg == "--no-sample-check") {
            sampleCheck = false;
        } else if (arg == "--threads-only") {
            compareThreads = true;
            evaluate = false;
        } else if (v == nullptr) {
            std::fprintf(stderr, "zel_stages_bench: %s needs a value\n", arg.c_str());
            return 2;
        } else if (arg == "--frames" && ParseRange(v, first, last)) {
            a++;
        } else if (arg == "--levels") {
            options.levels = std::atoi(v), a++;
        } else if (arg == "--neighbours") {
            options.neighbours = std::atoi(v), a++;
        } else if (arg == "--passes") {
            options.passes = std::atoi(v), a++;
        } else if (arg == "--parallax") {
            options.minParallax = std::atof(v), a++;
        } else if (arg == "--plane-scale") {
            options.planeScale = std::atoi(v), a++;
        } else if (arg == "--refine-neighbours") {
            options.refineNeighbours = std::atoi(v), a++;
        } else if (arg == "--refine-radius") {
            options.refineRadius = std::atoi(v), a++;
        } else if (arg == "--radius") {
            options.windowRadius = std::atoi(v), a++;
        } else if (arg == "--threads") {
            options.threads = std::atoi(v), a++;
        } else if (arg == "--track-residual") {
            options.trackResidual = std::atof(v), a++;
        } else {
            std::fprintf(stderr, "zel_stages_bench: bad option %s\n", arg.c_str());
            return 2;
        }
    }
    options.writeFiles = writeFiles;
    if (evaluate) {
        const RunResult r = RunStages(argv[1], argv[2], options, first, last, true, sampleCheck);
        const ZelStageTimes& t = r.times;
        const double thread =
            t.costVolume + t.aggregation + t.refinement + t.checks + t.planeFit + t.rest;
        std::printf(
            "\nwhole run: %.1f s wall, %.1f s thread time: cost volume %.0f %%, "
            "aggregation %.0f %%, rest %.0f %%\n",
            r.seconds, thread, 100 * t.costVolume / thread, 100 * t.aggregation / thread,
            100 * (thread - t.costVolume - t.aggregation) / thread);
        std::printf(
            "%.3f s of thread time per million pixel-levels swept (%.0f million); %d "
            "image loads\n",
            thread / (t.pixelLevels / 1e6), t.pixelLevels / 1e6, t.imageLoads);
        PrintSteps(r);
        if (summary) {
            auto percent = [](const Shares& s, double part) {
                return 100 * part / (s.count > 0 ? s.count : 1);
            };
            const Shares& i = r.init;
            const Shares& f = r.final;
            std::printf("summary init %.2f %.2f %.2f %.2f final %.2f %.2f %.2f %.2f seconds %.1f\n",
                        percent(i, i.within1), percent(i, i.within2), percent(i, i.within5),
                        percent(i, i.missing), percent(f, f.within1), percent(f, f.within2),
                        percent(f, f.within5), percent(f, f.missing), r.seconds);
        }
    }
    if (compareThreads) {
        // One thread first, with the bare samples right after it on the same single thread.
        ZelStageOptions one = options;
        one.threads = 1;
        ZelStageOptions two = options;
        two.threads = 2;
        const RunResult r1 = RunStages(argv[1], argv[2], one, first, last, false, true);
        const RunResult r2 = RunStages(argv[1], argv[2], two, first, last, false, false);
        std::printf(
            "one thread %.1f s (processor %.1f s), two threads %.1f s (processor %.1f s): "
            "%.2fx faster; processor time of two threads / one: %.2f\n",
            r1.seconds, r1.cpuSeconds, r2.seconds, r2.cpuSeconds, r1.seconds / r2.seconds,
            r2.cpuSeconds / r1.cpuSeconds);
    }
    return 0;
}
