#include "tools/videodepth_lib.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <system_error>

#include "interop/colmap_project.h"
#include "tools/frontend.h"
#include "tools/toolsupport.h"
#include "tools/videodepth_pipeline.h"

namespace zelvideo {

namespace fs = std::filesystem;
using zelinterop::ColmapCamera;
using zelinterop::ColmapImage;
using zelinterop::ColmapModel;

namespace {

const char* const kUsage =
    "usage: zel_video_depth [options] <video file or frame folder> <work dir> [-- zel_recover "
    "options]";

void PrintHelp(const std::string& table) {
    std::printf(
        "%s\n"
        "\n"
        "From a video to depth files in one command. Seven steps, each logged to\n"
        "<work dir>/logs/<step>.log:\n"
        "  frames    ffmpeg writes the frames into <work dir>/frames/ (a frame folder is used\n"
        "            as it is: its longest numbered sequence of BMP, PNG or JPEG pictures)\n"
        "  features  colmap feature_extractor, one SIMPLE_PINHOLE camera for all frames\n"
        "  matches   colmap exhaustive_matcher (sequential_matcher from %d frames on)\n"
        "  sparse    colmap mapper (or, with --known-cameras, point_triangulator)\n"
        "  import    zel_import_colmap: the largest model into <work dir>/project.txt\n"
        "  recover   zel_recover: DATA/_depth<i>.raw beside the frames\n"
        "  fuse      zel_fuse: <work dir>/fused.ply\n"
        "COLMAP runs on the CPU without a display. A rerun skips the steps done before with the\n"
        "same input and options; the summary goes to standard output and\n"
        "<work dir>/summary.txt.\n"
        "\n"
        "options:\n"
        "%s"
        "  --help               this text\n"
        "Arguments after -- go to zel_recover (e.g. -- --levels 64).\n"
        "\n"
        "Needs colmap and ffmpeg on the PATH; zel_import_colmap, zel_recover and zel_fuse are\n"
        "taken from this program's folder. Exit status: 0 after a run, 1 when a step failed\n"
        "(an ERROR line naming it, then the last lines of its log), 2 for a usage error.\n",
        kUsage, kSequentialFrom, table.c_str());
}

zeltool::UsageStyle Style() {
    zeltool::UsageStyle style;
    style.prefix = "zel_video_depth: ";
    style.suffix = std::string("; ") + kUsage + "  (--help for the options)";
    return style;
}

int Usage(const std::string& message) {
    return zeltool::CommandLine(Style(), [] {}).Usage(message);
}

std::string Lower(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return s;
}

}  // namespace

std::string Number(double v) {
    char text[64];
    std::snprintf(text, sizeof(text), "%.17g", v);
    return text;
}

const char* StepName(int step) {
    static const char* const names[kStepCount] = {"frames", "features", "matches", "sparse",
                                                  "import", "recover",  "fuse"};
    return step >= 0 && step < kStepCount ? names[step] : "";
}

int StepFromName(const std::string& name) {
    for (int s = 0; s < kStepCount; s++) {
        if (name == StepName(s)) {
            return s;
        }
    }
    return -1;
}

int ParseVideoDepthArguments(int argc, const char* const argv[], VideoDepthOptions& options) {
    zeltool::CommandLine line(Style(), [&line] { PrintHelp(line.HelpTable()); });
    line.Int("--every", "N", 1, 100000, &options.every,
             "take every Nth frame of the video (default 1)");
    line.Int("--width", "W", 16, 8192, &options.width,
             "scale the video's frames to W pixels wide, 16..8192 (default:\nas they are)");
    line.Custom(
        "--from", "STEP",
        [&options](const char* v) {
            options.from = StepFromName(v);
            return options.from >= 0;
        },
        "redo STEP and every step after it");
    line.BadValue(
        "invalid value for %o: '%v' (frames, features, matches, sparse, import, recover or "
        "fuse)");
    line.Int("--threads", "N", 0, 256, &options.threads,
             "worker threads of COLMAP and zel_recover, 0..256 (default 0 =\nall)");
    line.Text("--known-cameras", "DIR", &options.knownCameras,
              "a COLMAP model (cameras.txt, images.txt, points3D.txt or .bin)\n"
              "holding the frames' cameras and poses, e.g. from a rig or a\n"
              "tracker: the frames' features are matched and triangulated on\n"
              "these fixed poses instead of COLMAP's mapper finding them. Its\n"
              "image names are the frames' names (a video's frames are named\n"
              "frame00000.png, ...); its camera a pinhole one");
    line.Number("--focal", "F", 1.0, 1e6, &options.focal,
                "the frames' focal length in pixels (at the frames' size, after\n"
                "--width), e.g. from a calibration: COLMAP keeps it fixed instead\n"
                "of estimating it from the frames, which a short or narrow path\n"
                "pins down only to a percent or so");
    line.Flag("--fill-gaps", &options.fillGaps,
              "frames COLMAP did not register take the nearest registered\n"
              "pose (zel_import_colmap --fill-gaps) instead of failing");
    std::vector<std::string> positional;
    const int status = line.Parse(argc, argv, positional, &options.recoverArgs);
    if (status >= 0) {
        return status;
    }
    if (positional.size() != 2) {
        return Usage(positional.size() < 2 ? "expected a video file or frame folder and a work "
                                             "folder"
                                           : "one argument too many: " + positional[2]);
    }
    options.input = positional[0];
    options.workDir = positional[1];
    return -1;
}

std::vector<std::string> ListFrameImages(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string ext = Lower(it->path().extension().string());
        std::error_code fileError;
        if ((ext == ".bmp" || ext == ".png" || ext == ".jpg" || ext == ".jpeg") &&
            it->is_regular_file(fileError)) {
            names.push_back(it->path().filename().string());
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> LongestSequence(const std::vector<std::string>& names) {
    // Grouped by what surrounds the number: prefix, the number's width and the extension.
    std::map<std::string, std::vector<std::string>> groups;
    for (const std::string& name : names) {
        const size_t dot = name.rfind('.');
        size_t run = dot == std::string::npos ? 0 : dot;
        while (run > 0 && name[run - 1] >= '0' && name[run - 1] <= '9') {
            run--;
        }
        if (dot == std::string::npos || run == dot) {
            continue;
        }
        groups[name.substr(0, run) + "#" + std::to_string(dot - run) + name.substr(dot)].push_back(
            name);
    }
    std::vector<std::string> best;
    for (const auto& group : groups) {
        if (group.second.size() > best.size()) {
            best = group.second;
        }
    }
    return best;
}

std::vector<std::string> FfmpegArguments(const std::string& video, const std::string& framesDir,
                                         int every, int width, const std::string& extension) {
    std::vector<std::string> args = {"-nostdin", "-hide_banner", "-loglevel", "error", "-i", video};
    std::string filter;
    if (every > 1) {
        // The comma inside the expression is escaped from the filter graph's own separator.
        filter = "select=not(mod(n\\," + std::to_string(every) + "))";
    }
    if (width > 0) {
        // -2: the height that keeps the aspect ratio, rounded to an even number.
        filter +=
            (filter.empty() ? "" : ",") + std::string("scale=") + std::to_string(width) + ":-2";
    }
    if (!filter.empty()) {
        args.insert(args.end(), {"-vf", filter});
    }
    // One picture per selected frame, numbered from 0; a '%' of the folder's name is escaped
    // from the output pattern.
    std::string pattern;
    for (char c : fs::path(framesDir).generic_string()) {
        pattern += c == '%' ? "%%" : std::string(1, c);
    }
    pattern += "/frame%05d.";
    args.insert(args.end(), {"-vsync", "vfr", "-start_number", "0", pattern + extension});
    return args;
}

ModelStats ComputeModelStats(const ColmapModel& model) {
    ModelStats stats;
    stats.registered = static_cast<int>(model.images.size());
    stats.points = static_cast<int>(model.points.size());
    std::map<uint32_t, const ColmapCamera*> cameras;
    for (const ColmapCamera& c : model.cameras) {
        cameras[c.id] = &c;
    }
    std::map<uint32_t, const ColmapImage*> images;
    for (const ColmapImage& image : model.images) {
        images[image.id] = &image;
    }
    double sum = 0.0;
    for (const zelinterop::ColmapPoint3D& point : model.points) {
        for (const zelinterop::ColmapTrackElement& e : point.track) {
            const ColmapImage& image = *images.at(e.image);
            const ColmapCamera& c = *cameras.at(image.camera);
            double fx = 0, fy = 0, cx = 0, cy = 0;
            if (c.model == zelinterop::kSimplePinhole) {
                fx = fy = c.params[0];
                cx = c.params[1];
                cy = c.params[2];
            } else if (c.model == zelinterop::kPinhole) {
                fx = c.params[0];
                fy = c.params[1];
                cx = c.params[2];
                cy = c.params[3];
            } else {
                continue;
            }
            double R[3][3];
            zelinterop::QuaternionToRotation(image.q, R);
            double X[3];
            for (int r = 0; r < 3; r++) {
                X[r] = R[r][0] * point.xyz[0] + R[r][1] * point.xyz[1] + R[r][2] * point.xyz[2] +
                       image.t[r];
            }
            if (!(X[2] > 0)) {
                continue;
            }
            const zelinterop::ColmapPoint2D& p = image.points[e.point2D];
            sum += std::hypot(fx * X[0] / X[2] + cx - p.x, fy * X[1] / X[2] + cy - p.y);
            stats.observations++;
        }
    }
    stats.meanError = stats.observations > 0 ? sum / static_cast<double>(stats.observations) : 0;
    return stats;
}

bool PrepareKnownCameras(const ColmapModel& known, const std::vector<std::string>& frames,
                         ColmapModel& posed, std::vector<std::string>& names,
                         std::string& cameraModel, std::string& cameraParams, std::string& error) {
    posed = ColmapModel();
    names.clear();
    if (known.images.size() < 2) {
        error = "the known cameras' model has fewer than two images";
        return false;
    }
    std::map<uint32_t, const ColmapCamera*> cameras;
    for (const ColmapCamera& c : known.cameras) {
        cameras[c.id] = &c;
    }
    const ColmapCamera& first = *cameras.at(known.images[0].camera);
    if (first.model != zelinterop::kSimplePinhole && first.model != zelinterop::kPinhole) {
        error = "the known cameras' camera " + std::to_string(first.id) + " is a " +
                zelinterop::ColmapModelName(first.model) +
                " camera; give a pinhole one (SIMPLE_PINHOLE or PINHOLE) for undistorted frames";
        return false;
    }
    std::vector<const ColmapImage*> images;
    for (const ColmapImage& image : known.images) {
        const ColmapCamera& c = *cameras.at(image.camera);
        if (c.model != first.model || c.params != first.params || c.width != first.width ||
            c.height != first.height) {
            error = "the known cameras' images use different intrinsics (cameras " +
                    std::to_string(first.id) + " and " + std::to_string(c.id) +
                    "); one camera for all frames is needed";
            return false;
        }
        if (!std::binary_search(frames.begin(), frames.end(), image.name)) {
            error = "the known cameras' image " + image.name + " is not among the frames";
            return false;
        }
        images.push_back(&image);
    }
    std::sort(images.begin(), images.end(),
              [](const ColmapImage* a, const ColmapImage* b) { return a->name < b->name; });
    for (size_t i = 1; i < images.size(); i++) {
        if (images[i]->name == images[i - 1]->name) {
            error = "the known cameras' model holds image " + images[i]->name + " twice";
            return false;
        }
    }
    ColmapCamera camera = first;
    camera.id = 1;
    posed.cameras.push_back(camera);
    for (size_t i = 0; i < images.size(); i++) {
        ColmapImage image = *images[i];
        image.id = static_cast<uint32_t>(i + 1);
        image.camera = 1;
        image.points.clear();
        names.push_back(image.name);
        posed.images.push_back(std::move(image));
    }
    cameraModel = zelinterop::ColmapModelName(first.model);
    cameraParams.clear();
    for (double p : first.params) {
        cameraParams += (cameraParams.empty() ? "" : ",") + Number(p);
    }
    return true;
}

int VideoDepthMain(int argc, char** argv) {
    VideoDepthOptions options;
    const int status = ParseVideoDepthArguments(argc, argv, options);
    if (status >= 0) {
        return status;
    }
    std::error_code ec;
    if (!fs::exists(options.input, ec)) {
        std::fprintf(stderr, "zel_video_depth: ERROR: can not find the input %s\n",
                     options.input.c_str());
        return 1;
    }
    if (fs::is_directory(options.input, ec) && (options.every != 1 || options.width != 0)) {
        return Usage("--every and --width apply to a video; a frame folder is used as it is");
    }
    if (options.focal > 0 && !options.knownCameras.empty()) {
        return Usage("--focal and --known-cameras exclude each other (the model has its camera)");
    }
#ifdef _WIN32
    std::fprintf(stderr,
                 "zel_video_depth: ERROR: not supported on this platform (run the steps by hand, "
                 "see docs/colmap.md)\n");
    return 1;
#else
    return RunPipeline(options, argc > 0 ? argv[0] : "zel_video_depth");
#endif
}

}  // namespace zelvideo
