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
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "parser/trackfileparser.h"
#include "platform/platform.h"
#include "sequence/videoframe.h"
#include "sequence/videosequence.h"
#include "stages/evidence.h"
#include "stages/referencestages.h"

namespace {

const char* const kUsage = "usage: zel_recover [options] <project file>  (--help for the options)";

void PrintHelp() {
    std::printf(
        "usage: zel_recover [options] <project file>\n"
        "Recovers a disparity map for every chosen frame: initialisation by a plane sweep with\n"
        "semi-global aggregation, then bundle optimisation against the neighbours' maps.\n"
        "Writes DATA/_depth<i>.raw, the confidence DATA/_conf<i>.raw (0..1 per pixel) and the\n"
        "pictures TMP/1_Init_<name>.bmp, TMP/2_BO_<name>.bmp beside the images.\n"
        "\n"
        "options:\n"
        "  --frames FIRST:LAST  frames to recover (inclusive, 0-based; default: all)\n"
        "  --levels L           disparity levels of the sweep, 3..1024 (default 128)\n"
        "  --neighbours K       frames matched against each frame, 1..32 (default 8)\n"
        "  --refine-neighbours R  frames matched in the initialisation's refinement and checked\n"
        "                       against, 1..64 (default 24)\n"
        "  --passes P           bundle-optimisation passes, 0..3 (default 1; 0 = none)\n"
        "  --threads N          worker threads, 0..256 (default 0 = all hardware threads)\n"
        "  --plane-scale S      colour-segment scale of the plane fit that ends each stage,\n"
        "                       0..1000000 (default 3200; larger: larger segments; 0 = none)\n"
        "  --min-parallax S     skip neighbours that move the nearest point by less than S\n"
        "                       times the picture width, 0..0.9 (default 0.1)\n"
        "  --track-residual PX  how far the cameras miss their feature tracks, in pixels,\n"
        "                       0..1000 (default: measured from the project's tracks)\n"
        "  --help               this text\n"
        "\n"
        "Exit status: 0 when every picture was read and every file written; 1 when the project\n"
        "cannot be used or some were not (the frames finish anyway, and a summary on standard\n"
        "error lists them); 2 for a usage error.\n");
}

// A whole decimal integer within [lo, hi].
bool ParseBounded(const char* text, int lo, int hi, int& out) {
    if (text == nullptr || *text == '\0') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi) {
        return false;
    }
    out = static_cast<int>(v);
    return true;
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

int Usage(const std::string& message) {
    std::fprintf(stderr, "zel_recover: %s\n%s\n", message.c_str(), kUsage);
    return 2;
}

// What the command line asks for.
struct RecoverArgs {
    ZelStageOptions options;
    int firstFrame = 0;
    int lastFrame = -1;
    bool rangeGiven = false;
    const char* project = nullptr;
};

// Reads the value of one option into args; false when the value is not valid.
bool TakeValue(const std::string& arg, const char* value, RecoverArgs& args) {
    ZelStageOptions& options = args.options;
    if (arg == "--frames") {
        args.rangeGiven = true;
        const char* colon = std::strchr(value, ':');
        if (colon == nullptr) {
            return false;
        }
        const std::string lo(value, static_cast<size_t>(colon - value));
        return ParseBounded(lo.c_str(), 0, kMaxFrameCount, args.firstFrame) &&
               ParseBounded(colon + 1, 0, kMaxFrameCount, args.lastFrame) &&
               args.firstFrame <= args.lastFrame;
    }
    if (arg == "--levels") {
        return ParseBounded(value, 3, 1024, options.levels);
    }
    if (arg == "--neighbours") {
        return ParseBounded(value, 1, 32, options.neighbours);
    }
    if (arg == "--refine-neighbours") {
        return ParseBounded(value, 1, 64, options.refineNeighbours);
    }
    if (arg == "--plane-scale") {
        return ParseBounded(value, 0, 1000000, options.planeScale);
    }
    if (arg == "--min-parallax") {
        char* end = nullptr;
        options.minParallax = std::strtod(value, &end);
        return end != value && *end == '\0' && options.minParallax >= 0.0 &&
               options.minParallax <= 0.9;
    }
    if (arg == "--track-residual") {
        char* end = nullptr;
        options.trackResidual = std::strtod(value, &end);
        return end != value && *end == '\0' && options.trackResidual >= 0.0 &&
               options.trackResidual <= 1000.0;
    }
    if (arg == "--passes") {
        return ParseBounded(value, 0, 3, options.passes);
    }
    return ParseBounded(value, 0, 256, options.threads);
}

// Reads the command line into args. Returns -1 to go on, or the exit status to end with (0 after
// --help, 2 after a usage error).
int ParseArguments(int argc, char** argv, RecoverArgs& args) {
    for (int a = 1; a < argc; a++) {
        const std::string arg = argv[a];
        if (arg == "--help" || arg == "-h") {
            PrintHelp();
            return 0;
        }
        const bool takesValue = arg == "--frames" || arg == "--levels" || arg == "--neighbours" ||
                                arg == "--refine-neighbours" || arg == "--passes" ||
                                arg == "--threads" || arg == "--min-parallax" ||
                                arg == "--plane-scale" || arg == "--track-residual";
        if (takesValue) {
            if (a + 1 >= argc) {
                return Usage("option " + arg + " needs a value");
            }
            const char* value = argv[++a];
            if (!TakeValue(arg, value, args)) {
                return Usage("invalid value for " + arg + ": '" + value + "'");
            }
            continue;
        }
        if (arg.size() > 1 && arg[0] == '-') {
            return Usage("unknown option " + arg);
        }
        if (args.project != nullptr) {
            return Usage("more than one project file given");
        }
        args.project = argv[a];
    }
    if (args.project == nullptr) {
        return Usage("no project file given");
    }
    return -1;
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
    const char* project = args.project;

    // The parser points into the sequence, so it is declared second and destroyed first.
    CZelVideoSequence sequence;
    CTrackFileParser parser(&sequence);
    // The text reader's traces are of no use here; the parser's reason says what went wrong.
    SetDiagnosticSink([](const char*) {});
    const bool parsed = parser.Parse(project);
    SetDiagnosticSink(nullptr);
    if (!parsed) {
        std::fprintf(stderr, "zel_recover: ERROR: cannot read the project %s (%s)\n", project,
                     parser.DescribeError().c_str());
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
    std::string message;
    if (!CReferenceStages::CheckOptions(options, message)) {
        std::fprintf(stderr, "zel_recover: %s\n", message.c_str());
        return 1;
    }

    CReferenceStages stages(options);
    std::mutex lineMutex;
    stages.SetProgress([&lineMutex](const ZelStageProgress& p) {
        std::lock_guard<std::mutex> lock(lineMutex);
        std::fprintf(stderr, "[%d/%d] %-5s %s  %.2f s\n", p.done, p.total, p.stage, p.name->c_str(),
                     p.seconds);
    });
    std::fprintf(stderr,
                 "zel_recover: frames %d:%d, %d levels over disparity %.4g..%.4g, %d neighbours, "
                 "%d passes, track residual %.2f px\n",
                 firstFrame, lastFrame, options.levels, options.minDisparity, options.maxDisparity,
                 options.neighbours, options.passes, options.trackResidual);
    const auto t0 = std::chrono::steady_clock::now();
    sequence.SetStages(&stages);
    sequence.Run(firstFrame, lastFrame + 1);
    sequence.SetStages(nullptr);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::fprintf(stderr, "zel_recover: %d frames in %.1f s; depth files in %s, pictures in %s\n",
                 lastFrame - firstFrame + 1, seconds, CZelVideoFrame::dataDir.c_str(),
                 CZelVideoFrame::tmpDir.c_str());
    const ZelStageReport& report = stages.GetReport();
    if (report.Clean()) {
        return 0;
    }
    std::fflush(stdout);
    PrintFailures("could not read the pictures", report.unreadFrames);
    PrintFailures("could not write outputs", report.unwrittenFiles);
    return 1;
}
