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
#include "tools/recover_args.h"
#include "tools/recover_groups.h"

namespace {

using zelrecover::RecoverArgs;

// Set by SIGINT / SIGTERM: no further frame starts, the frames in flight finish. A second one
// ends the program at once (what it has kept stays valid: files are written whole).
std::atomic<bool> stopRequested{false};

extern "C" void RequestStop(int sig) {
    if (stopRequested.exchange(true)) {
        std::signal(sig, SIG_DFL);
        std::raise(sig);
    }
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

// The stages need the cameras and the pictures only: the feature tracks, which grow with the
// video's length times the points tracked through it, are given back.
void ReleaseTracks(zeltool::Project& project) {
    CZelVideoSequence& sequence = project.sequence;
    CTrackFileParser& parser = *project.parser;
    for (int i = 0; i < sequence.GetFrameCount(); i++) {
        sequence.GetFrame(i)->matchPoints.reset();
    }
    std::vector<std::shared_ptr<std::vector<CMatchPoint>>>().swap(parser.frameMatchPoints);
    std::vector<std::shared_ptr<CMatchLinker>>().swap(parser.tracks);
    parser.ReleaseBuffer();  // the project file's text
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

// Reads the project and readies it for the stages: the frame range, the disparity range and the
// track residual; then gives the feature tracks back. Returns -1 to go on, or the exit status to
// end with.
int PrepareProject(RecoverArgs& args, zeltool::Project& project) {
    // The parser's lines go to standard output; its reason says what went wrong.
    CZelVideoSequence& sequence = project.sequence;
    CTrackFileParser& parser = *project.parser;
    ZelStageOptions& options = args.options;
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
        args.lastFrame = frames - 1;
    } else if (args.lastFrame >= frames) {
        std::fprintf(stderr, "zel_recover: ERROR: frame range %d:%d lies beyond the %d frames\n",
                     args.firstFrame, args.lastFrame, frames);
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
    ReleaseTracks(project);
    std::string message;
    if (!CReferenceStages::CheckOptions(options, message)) {
        std::fprintf(stderr, "zel_recover: %s\n", message.c_str());
        return 1;
    }
    return -1;
}

// Where a run keeps its state: its span, the stages it runs, its manifest and its work folder.
struct RunLayout {
    int spanFirst = 0;
    int spanLast = 0;
    bool runInit = false;
    bool runBO = false;
    bool shared = false;  // --until: the work folder is the span's shared one
    std::string optionText;
    std::string manifestPath;
    std::string sharedDir;
    std::string workDir;
};

// Chooses the span (a stage run on a shard belongs to one, by default every frame; a run of both
// stages is its own span), the frames of a shard given none, and the run's files. Returns -1 to
// go on, or 2 when the span lies beyond the frames.
int ChooseLayout(RecoverArgs& args, int frames, RunLayout& layout) {
    layout.spanFirst = args.firstFrame;
    layout.spanLast = args.lastFrame;
    if (!args.stage.empty() || args.clean) {
        layout.spanFirst = args.spanFirst >= 0 ? args.spanFirst : 0;
        layout.spanLast = args.spanFirst >= 0 ? args.spanLast : frames - 1;
        if (layout.spanLast >= frames) {
            std::fprintf(stderr, "zel_recover: ERROR: span %d:%d lies beyond the %d frames\n",
                         layout.spanFirst, layout.spanLast, frames);
            return 2;
        }
        if (!args.rangeGiven) {
            args.firstFrame = layout.spanFirst;
            args.lastFrame = layout.spanLast;
        }
    }
    layout.runInit = args.stage != "bo";
    layout.runBO = args.stage != "init" && args.options.passes > 0;
    // The manifest and the work folder of the kept maps: one pair per run or shard, so shards
    // running at once never share them; but shards run step group by step group (--until)
    // share one work folder per span and option set, whose maps they read from each other.
    layout.optionText = OptionText(args.options, layout.spanFirst, layout.spanLast, frames);
    const std::string suffix = args.stage.empty()
                                   ? std::string()
                                   : "_" + args.stage + "_" + std::to_string(args.firstFrame) +
                                         "_" + std::to_string(args.lastFrame);
    layout.manifestPath = CZelVideoFrame::dataDir + "manifest" + suffix + ".txt";
    layout.sharedDir = CZelVideoFrame::dataDir + "work_" + std::to_string(layout.spanFirst) + "_" +
                       std::to_string(layout.spanLast) + "_" +
                       ZelManifest::Hash(layout.optionText) + "/";
    layout.shared = !args.until.empty();
    layout.workDir =
        layout.shared ? layout.sharedDir : CZelVideoFrame::dataDir + "work" + suffix + "/";
    return -1;
}

// --clean: removes the span's shared folder. Returns the exit status.
int CleanSharedFolder(const std::string& sharedDir) {
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

// --plan: prints what the run would compute, per stage.
void PrintRunPlan(const RecoverArgs& args, const RunLayout& layout, int frames,
                  CReferenceStages& stages, CZelVideoSequence& sequence, ZelManifest& manifest) {
    std::printf("project: %d frames, %d x %d pixels; span %d:%d\n", frames,
                CZelVideoFrame::GetWorkingWidth(), CZelVideoFrame::GetWorkingHeight(),
                layout.spanFirst, layout.spanLast);
    // A group's plan takes the groups before it as complete, and says which of the maps it
    // reads are not in the shared folder yet.
    zelrecover::AssumeGroupsBefore before(manifest, args.until);
    if (layout.shared) {
        std::printf("shared: %s\n", layout.sharedDir.c_str());
        stages.SetJournal(&before);
    }
    const ZelStepJournal* there = layout.shared ? &manifest : nullptr;
    if (layout.runInit) {
        zelrecover::PrintPlan("init", stages.Plan(sequence, false, args.firstFrame, args.lastFrame),
                              args.firstFrame, args.lastFrame, there);
    }
    if (layout.runBO) {
        zelrecover::PrintPlan("bo", stages.Plan(sequence, true, args.firstFrame, args.lastFrame),
                              args.firstFrame, args.lastFrame, there);
    }
}

// Starts the manifest and hands it to the stages. Without one the run goes on (its outputs may
// still be written elsewhere, and each one that is not is reported), but it cannot be resumed;
// a run that shares its maps with other shards ends instead. Returns -1 to go on, or 1.
int StartManifest(const RecoverArgs& args, const RunLayout& layout, ZelManifest& manifest,
                  CReferenceStages& stages, bool& journalled) {
    std::string error;
    journalled = manifest.Start(error);
    if (!journalled && layout.shared) {
        // The steps run for the shards of the next group would be lost.
        std::fprintf(stderr, "zel_recover: ERROR: cannot write the manifest %s (%s)\n",
                     layout.manifestPath.c_str(), error.c_str());
        return 1;
    }
    if (!journalled) {
        std::fprintf(stderr,
                     "zel_recover: Warning: cannot write the manifest %s (%s); this run cannot "
                     "be resumed\n",
                     layout.manifestPath.c_str(), error.c_str());
    }
    stages.SetJournal(journalled ? &manifest : nullptr);
    if (args.resume) {
        std::fprintf(stderr, "zel_recover: resuming from %s (%d steps done)\n",
                     layout.manifestPath.c_str(), manifest.Entries());
    }
    return -1;
}

// Whether a group's shard computes only its group's steps of its own frames: then it found the
// groups before complete, and may remove the maps only the group before read when it ends; one
// that computes more (the groups before are not complete, or run at the same time) keeps them,
// since other shards may still read them.
bool ComputesGroupOnly(const RecoverArgs& args, const RunLayout& layout, CReferenceStages& stages,
                       CZelVideoSequence& sequence) {
    bool groupOnly = true;
    if (!layout.shared) {
        return groupOnly;
    }
    const std::vector<std::string>& names = ZelManifest::Steps();
    const auto firstStep =
        std::find(names.begin(), names.end(), zelrecover::FirstStepOf(args.until));
    for (const bool bo : {false, true}) {
        if (bo ? !layout.runBO : !layout.runInit) {
            continue;
        }
        for (const ZelStepPlan& step :
             stages.Plan(sequence, bo, args.firstFrame, args.lastFrame).steps) {
            const bool before = std::find(names.begin(), names.end(), step.name) < firstStep;
            for (int i : step.compute) {
                groupOnly = groupOnly && !before && i >= args.firstFrame && i <= args.lastFrame;
            }
        }
    }
    return groupOnly;
}

// Runs the stages over the frames, with a progress line per frame and stage and a stop on
// SIGINT / SIGTERM. Returns ComputesGroupOnly's answer, asked before the run.
bool RunStages(const RecoverArgs& args, const RunLayout& layout, CReferenceStages& stages,
               CZelVideoSequence& sequence) {
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
    const ZelStageOptions& options = args.options;
    std::fprintf(stderr,
                 "zel_recover: frames %d:%d, %d levels over disparity %.4g..%.4g, %d neighbours, "
                 "%d passes, track residual %.2f px\n",
                 args.firstFrame, args.lastFrame, options.levels, options.minDisparity,
                 options.maxDisparity, options.neighbours, options.passes, options.trackResidual);
    const auto t0 = std::chrono::steady_clock::now();
    const bool groupOnly = ComputesGroupOnly(args, layout, stages, sequence);
    sequence.SetStages(&stages);
    if (layout.runInit) {
        sequence.InitStage(args.firstFrame, args.lastFrame);
    }
    if (args.stage != "init") {
        sequence.BOStage(args.firstFrame, args.lastFrame);
    }
    sequence.SetStages(nullptr);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::fprintf(stderr, "zel_recover: %d frames in %.1f s; depth files in %s, pictures in %s\n",
                 args.lastFrame - args.firstFrame + 1, seconds, CZelVideoFrame::dataDir.c_str(),
                 CZelVideoFrame::tmpDir.c_str());
    return groupOnly;
}

// After a clean run: discards the kept maps of complete stages (the manifest stays, so that a
// run resumed after the end has nothing to do) and the run's own work folder.
void DiscardKeptMaps(const RecoverArgs& args, const RunLayout& layout, ZelManifest& manifest,
                     bool journalled, bool groupOnly) {
    std::vector<std::string> steps;
    if (layout.runInit) {
        steps.insert(steps.end(), {"sweep", "refine", "fuse"});
    }
    if (args.stage != "init") {
        steps.insert(steps.end(), {"bo1", "bo2", "bo3", "bofuse"});
    }
    if (journalled) {
        manifest.Discard(steps);
    }
    if (layout.shared) {
        // The shared folder stays for the groups still to run (--clean removes it).
        if (groupOnly) {
            manifest.DiscardOwn(zelrecover::StepsReadBefore(args.until, args.options.passes));
        }
        return;
    }
    // The run's own work folder holds nothing a later run reads any more: the kept maps are
    // discarded above, and what is left are the temporary files of writes that a killed run
    // never finished (each under a name of its own, so no later write replaces them).
    std::error_code ignored;
    std::filesystem::remove_all(layout.workDir, ignored);
}

// The end of a run that was not stopped: the other depth formats, the clean-up, the summary of
// problems. Returns the exit status.
int FinishRun(const RecoverArgs& args, const RunLayout& layout, CReferenceStages& stages,
              CZelVideoSequence& sequence, ZelManifest& manifest, bool journalled, bool groupOnly) {
    // The other formats once the depth files are there (not after a group that stops short of
    // a stage's end).
    const bool depthWritten = args.until.empty() || args.until == "init" || args.until == "bo";
    const bool formatsWritten =
        !depthWritten || WriteDepthFormats(args, sequence, args.firstFrame, args.lastFrame);
    const ZelStageReport& report = stages.GetReport();
    if (report.Clean()) {
        DiscardKeptMaps(args, layout, manifest, journalled, groupOnly);
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

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    RecoverArgs args;
    int status = zelrecover::ParseRecoverArguments(argc, argv, args);
    if (status >= 0) {
        return status;
    }
    zeltool::Project project;
    status = PrepareProject(args, project);
    if (status >= 0) {
        return status;
    }
    CZelVideoSequence& sequence = project.sequence;
    const int frames = sequence.GetFrameCount();
    RunLayout layout;
    status = ChooseLayout(args, frames, layout);
    if (status >= 0) {
        return status;
    }
    CReferenceStages stages(args.options);
    stages.SetSpan(layout.spanFirst, layout.spanLast);
    stages.SetUntil(args.until);
    if (args.clean) {
        return CleanSharedFolder(layout.sharedDir);
    }
    ZelManifest manifest(layout.manifestPath, layout.workDir, layout.spanFirst, layout.spanLast,
                         static_cast<size_t>(CZelVideoFrame::GetWorkingWidth()) *
                             static_cast<size_t>(CZelVideoFrame::GetWorkingHeight()),
                         layout.optionText);
    if (layout.shared) {
        manifest.Share(args.firstFrame, args.lastFrame);
    }
    if (args.resume) {
        for (const std::string& warning : manifest.Read()) {
            std::printf("%s\n", warning.c_str());
        }
    }
    if (args.resume || layout.shared) {
        stages.SetJournal(&manifest);
    }
    if (args.plan) {
        PrintRunPlan(args, layout, frames, stages, sequence, manifest);
        return 0;
    }
    bool journalled = false;
    status = StartManifest(args, layout, manifest, stages, journalled);
    if (status >= 0) {
        return status;
    }
    const bool groupOnly = RunStages(args, layout, stages, sequence);
    if (stages.Stopped()) {
        std::fflush(stdout);
        std::fprintf(stderr,
                     "zel_recover: stopped by a signal; the frames in flight were finished and "
                     "kept; run again with --resume to go on (%s)\n",
                     layout.manifestPath.c_str());
        return 1;
    }
    return FinishRun(args, layout, stages, sequence, manifest, journalled, groupOnly);
}
