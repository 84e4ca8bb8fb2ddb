#include "tools/videodepth_lib.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <system_error>

#include "interop/colmap_project.h"
#include "tools/frontend.h"
#include "tools/toolsupport.h"
#include "util/writewhole.h"

#ifndef _WIN32
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

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

// "%.17g" of a value.
std::string Number(double v) {
    char text[64];
    std::snprintf(text, sizeof(text), "%.17g", v);
    return text;
}

}  // namespace

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

#ifdef _WIN32
int RunLogged(const std::vector<std::string>&, bool, const std::string&,
              const std::function<void(const std::string&)>&, std::string& error) {
    error = "starting programs is not supported on this platform";
    return -1;
}
#else
int RunLogged(const std::vector<std::string>& args, bool searchPath, const std::string& logPath,
              const std::function<void(const std::string&)>& onLine, std::string& error) {
    if (args.empty()) {
        error = "no program given";
        return -1;
    }
    // Neither the log nor the pipe's ends stay open in the child beyond what it is given.
    std::FILE* log = std::fopen(logPath.c_str(), "wbe");
    if (log == nullptr) {
        error = "can not create the log " + logPath;
        return -1;
    }
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) {
        std::fclose(log);
        error = std::string("can not make a pipe: ") + std::strerror(errno);
        return -1;
    }
    fcntl(pipeEnds[0], F_SETFD, FD_CLOEXEC);
    fcntl(pipeEnds[1], F_SETFD, FD_CLOEXEC);
    // The child: standard input from /dev/null, standard output and error into the pipe.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 2);
    posix_spawn_file_actions_addclose(&actions, pipeEnds[0]);
    posix_spawn_file_actions_addclose(&actions, pipeEnds[1]);
    std::vector<char*> argv;
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    std::fflush(nullptr);
    const int spawned = searchPath
                            ? posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ)
                            : posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeEnds[1]);
    if (spawned != 0) {
        close(pipeEnds[0]);
        std::fclose(log);
        error = "can not start " + args[0] + ": " + std::strerror(spawned);
        return -1;
    }
    // Copy the output into the log as it comes, and hand over each complete line.
    std::string line;
    char chunk[4096];
    for (;;) {
        const ssize_t n = read(pipeEnds[0], chunk, sizeof(chunk));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        std::fwrite(chunk, 1, static_cast<size_t>(n), log);
        std::fflush(log);
        for (ssize_t i = 0; i < n; i++) {
            if (chunk[i] == '\n' || chunk[i] == '\r') {
                if (onLine && !line.empty()) {
                    onLine(line);
                }
                line.clear();
            } else if (line.size() < 4096) {
                line += chunk[i];
            }
        }
    }
    if (onLine && !line.empty()) {
        onLine(line);
    }
    close(pipeEnds[0]);
    std::fclose(log);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            error = std::string("can not wait for ") + args[0] + ": " + std::strerror(errno);
            return -1;
        }
    }
    if (!WIFEXITED(status)) {
        error = args[0] + " was stopped by signal " +
                std::to_string(WIFSIGNALED(status) ? WTERMSIG(status) : 0);
        return -1;
    }
    return WEXITSTATUS(status);
}
#endif

std::vector<std::string> LastLines(const std::string& path, size_t count) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return {};
    }
    // The tail is enough: logs of COLMAP's steps run to megabytes.
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    const std::streamoff start = std::max<std::streamoff>(0, size - 16384);
    in.seekg(start);
    std::string text(static_cast<size_t>(size - start), '\0');
    in.read(&text[0], static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(in.gcount()));
    std::vector<std::string> lines;
    size_t begin = 0;
    while (begin < text.size()) {
        size_t end = text.find_first_of("\r\n", begin);
        if (end == std::string::npos) {
            end = text.size();
        }
        if (end > begin) {
            lines.push_back(text.substr(begin, end - begin));
        }
        begin = end + 1;
    }
    if (start > 0 && !lines.empty()) {
        lines.erase(lines.begin());  // most likely cut
    }
    if (lines.size() > count) {
        lines.erase(lines.begin(), lines.end() - static_cast<long>(count));
    }
    return lines;
}

#ifndef _WIN32
namespace {

bool OnPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::string list = path != nullptr ? path : "";
    size_t begin = 0;
    while (begin <= list.size()) {
        size_t end = list.find(':', begin);
        if (end == std::string::npos) {
            end = list.size();
        }
        std::error_code ec;
        if (end > begin &&
            fs::is_regular_file(fs::path(list.substr(begin, end - begin)) / program, ec)) {
            return true;
        }
        begin = end + 1;
    }
    return false;
}

bool WriteText(const std::string& path, const std::string& text, std::string& error) {
    return zelutil::WriteBytesWhole(path, text.data(), text.size(), &error);
}

std::string ReadSmallFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string text;
    char chunk[4096];
    // Stamps are a few lines; anything much longer is not one of ours.
    while (in && text.size() < (1u << 20)) {
        in.read(chunk, sizeof(chunk));
        text.append(chunk, static_cast<size_t>(in.gcount()));
    }
    return text;
}

// One run of the program: where everything is, and what the steps share.
class Pipeline {
  public:
    Pipeline(const VideoDepthOptions& options, const std::string& self)
        : o_(options), work_(fs::absolute(options.workDir).lexically_normal()) {
        std::error_code ec;
        const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
        selfDir_ = !ec && !exe.empty() ? exe.parent_path() : fs::absolute(self).parent_path();
        folderInput_ = fs::is_directory(options.input, ec);
        framesDir_ =
            folderInput_ ? fs::absolute(options.input).lexically_normal() : work_ / "frames";
    }

    int Run();

  private:
    struct Failure {
        std::string what;  // the ERROR line's text after the step's name
        bool showLog = true;
    };

    std::string Path(const std::string& name) const { return (work_ / name).string(); }
    std::string LogPath(int step) const {
        return (work_ / "logs" / (std::string(StepName(step)) + ".log")).string();
    }
    std::string StampPath(int step) const {
        return (work_ / "stamps" / (std::string(StepName(step)) + ".done")).string();
    }
    std::string Sibling(const char* name, const char* buildPath) const;
    std::string Key(int step) const;
    bool StampMatches(int step, double& seconds) const;
    bool RunStep(int step, Failure& failure);
    bool Colmap(int step, const std::vector<std::string>& args, Failure& failure);
    bool Program(int step, const std::string& exe, const std::vector<std::string>& args,
                 bool searchPath, const std::function<void(const std::string&)>& onLine,
                 Failure& failure);
    std::string ThreadCount() const { return o_.threads > 0 ? std::to_string(o_.threads) : "-1"; }
    bool Known() const { return !o_.knownCameras.empty(); }
    void Progress(int step, const std::string& text) const {
        std::fprintf(stderr, "[%d/%d] %s: %s\n", step + 1, kStepCount, StepName(step),
                     text.c_str());
    }

    VideoDepthOptions o_;
    fs::path work_;
    fs::path selfDir_;
    fs::path framesDir_;
    bool folderInput_ = false;
    std::vector<std::string> frames_;  // the pictures of the frames step, sorted
    std::vector<std::string> listed_;  // the pictures COLMAP reads (the known model's, or all)
};

std::string Pipeline::Sibling(const char* name, const char* buildPath) const {
    std::error_code ec;
    const fs::path beside = selfDir_ / name;
    if (fs::is_regular_file(beside, ec)) {
        return beside.string();
    }
    // In the build tree the programs live in their modules' folders.
    return buildPath;
}

// What a step's result depends on: the input and the options of this step and the ones before.
std::string Pipeline::Key(int step) const {
    std::string key = "input " + fs::absolute(o_.input).lexically_normal().string() + "\n";
    if (folderInput_) {
        key += "pictures " + std::to_string(frames_.size()) + " " +
               (frames_.empty() ? "" : frames_.front() + " " + frames_.back()) + "\n";
    } else {
        // Another video at the same path is another input.
        std::error_code ec;
        key += "size " + std::to_string(fs::file_size(o_.input, ec)) + " time " +
               std::to_string(fs::last_write_time(o_.input, ec).time_since_epoch().count()) +
               "\nevery " + std::to_string(o_.every) + " width " + std::to_string(o_.width) + "\n";
    }
    if (step >= kFeatures) {
        key += "known cameras " +
               (Known() ? fs::absolute(o_.knownCameras).lexically_normal().string() : "none") +
               "\n";
        // An edited model is another model: its files' sizes and times go into the key.
        std::error_code ec;
        for (const char* file : {"cameras", "images", "points3D"}) {
            for (const char* extension : {".bin", ".txt"}) {
                const fs::path path = fs::path(o_.knownCameras) / (std::string(file) + extension);
                if (Known() && fs::is_regular_file(path, ec)) {
                    key +=
                        path.filename().string() + " " + std::to_string(fs::file_size(path, ec)) +
                        " " +
                        std::to_string(fs::last_write_time(path, ec).time_since_epoch().count()) +
                        "\n";
                }
            }
        }
    }
    if (step >= kImport) {
        key += std::string("fill gaps ") + (o_.fillGaps ? "yes" : "no") + "\n";
    }
    if (step >= kRecover) {
        key += "zel_recover";
        for (const std::string& arg : o_.recoverArgs) {
            key += " " + arg;
        }
        key += "\n";
    }
    return key;
}

// The stamp is "seconds S" and then the key it was made with.
bool Pipeline::StampMatches(int step, double& seconds) const {
    const std::string text = ReadSmallFile(StampPath(step));
    const size_t eol = text.find('\n');
    if (eol == std::string::npos || text.compare(0, 8, "seconds ") != 0 ||
        text.substr(eol + 1) != Key(step)) {
        return false;
    }
    seconds = std::strtod(text.c_str() + 8, nullptr);
    return true;
}

bool Pipeline::Program(int step, const std::string& exe, const std::vector<std::string>& args,
                       bool searchPath, const std::function<void(const std::string&)>& onLine,
                       Failure& failure) {
    std::vector<std::string> all = {exe};
    all.insert(all.end(), args.begin(), args.end());
    std::string error;
    const int status = RunLogged(all, searchPath, LogPath(step), onLine, error);
    if (status == 0) {
        return true;
    }
    const std::string name = fs::path(exe).filename().string();
    failure.what = status < 0 ? error
                              : name + (args.empty() ? "" : " " + args[0]) +
                                    " ended with exit status " + std::to_string(status);
    return false;
}

bool Pipeline::Colmap(int step, const std::vector<std::string>& args, Failure& failure) {
    if (!OnPath("colmap")) {
        failure = {"colmap is not on the PATH (Debian: apt-get install colmap)", false};
        return false;
    }
    return Program(step, "colmap", args, true, nullptr, failure);
}

bool Pipeline::RunStep(int step, Failure& failure) {
    std::error_code ec;
    const std::string frames = framesDir_.string();
    const std::string database = Path("database.db");
    const std::string sparse = Path("sparse");
    const std::string project = Path("project.txt");
    const std::string list = Path(Known() ? "known_frames.txt" : "frames.txt");
    const int count = static_cast<int>(listed_.size());
    switch (step) {
        case kFrames: {
            if (!folderInput_) {
                if (!OnPath("ffmpeg")) {
                    failure = {"ffmpeg is not on the PATH (Debian: apt-get install ffmpeg)", false};
                    return false;
                }
                Progress(step, "ffmpeg writes the frames of " + o_.input + " into " + frames);
                fs::remove_all(framesDir_, ec);
                fs::create_directories(framesDir_, ec);
#if ZEL_HAVE_PNG
                const char* extension = "png";
#else
                const char* extension = "bmp";
#endif
                if (!Program(step, "ffmpeg",
                             FfmpegArguments(o_.input, frames, o_.every, o_.width, extension), true,
                             nullptr, failure)) {
                    return false;
                }
            } else {
                Progress(step, "the pictures of " + frames + " as they are");
                WriteText(LogPath(step), "frame folder " + frames + "\n", failure.what);
            }
            frames_ = LongestSequence(ListFrameImages(frames));
            if (frames_.size() < 2) {
                failure.what = "fewer than two frames (BMP, PNG or JPEG pictures) in " + frames;
                return false;
            }
            std::string text;
            for (const std::string& name : frames_) {
                text += name + "\n";
            }
            return WriteText(Path("frames.txt"), text, failure.what);
        }
        case kFeatures: {
            fs::remove(database, ec);
            std::vector<std::string> args = {"feature_extractor",
                                             "--database_path",
                                             database,
                                             "--image_path",
                                             frames,
                                             "--image_list_path",
                                             list,
                                             "--ImageReader.single_camera",
                                             "1",
                                             "--SiftExtraction.use_gpu",
                                             "0"};
            if (Known()) {
                ColmapModel known, posed;
                std::string model, params, error;
                if (!zelinterop::ReadColmapModel(o_.knownCameras, known, error) ||
                    !PrepareKnownCameras(known, frames_, posed, listed_, model, params, error) ||
                    !zelinterop::WriteColmapText(Path("known"), posed, error)) {
                    failure = {"known cameras: " + error, false};
                    return false;
                }
                std::string text;
                for (const std::string& name : listed_) {
                    text += name + "\n";
                }
                if (!WriteText(list, text, failure.what)) {
                    return false;
                }
                // One thread: the images are numbered in the order they are read, which the
                // posed model's ids follow.
                args.insert(args.end(),
                            {"--ImageReader.camera_model", model, "--ImageReader.camera_params",
                             params, "--SiftExtraction.num_threads", "1"});
            } else {
                args.insert(args.end(), {"--ImageReader.camera_model", "SIMPLE_PINHOLE",
                                         "--SiftExtraction.num_threads", ThreadCount()});
            }
            Progress(step, "colmap feature_extractor on " + std::to_string(listed_.size()) +
                               " frames" + (Known() ? " (the known cameras' intrinsics)" : ""));
            return Colmap(step, args, failure);
        }
        case kMatches: {
            const char* matcher =
                count < kSequentialFrom ? "exhaustive_matcher" : "sequential_matcher";
            Progress(step,
                     std::string("colmap ") + matcher + " on " + std::to_string(count) + " frames");
            return Colmap(step,
                          {matcher, "--database_path", database, "--SiftMatching.use_gpu", "0",
                           "--SiftMatching.num_threads", ThreadCount()},
                          failure);
        }
        case kSparse: {
            fs::remove_all(sparse, ec);
            fs::create_directories(fs::path(sparse) / "0", ec);
            if (Known()) {
                Progress(step, "colmap point_triangulator on the known cameras");
                if (!Colmap(step,
                            {"point_triangulator", "--database_path", database, "--image_path",
                             frames, "--input_path", Path("known"), "--output_path", sparse + "/0"},
                            failure)) {
                    return false;
                }
            } else {
                Progress(step, "colmap mapper");
                if (!Colmap(step,
                            {"mapper", "--database_path", database, "--image_path", frames,
                             "--image_list_path", list, "--output_path", sparse,
                             "--Mapper.num_threads", ThreadCount()},
                            failure)) {
                    return false;
                }
            }
            ColmapModel model;
            std::string chosen, note, error;
            if (!zelinterop::ReadLargestColmapModel(sparse, model, chosen, note, error)) {
                failure.what = "COLMAP made no model: " + error;
                return false;
            }
            return true;
        }
        case kImport: {
            Progress(step, "zel_import_colmap into " + project);
            std::vector<std::string> args = {sparse, frames, project};
            if (o_.fillGaps) {
                args.push_back("--fill-gaps");
            }
            if (Known()) {
                args.push_back("--allow-aspect");  // the given cameras are taken as they are
            }
            return Program(
                step, Sibling("zel_import_colmap", ZEL_IMPORT_BUILD_EXE), args, false,
                [](const std::string& line) {
                    if (line.rfind("Model ", 0) == 0 || line.rfind("Warning", 0) == 0) {
                        std::fprintf(stderr, "  %s\n", line.c_str());
                    }
                },
                failure);
        }
        case kRecover: {
            Progress(step, "zel_recover on " + project);
            std::vector<std::string> args;
            if (o_.threads > 0) {
                args = {"--threads", std::to_string(o_.threads)};
            }
            args.insert(args.end(), o_.recoverArgs.begin(), o_.recoverArgs.end());
            args.push_back(project);
            return Program(
                step, Sibling("zel_recover", ZEL_RECOVER_BUILD_EXE), args, false,
                [](const std::string& line) {
                    if (line.rfind("[", 0) == 0) {
                        std::fprintf(stderr, "  %s\n", line.c_str());
                    }
                },
                failure);
        }
        default: {
            Progress(step, "zel_fuse into " + Path("fused.ply"));
            return Program(step, Sibling("zel_fuse", ZEL_FUSE_BUILD_EXE),
                           {project, "--out", Path("fused.ply")}, false, nullptr, failure);
        }
    }
}

int Pipeline::Run() {
    std::error_code ec;
    for (const char* folder : {"logs", "stamps"}) {
        fs::create_directories(work_ / folder, ec);
        if (!fs::is_directory(work_ / folder, ec)) {
            std::fprintf(stderr, "zel_video_depth: ERROR: can not create %s\n",
                         (work_ / folder).string().c_str());
            return 1;
        }
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 1);  // COLMAP without a display
    if (folderInput_) {
        frames_ = LongestSequence(ListFrameImages(framesDir_.string()));
    }
    const auto start = std::chrono::steady_clock::now();
    double seconds[kStepCount] = {};
    bool ranStep[kStepCount] = {};
    bool redo = false;
    for (int step = 0; step < kStepCount; step++) {
        if (step == kFeatures) {
            // The pictures COLMAP reads: a rerun that skipped the frames step lists them again.
            frames_ = LongestSequence(ListFrameImages(framesDir_.string()));
            listed_ = frames_;
        }
        if (step == kMatches && Known()) {
            ColmapModel posed;
            std::string error;
            if (zelinterop::ReadColmapModel(Path("known"), posed, error)) {
                listed_.clear();
                for (const ColmapImage& image : posed.images) {
                    listed_.push_back(image.name);
                }
            }
        }
        if (!redo && (o_.from < 0 || step < o_.from) && StampMatches(step, seconds[step])) {
            Progress(step, "done before, skipped");
            continue;
        }
        // This step and every later one are redone: their stamps go first, so that a run
        // stopped halfway never leaves a stamp of an older result behind.
        redo = true;
        for (int later = step; later < kStepCount; later++) {
            fs::remove(StampPath(later), ec);
        }
        const auto t0 = std::chrono::steady_clock::now();
        Failure failure;
        if (!RunStep(step, failure)) {
            std::fprintf(stderr, "zel_video_depth: ERROR: step %s failed: %s\n", StepName(step),
                         failure.what.c_str());
            if (failure.showLog) {
                const auto lines = LastLines(LogPath(step), 12);
                if (!lines.empty()) {
                    std::fprintf(stderr, "  the last lines of %s:\n", LogPath(step).c_str());
                }
                for (const std::string& line : lines) {
                    std::fprintf(stderr, "  | %s\n", line.c_str());
                }
            }
            return 1;
        }
        seconds[step] =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        ranStep[step] = true;
        std::string error;
        if (!WriteText(StampPath(step), "seconds " + Number(seconds[step]) + "\n" + Key(step),
                       error)) {
            std::fprintf(stderr, "zel_video_depth: ERROR: %s\n", error.c_str());
            return 1;
        }
        char took[64];
        std::snprintf(took, sizeof(took), "done in %.1f s", seconds[step]);
        Progress(step, took);
    }

    // The summary.
    ColmapModel model;
    std::string chosen, note, error;
    ModelStats stats;
    if (zelinterop::ReadLargestColmapModel(Path("sparse"), model, chosen, note, error)) {
        stats = ComputeModelStats(model);
    }
    char line[512];
    std::string summary = "Input: " + o_.input + "\nFrames: " + std::to_string(frames_.size()) +
                          " in " + framesDir_.string() + "\n";
    std::snprintf(line, sizeof(line), "Registered: %d of %zu frames (%s)\n", stats.registered,
                  listed_.size(), chosen.c_str());
    summary += line;
    std::snprintf(line, sizeof(line),
                  "Mean reprojection error: %.3f px over %ld observations\n3D points: %d\n",
                  stats.meanError, stats.observations, stats.points);
    summary += line;
    summary += "Project: " + Path("project.txt") +
               "\nDepth files: " + (framesDir_ / "DATA").string() +
               "/_depth<i>.raw\nPoint cloud: " + Path("fused.ply") + "\n";
    double total = 0.0;
    for (int step = 0; step < kStepCount; step++) {
        std::snprintf(line, sizeof(line), "Time %s: %.1f s%s\n", StepName(step), seconds[step],
                      ranStep[step] ? "" : " (an earlier run)");
        summary += line;
        total += seconds[step];
    }
    std::snprintf(line, sizeof(line), "Time total: %.1f s (this run %.1f s)\n", total,
                  std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    summary += line;
    std::fputs(summary.c_str(), stdout);
    if (!WriteText(Path("summary.txt"), summary, error)) {
        std::fprintf(stderr, "zel_video_depth: ERROR: %s\n", error.c_str());
        return 1;
    }
    return 0;
}

}  // namespace
#endif

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
#ifdef _WIN32
    std::fprintf(stderr,
                 "zel_video_depth: ERROR: not supported on this platform (run the steps by hand, "
                 "see docs/colmap.md)\n");
    return 1;
#else
    Pipeline pipeline(options, argc > 0 ? argv[0] : "zel_video_depth");
    return pipeline.Run();
#endif
}

}  // namespace zelvideo
