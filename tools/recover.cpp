// zel_recover: recovers the depth of a project's frames with the reference stages.
//
// zel_recover [options] <project file>
// Parses the project (the parser's own lines go to standard output), hands the frames their
// observations, estimates the disparity range from the tracks, installs the reference stages and
// runs them over the chosen frames. Progress goes to standard error, one line per frame and
// stage. Every frame of the range that can be done is done; then a summary on standard error
// names the frames whose picture could not be read and the outputs that could not be written.
// Exit status: 0 after a clean run; 1 when the project cannot be read or gives no disparity
// range, or when the summary lists any problem; 2 for a usage error. Never waits for a key.
//
// Long runs: --stage runs one stage on a shard of the frames (reading the maps it needs from
// other shards' files), --until runs it up to a step, sharing the maps of every step with the
// span's other shards through one folder so that shards run step group by step group compute
// nothing beyond their frames, --plan prints what a run would compute, and every run keeps a
// manifest beside the depth files so that --resume goes on after a crash or a signal.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "io/depthfile.h"
#include "io/depthformats.h"
#include "parser/trackfileparser.h"
#include "sequence/videoframe.h"
#include "sequence/videosequence.h"
#include "stages/evidence.h"
#include "stages/journal.h"
#include "stages/options.h"
#include "stages/referencestages.h"
#include "tools/frontend.h"

namespace {

// Set by SIGINT / SIGTERM: no further frame starts, the frames in flight finish. A second one
// ends the program at once (what it has kept stays valid: files are written whole).
std::atomic<bool> stopRequested{false};

extern "C" void RequestStop(int sig) {
    if (stopRequested.exchange(true)) {
        std::signal(sig, SIG_DFL);
        std::raise(sig);
    }
}

const char* const kUsage = "usage: zel_recover [options] <project file>  (--help for the options)";

// Prints the help; table lists the options.
void PrintHelp(const std::string& table) {
    std::printf(
        "usage: zel_recover [options] <project file>\n"
        "Recovers a disparity map for every chosen frame: initialisation by a plane sweep with\n"
        "semi-global aggregation, then bundle optimisation against the neighbours' maps.\n"
        "Writes DATA/_depth<i>.raw, the confidence DATA/_conf<i>.raw (0..1 per pixel) and the\n"
        "pictures TMP/1_Init_<name>.bmp, TMP/2_BO_<name>.bmp beside the images.\n"
        "\n"
        "options:\n"
        "%s"
        "  --help               this text\n"
        "\n"
        "Exit status: 0 when every picture was read and every file written; 1 when the project\n"
        "cannot be used or some were not (the frames finish anyway, and a summary on standard\n"
        "error lists them), or after SIGINT / SIGTERM (the frames in flight are finished\n"
        "and kept; --resume goes on; a second signal ends it at once); 2 for a usage error.\n",
        table.c_str());
}

// The distinct frames of a list of problems, in order, as "0, 1, 5".
std::string FrameList(const std::vector<ZelStageFailure>& failures) {
    std::string text;
    int previous = -1;
    for (const ZelStageFailure& f : failures) {
        if (f.frame == previous) {
            continue;
        }
        text += (text.empty() ? "" : ", ") + std::to_string(f.frame);
        previous = f.frame;
    }
    return text;
}

// Prints one list of the summary: "zel_recover: ERROR: <what> of frames <frames>:", then each
// problem's line indented.
void PrintFailures(const char* what, const std::vector<ZelStageFailure>& failures) {
    if (failures.empty()) {
        return;
    }
    std::fprintf(stderr, "zel_recover: ERROR: %s of frames %s:\n", what,
                 FrameList(failures).c_str());
    for (const ZelStageFailure& f : failures) {
        std::fprintf(stderr, "  %s\n", f.line.c_str());
    }
}

// What the command line asks for.
struct RecoverArgs {
    ZelStageOptions options;
    int firstFrame = 0;
    int lastFrame = -1;
    bool rangeGiven = false;
    std::string stage;  // "", "init" or "bo"
    int spanFirst = -1;
    int spanLast = -1;
    std::string until;  // "" or a step: run the stage up to it, sharing the span's folder
    bool plan = false;
    bool resume = false;
    bool clean = false;
    bool pfm = false;    // --depth-format pfm
    bool png16 = false;  // --depth-format png16
    std::string project;
};

// "raw", "pfm" and "png16", comma-separated: the formats of --depth-format.
bool ParseDepthFormats(const char* value, RecoverArgs& args) {
    const std::string list = value;
    for (size_t start = 0;;) {
        const size_t comma = list.find(',', start);
        const std::string name = list.substr(start, comma - start);
        if (name == "pfm" || name == "png16") {
            (name == "pfm" ? args.pfm : args.png16) = true;
        } else if (name != "raw") {
            return false;
        }
        if (comma == std::string::npos) {
            return true;
        }
        start = comma + 1;
    }
}

// Reads the command line into args: the stage options from their table (stages/options.h), the
// run's own after them. Returns -1 to go on, or the exit status to end with (0 after --help, 2
// after a usage error).
int ParseArguments(int argc, const char* const argv[], RecoverArgs& args) {
    zeltool::UsageStyle style;
    style.prefix = "zel_recover: ";
    style.suffix = std::string("; ") + kUsage;
    zeltool::CommandLine line(style, [&line] { PrintHelp(line.HelpTable()); });
    line.Frames("--frames", "FIRST:LAST", 0, kMaxFrameCount, &args.firstFrame, &args.lastFrame,
                &args.rangeGiven, "frames to recover (inclusive, 0-based; default: all)");
    for (const ZelStageOptionInfo& info : StageOptionTable()) {
        if (info.name == nullptr) {
            continue;
        }
        line.Custom(
            (std::string("--") + info.name).c_str(), info.meta,
            [&info, &args](const char* v) { return ParseStageOption(info, v, args.options); },
            StageOptionHelp(info).c_str());
    }
    line.Custom(
        "--stage", "init|bo",
        [&args](const char* v) {
            args.stage = v;
            return args.stage == "init" || args.stage == "bo";
        },
        "run one stage on the frames (a shard of the span): frames of\n"
        "the span beyond them are recomputed or read from disk as the\n"
        "shard needs them; bo reads the initialisation's maps\n"
        "DATA/_init<i>.raw, so every init shard must have finished");
    line.Frames("--span", "FIRST:LAST", 0, kMaxFrameCount, &args.spanFirst, &args.spanLast, nullptr,
                "the whole run a shard belongs to (default: all frames)");
    line.Custom(
        "--until", "STEP",
        [&args](const char* v) {
            args.until = v;
            for (const char* step : {"sweep", "refine", "init", "bo1", "bo2", "bo3", "bo"}) {
                if (args.until == step) {
                    return true;
                }
            }
            return false;
        },
        "with --stage: run the stage's steps up to STEP only, one of\n"
        "sweep, refine, init (the whole of init), bo1..bo3, bo (the whole\n"
        "of bo); the maps of every step are kept in the span's shared\n"
        "folder DATA/work_<span>_<options hash>/, and what other shards\n"
        "kept there is read instead of computed, so that shards run\n"
        "step group by step group have no halo (run each group's shards\n"
        "once every shard of the group before has ended); the run removes\n"
        "its frames' maps that only the group before read");
    line.Flag("--clean", &args.clean,
              "remove the span's shared folder (after the last group); compute\n"
              "nothing");
    line.Flag("--plan", &args.plan,
              "print per stage and step which frames would be computed, which\n"
              "of them are halo (beyond the frames) and which maps are read\n"
              "(with --until: those of the groups before taken as made);\n"
              "compute nothing");
    line.Custom(
        "--depth-format", "LIST", [&args](const char* v) { return ParseDepthFormats(v, args); },
        "also write each frame's depth as pfm (DATA/_depth<i>.pfm, the\n"
        "disparities as floats) and/or png16 (DATA/_depth<i>_16.png,\n"
        "depth as 16-bit integers): a comma-separated list, or the\n"
        "option repeated; raw (DATA/_depth<i>.raw) is always written");
    line.Flag("--resume", &args.resume,
              "go on from the manifest of an earlier run with the same options\n"
              "(DATA/manifest.txt; DATA/manifest_<stage>_<A>_<B>.txt for a\n"
              "shard): frames and steps it lists are not done again");
    std::vector<std::string> positional;
    const int status = line.Parse(argc, argv, positional);
    if (status >= 0) {
        return status;
    }
    if (positional.size() > 1) {
        return line.Usage("more than one project file given");
    }
    if (positional.empty()) {
        return line.Usage("no project file given");
    }
    args.project = positional[0];
    if (args.png16 && !zelio::CanWritePng()) {
        return line.Usage(std::string("--depth-format png16: ") + zelio::NoPngReason());
    }
    if (args.spanFirst >= 0 && args.stage.empty() && !args.clean) {
        return line.Usage("--span needs --stage");
    }
    if (!args.until.empty()) {
        const bool initStep =
            args.until == "sweep" || args.until == "refine" || args.until == "init";
        if (args.stage != (initStep ? "init" : "bo")) {
            return line.Usage("--until " + args.until + " needs --stage " +
                              (initStep ? "init" : "bo"));
        }
        if (args.until.size() == 3 && args.until[2] - '0' > args.options.passes) {
            return line.Usage("--until " + args.until + " lies beyond the passes");
        }
    }
    if (args.spanFirst >= 0 && args.rangeGiven &&
        (args.firstFrame < args.spanFirst || args.lastFrame > args.spanLast)) {
        return line.Usage("the frames must lie within the span");
    }
    return -1;
}

// The options the maps depend on, as text for the manifest (the thread count is not among them:
// every frame's result is the same whatever the threads).
std::string OptionText(const ZelStageOptions& o, int spanFirst, int spanLast, int frames) {
    char text[512];
    std::snprintf(text, sizeof(text),
                  "levels=%d neighbours=%d refine=%d passes=%d window=%d refineWindow=%d wide=%d "
                  "parallax=%.17g disparity=%.17g:%.17g planes=%d:%d span=%d:%d frames=%d "
                  "size=%dx%d residual=%.17g boSweep=%d",
                  o.levels, o.neighbours, o.refineNeighbours, o.passes, o.windowRadius,
                  o.refineRadius, o.wideRadius, o.minParallax, o.minDisparity, o.maxDisparity,
                  o.planeScale, o.planeMinSize, spanFirst, spanLast, frames,
                  CZelVideoFrame::GetWorkingWidth(), CZelVideoFrame::GetWorkingHeight(),
                  o.trackResidual, o.boSweep);
    return text;
}

// The steps of the group that ends with `until` (see --until) whose maps only the group before
// it read from other shards: once every shard of that group has ended, a shard of this one may
// remove them for its own frames. The groups: sweep, refine, init, bo1 .. boP, bo.
std::vector<std::string> StepsReadBefore(const std::string& until, int passes) {
    std::vector<std::string> groups = {"sweep", "refine", "init"};
    for (int p = 1; p <= passes; p++) {
        groups.push_back("bo" + std::to_string(p));
    }
    groups.push_back("bo");
    for (size_t g = 2; g < groups.size(); g++) {
        // Two groups back made them; the fusions and the stages' ends are read by their own
        // frame only.
        const std::string& made = groups[g - 2];
        if (groups[g] == until && made != "init") {
            return {made};
        }
    }
    return {};
}

// The first step a group computes when the groups before it are complete.
std::string FirstStepOf(const std::string& until) {
    return until == "init" ? "fuse" : until == "bo" ? "bofuse" : until;
}

// For --plan with --until: the maps of the steps before the group's count as kept (the groups
// before it are taken as complete); everything else is asked of the manifest.
class AssumeGroupsBefore : public ZelStepJournal {
  public:
    AssumeGroupsBefore(ZelManifest& journal, const std::string& until)
        : manifest(journal), firstStep(Index(FirstStepOf(until))) {}
    bool Done(const std::string& step, int frame) const override {
        return (Index(step) < firstStep && step != "init") || manifest.Done(step, frame);
    }
    bool Save(const std::string&, int, const std::vector<float>&, const std::vector<uint8_t>*,
              std::string& error) override {
        error = "planning only";
        return false;
    }
    bool Load(const std::string&, int, std::vector<float>&, std::vector<uint8_t>*,
              std::string& error) const override {
        error = "planning only";
        return false;
    }
    void MarkDone(const std::string&, int) override {}
    void Discard(const std::vector<std::string>&) override {}

  private:
    static int Index(const std::string& step) {
        const std::vector<std::string>& steps = ZelManifest::Steps();
        return static_cast<int>(std::find(steps.begin(), steps.end(), step) - steps.begin());
    }
    ZelManifest& manifest;
    int firstStep;
};

// Ascending frames as runs: "0:9, 12, 20:31" ("-" for none).
std::string Runs(const std::vector<int>& frames) {
    std::string text;
    for (size_t a = 0; a < frames.size();) {
        size_t b = a;
        while (b + 1 < frames.size() && frames[b + 1] == frames[b] + 1) {
            b++;
        }
        text += (text.empty() ? "" : ", ") + std::to_string(frames[a]);
        if (b > a) {
            text += ":" + std::to_string(frames[b]);
        }
        a = b + 1;
    }
    return text.empty() ? "-" : text;
}

// Prints one stage's plan: per step the frames computed, the halo among them (beyond the
// range), the results read back from the manifest; and the maps read from disk.
void PrintPlan(const char* name, const ZelStagePlan& plan, int first, int last,
               const ZelStepJournal* there) {
    std::printf("%s: frames %d:%d\n", name, first, last);
    if (std::string(name) == "bo") {
        // Those not there yet: their init shards have not run (or not to the end).
        std::vector<int> missing;
        for (int i : plan.reads) {
            std::error_code ec;
            const std::string path = CZelVideoFrame::dataDir + "_init" + std::to_string(i) + ".raw";
            if (!std::filesystem::exists(path, ec)) {
                missing.push_back(i);
            }
        }
        std::printf("  reads    DATA/_init<i>.raw of %s; not there yet: %s\n",
                    Runs(plan.reads).c_str(), Runs(missing).c_str());
    }
    for (const ZelStepPlan& step : plan.steps) {
        std::vector<int> own;
        std::vector<int> halo;
        for (int i : step.compute) {
            (i >= first && i <= last ? own : halo).push_back(i);
        }
        std::printf("  %-8s computes %s; halo %s (%zu frames)", step.name.c_str(),
                    Runs(own).c_str(), Runs(halo).c_str(), halo.size());
        if (!step.load.empty()) {
            std::printf("; kept %s", Runs(step.load).c_str());
            if (there != nullptr) {
                std::vector<int> missing;
                for (int i : step.load) {
                    if (!there->Done(step.name, i)) {
                        missing.push_back(i);
                    }
                }
                std::printf(" (not there yet: %s)", Runs(missing).c_str());
            }
        }
        std::printf("\n");
    }
}

// Writes the depth file of each frame first..last that has one again in the formats of
// --depth-format, beside it. False after an error line for each file that could not be written.
bool WriteDepthFormats(const RecoverArgs& args, CZelVideoSequence& sequence, int first, int last) {
    const int W = CZelVideoFrame::GetWorkingWidth();
    const int H = CZelVideoFrame::GetWorkingHeight();
    bool ok = true;
    for (int i = first; i <= last && (args.pfm || args.png16); i++) {
        const int index = sequence.GetFrame(i)->index;
        const std::string raw = zelio::DepthFilePath(CZelVideoFrame::dataDir, index);
        std::error_code ec;
        if (!std::filesystem::exists(raw, ec)) {
            continue;  // the stages' summary names the frame
        }
        std::vector<float> values;
        std::string error;
        if (!zelio::ReadDepthFile(raw, "depth file", i, W, H, values, &error)) {
            std::fprintf(stderr, "zel_recover: ERROR: %s\n", error.c_str());
            ok = false;
            continue;
        }
        for (const zelio::DepthFormat format :
             {zelio::DepthFormat::kPfm, zelio::DepthFormat::kPng16}) {
            const bool pfm = format == zelio::DepthFormat::kPfm;
            const std::string path = zelio::DepthFilePath(CZelVideoFrame::dataDir, index, format);
            if ((pfm && args.pfm && !zelio::WritePfm(path, W, H, values, &error)) ||
                (!pfm && args.png16 &&
                 !zelio::WriteDepthPng16(path, W, H, values, nullptr, &error))) {
                std::fprintf(stderr, "zel_recover: ERROR: Can not write %s: %s\n", path.c_str(),
                             error.c_str());
                ok = false;
            }
        }
    }
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    RecoverArgs args;
    const int status = ParseArguments(argc, argv, args);
    if (status >= 0) {
        return status;
    }
    ZelStageOptions& options = args.options;
    int& firstFrame = args.firstFrame;
    int& lastFrame = args.lastFrame;

    // The parser's lines go to standard output; its reason says what went wrong.
    zeltool::Project project;
    CZelVideoSequence& sequence = project.sequence;
    CTrackFileParser& parser = *project.parser;
    std::string reason;
    if (zeltool::ReadProject(args.project.c_str(), project, zeltool::ParserLines::kStdout,
                             &reason) == zeltool::LoadResult::kUnreadable) {
        std::fprintf(stderr, "zel_recover: ERROR: cannot read the project %s (%s)\n",
                     args.project.c_str(), reason.c_str());
        return 1;
    }
    parser.HandOverMatchPoints();
    const int frames = sequence.GetFrameCount();
    if (frames == 0) {
        std::fprintf(stderr, "zel_recover: the project has no frames; nothing to do\n");
        return 0;
    }
    if (!args.rangeGiven) {
        lastFrame = frames - 1;
    } else if (lastFrame >= frames) {
        std::fprintf(stderr, "zel_recover: ERROR: frame range %d:%d lies beyond the %d frames\n",
                     firstFrame, lastFrame, frames);
        return 2;
    }
    if (!EstimateSweepRange(sequence, parser, options.minDisparity, options.maxDisparity)) {
        std::fprintf(stderr,
                     "zel_recover: ERROR: the project's feature tracks give no disparity "
                     "estimate\n");
        return 1;
    }
    if (options.trackResidual < 0.0) {
        options.trackResidual = EstimateTrackResidual(sequence);
    }
    // The stages need the cameras and the pictures only: the feature tracks, which grow with the
    // video's length times the points tracked through it, are given back now.
    for (int i = 0; i < frames; i++) {
        sequence.GetFrame(i)->matchPoints.reset();
    }
    std::vector<std::shared_ptr<std::vector<CMatchPoint>>>().swap(parser.frameMatchPoints);
    std::vector<std::shared_ptr<CMatchLinker>>().swap(parser.tracks);
    parser.ReleaseBuffer();  // the project file's text
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
    std::string message;
    if (!CReferenceStages::CheckOptions(options, message)) {
        std::fprintf(stderr, "zel_recover: %s\n", message.c_str());
        return 1;
    }

    // A stage run on a shard belongs to a span (default: every frame); a run of both stages is
    // its own span.
    int spanFirst = firstFrame;
    int spanLast = lastFrame;
    if (!args.stage.empty() || args.clean) {
        spanFirst = args.spanFirst >= 0 ? args.spanFirst : 0;
        spanLast = args.spanFirst >= 0 ? args.spanLast : frames - 1;
        if (spanLast >= frames) {
            std::fprintf(stderr, "zel_recover: ERROR: span %d:%d lies beyond the %d frames\n",
                         spanFirst, spanLast, frames);
            return 2;
        }
        if (!args.rangeGiven) {
            firstFrame = spanFirst;
            lastFrame = spanLast;
        }
    }
    const bool runInit = args.stage != "bo";
    const bool runBO = args.stage != "init" && options.passes > 0;

    CReferenceStages stages(options);
    stages.SetSpan(spanFirst, spanLast);
    stages.SetUntil(args.until);
    // The manifest and the work folder of the kept maps: one pair per run or shard, so shards
    // running at once never share them; but shards run step group by step group (--until)
    // share one work folder per span and option set, whose maps they read from each other.
    const std::string optionText = OptionText(options, spanFirst, spanLast, frames);
    const std::string suffix =
        args.stage.empty()
            ? std::string()
            : "_" + args.stage + "_" + std::to_string(firstFrame) + "_" + std::to_string(lastFrame);
    const std::string manifestPath = CZelVideoFrame::dataDir + "manifest" + suffix + ".txt";
    const std::string sharedDir = CZelVideoFrame::dataDir + "work_" + std::to_string(spanFirst) +
                                  "_" + std::to_string(spanLast) + "_" +
                                  ZelManifest::Hash(optionText) + "/";
    const bool shared = !args.until.empty();
    const std::string workDir =
        shared ? sharedDir : CZelVideoFrame::dataDir + "work" + suffix + "/";
    if (args.clean) {
        std::error_code ec;
        std::filesystem::remove_all(sharedDir, ec);
        if (ec) {
            std::fprintf(stderr, "zel_recover: ERROR: cannot remove %s (%s)\n", sharedDir.c_str(),
                         ec.message().c_str());
            return 1;
        }
        std::fprintf(stderr, "zel_recover: removed the shared folder %s\n", sharedDir.c_str());
        return 0;
    }
    ZelManifest manifest(manifestPath, workDir, spanFirst, spanLast,
                         static_cast<size_t>(CZelVideoFrame::GetWorkingWidth()) *
                             static_cast<size_t>(CZelVideoFrame::GetWorkingHeight()),
                         optionText);
    if (shared) {
        manifest.Share(firstFrame, lastFrame);
    }
    if (args.resume) {
        for (const std::string& warning : manifest.Read()) {
            std::printf("%s\n", warning.c_str());
        }
    }
    if (args.resume || shared) {
        stages.SetJournal(&manifest);
    }
    if (args.plan) {
        std::printf("project: %d frames, %d x %d pixels; span %d:%d\n", frames,
                    CZelVideoFrame::GetWorkingWidth(), CZelVideoFrame::GetWorkingHeight(),
                    spanFirst, spanLast);
        // A group's plan takes the groups before it as complete, and says which of the maps it
        // reads are not in the shared folder yet.
        AssumeGroupsBefore before(manifest, args.until);
        if (shared) {
            std::printf("shared: %s\n", sharedDir.c_str());
            stages.SetJournal(&before);
        }
        const ZelStepJournal* there = shared ? &manifest : nullptr;
        if (runInit) {
            PrintPlan("init", stages.Plan(sequence, false, firstFrame, lastFrame), firstFrame,
                      lastFrame, there);
        }
        if (runBO) {
            PrintPlan("bo", stages.Plan(sequence, true, firstFrame, lastFrame), firstFrame,
                      lastFrame, there);
        }
        return 0;
    }
    // Without a manifest the run goes on (its outputs may still be written elsewhere, and each
    // one that is not is reported), but it cannot be resumed.
    std::string error;
    const bool journalled = manifest.Start(error);
    if (!journalled && shared) {
        // The steps run for the shards of the next group would be lost.
        std::fprintf(stderr, "zel_recover: ERROR: cannot write the manifest %s (%s)\n",
                     manifestPath.c_str(), error.c_str());
        return 1;
    }
    if (!journalled) {
        std::fprintf(stderr,
                     "zel_recover: Warning: cannot write the manifest %s (%s); this run cannot "
                     "be resumed\n",
                     manifestPath.c_str(), error.c_str());
    }
    stages.SetJournal(journalled ? &manifest : nullptr);
    if (args.resume) {
        std::fprintf(stderr, "zel_recover: resuming from %s (%d steps done)\n",
                     manifestPath.c_str(), manifest.Entries());
    }
    std::signal(SIGINT, RequestStop);
    std::signal(SIGTERM, RequestStop);
    stages.SetStopFlag(&stopRequested);

    std::mutex lineMutex;
    stages.SetProgress([&lineMutex](const ZelStageProgress& p) {
        std::lock_guard<std::mutex> lock(lineMutex);
        if (p.problem != nullptr) {
            // Each problem once, as it is found; the summary lists them again at the end.
            std::printf("%s\n", p.problem->c_str());
            return;
        }
        std::fprintf(stderr, "[%d/%d] %-5s %s  %.2f s\n", p.done, p.total, p.stage, p.name->c_str(),
                     p.seconds);
    });
    std::fprintf(stderr,
                 "zel_recover: frames %d:%d, %d levels over disparity %.4g..%.4g, %d neighbours, "
                 "%d passes, track residual %.2f px\n",
                 firstFrame, lastFrame, options.levels, options.minDisparity, options.maxDisparity,
                 options.neighbours, options.passes, options.trackResidual);
    const auto t0 = std::chrono::steady_clock::now();
    // A group's shard whose plan computes only its group's steps of its own frames found the
    // groups before complete, and may remove the maps only the group before read when it ends;
    // one that computes more (the groups before are not complete, or run at the same time) keeps
    // them, since other shards may still read them.
    bool groupOnly = true;
    if (shared) {
        const std::vector<std::string>& names = ZelManifest::Steps();
        const auto firstStep = std::find(names.begin(), names.end(), FirstStepOf(args.until));
        for (const bool bo : {false, true}) {
            if (bo ? !runBO : !runInit) {
                continue;
            }
            for (const ZelStepPlan& step : stages.Plan(sequence, bo, firstFrame, lastFrame).steps) {
                const bool before = std::find(names.begin(), names.end(), step.name) < firstStep;
                for (int i : step.compute) {
                    groupOnly = groupOnly && !before && i >= firstFrame && i <= lastFrame;
                }
            }
        }
    }
    sequence.SetStages(&stages);
    if (runInit) {
        sequence.InitStage(firstFrame, lastFrame);
    }
    if (args.stage != "init") {
        sequence.BOStage(firstFrame, lastFrame);
    }
    sequence.SetStages(nullptr);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::fprintf(stderr, "zel_recover: %d frames in %.1f s; depth files in %s, pictures in %s\n",
                 lastFrame - firstFrame + 1, seconds, CZelVideoFrame::dataDir.c_str(),
                 CZelVideoFrame::tmpDir.c_str());
    if (stages.Stopped()) {
        std::fflush(stdout);
        std::fprintf(stderr,
                     "zel_recover: stopped by a signal; the frames in flight were finished and "
                     "kept; run again with --resume to go on (%s)\n",
                     manifestPath.c_str());
        return 1;
    }
    // The other formats once the depth files are there (not after a group that stops short of
    // a stage's end).
    const bool depthWritten = args.until.empty() || args.until == "init" || args.until == "bo";
    const bool formatsWritten =
        !depthWritten || WriteDepthFormats(args, sequence, firstFrame, lastFrame);
    const ZelStageReport& report = stages.GetReport();
    if (report.Clean()) {
        // The kept maps of complete stages are no longer needed; the manifest stays, so that a
        // run resumed after the end has nothing to do.
        std::vector<std::string> steps;
        if (runInit) {
            steps.insert(steps.end(), {"sweep", "refine", "fuse"});
        }
        if (args.stage != "init") {
            steps.insert(steps.end(), {"bo1", "bo2", "bo3", "bofuse"});
        }
        if (journalled) {
            manifest.Discard(steps);
        }
        if (shared) {
            // The shared folder stays for the groups still to run (--clean removes it).
            if (groupOnly) {
                manifest.DiscardOwn(StepsReadBefore(args.until, options.passes));
            }
            return formatsWritten ? 0 : 1;
        }
        // The run's own work folder holds nothing a later run reads any more: the kept maps are
        // discarded above, and what is left are the temporary files of writes that a killed run
        // never finished (each under a name of its own, so no later write replaces them).
        std::error_code ignored;
        std::filesystem::remove_all(workDir, ignored);
        return formatsWritten ? 0 : 1;
    }
    std::fflush(stdout);
    for (const std::string& line : report.refusedRuns) {
        std::fprintf(stderr, "zel_recover: %s\n", line.c_str());
    }
    PrintFailures("could not read the pictures", report.unreadFrames);
    PrintFailures("could not write outputs", report.unwrittenFiles);
    return 1;
}
