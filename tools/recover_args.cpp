#include "tools/recover_args.h"

#include <cstdio>
#include <vector>

#include "io/depthformats.h"
#include "sequence/videosequence.h"
#include "tools/frontend.h"

namespace zelrecover {

namespace {

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

// Declares the options: the stage options from their table (stages/options.h), the run's own
// after them.
void DeclareOptions(zeltool::CommandLine& line, RecoverArgs& args) {
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
}

// The checks of the options against each other, once the command line is read. Returns -1 to go
// on, or 2 after a usage error.
int CheckArguments(const zeltool::CommandLine& line, const RecoverArgs& args) {
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

}  // namespace

int ParseRecoverArguments(int argc, const char* const argv[], RecoverArgs& args) {
    zeltool::UsageStyle style;
    style.prefix = "zel_recover: ";
    style.suffix = std::string("; ") + kUsage;
    zeltool::CommandLine line(style, [&line] { PrintHelp(line.HelpTable()); });
    DeclareOptions(line, args);
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
    return CheckArguments(line, args);
}

}  // namespace zelrecover
