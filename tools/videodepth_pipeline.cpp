// zel_video_depth's run: the seven steps one after another in the work folder, each skipped when
// its stamp matches, and the summary.
#include "tools/videodepth_pipeline.h"

#ifndef _WIN32
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "imagelib/ximage.h"
#include "interop/colmap_project.h"
#include "io/writewhole.h"

namespace zelvideo {

namespace fs = std::filesystem;
using zelinterop::ColmapImage;
using zelinterop::ColmapModel;

namespace {

bool WriteText(const std::string& path, const std::string& text, std::string& error) {
    return zelio::WriteBytesWhole(path, text.data(), text.size(), &error);
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
    bool FramesStep(Failure& failure);
    bool FeaturesStep(Failure& failure);
    bool UseKnownCameras(std::vector<std::string>& args, Failure& failure);
    bool FixedFocalParams(std::string& params, std::string& error) const;
    bool MatchesStep(Failure& failure);
    bool SparseStep(Failure& failure);
    bool ImportStep(Failure& failure);
    bool RecoverStep(Failure& failure);
    bool FuseStep(Failure& failure);
    bool MakeFolders() const;
    void ListPictures(int step);
    void ReportFailure(int step, const Failure& failure) const;
    int WriteSummary(const double seconds[], const bool ranStep[],
                     std::chrono::steady_clock::time_point start) const;
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
    if (step >= kFeatures && o_.focal > 0) {
        char focal[64];
        std::snprintf(focal, sizeof(focal), "focal %.17g\n", o_.focal);
        key += focal;
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

bool Pipeline::FramesStep(Failure& failure) {
    const int step = kFrames;
    std::error_code ec;
    const std::string frames = framesDir_.string();
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

// With known cameras: the posed model COLMAP triangulates on (<work>/known), the list of its
// frames, and the feature extractor's options for the known intrinsics, appended to args.
bool Pipeline::UseKnownCameras(std::vector<std::string>& args, Failure& failure) {
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
    if (!WriteText(Path("known_frames.txt"), text, failure.what)) {
        return false;
    }
    // One thread: the images are numbered in the order they are read, which the posed model's
    // ids follow.
    args.insert(args.end(), {"--ImageReader.camera_model", model, "--ImageReader.camera_params",
                             params, "--SiftExtraction.num_threads", "1"});
    return true;
}

// SIMPLE_PINHOLE's parameters "f,cx,cy" for --focal: the principal point in the middle of the
// frames, as COLMAP puts it, whose size the first frame tells.
bool Pipeline::FixedFocalParams(std::string& params, std::string& error) const {
    CxImage first;
    const std::string path = listed_.empty() ? "" : (framesDir_ / listed_.front()).string();
    if (path.empty() || !first.Load(path.c_str(), 0)) {
        error = "can not read the frame " + path + " to place the principal point";
        return false;
    }
    char text[128];
    std::snprintf(text, sizeof(text), "%.17g,%.17g,%.17g", o_.focal, first.GetWidth() / 2.0,
                  first.GetHeight() / 2.0);
    params = text;
    return true;
}

bool Pipeline::FeaturesStep(Failure& failure) {
    std::error_code ec;
    const std::string database = Path("database.db");
    fs::remove(database, ec);
    std::vector<std::string> args = {"feature_extractor",
                                     "--database_path",
                                     database,
                                     "--image_path",
                                     framesDir_.string(),
                                     "--image_list_path",
                                     Path(Known() ? "known_frames.txt" : "frames.txt"),
                                     "--ImageReader.single_camera",
                                     "1",
                                     "--SiftExtraction.use_gpu",
                                     "0"};
    if (Known()) {
        if (!UseKnownCameras(args, failure)) {
            return false;
        }
    } else {
        args.insert(args.end(), {"--ImageReader.camera_model", "SIMPLE_PINHOLE",
                                 "--SiftExtraction.num_threads", ThreadCount()});
        if (o_.focal > 0) {
            std::string params;
            if (!FixedFocalParams(params, failure.what)) {
                return false;
            }
            args.insert(args.end(), {"--ImageReader.camera_params", params});
        }
    }
    Progress(kFeatures, "colmap feature_extractor on " + std::to_string(listed_.size()) +
                            " frames" + (Known() ? " (the known cameras' intrinsics)" : ""));
    return Colmap(kFeatures, args, failure);
}

bool Pipeline::MatchesStep(Failure& failure) {
    const int count = static_cast<int>(listed_.size());
    const char* matcher = count < kSequentialFrom ? "exhaustive_matcher" : "sequential_matcher";
    Progress(kMatches,
             std::string("colmap ") + matcher + " on " + std::to_string(count) + " frames");
    return Colmap(kMatches,
                  {matcher, "--database_path", Path("database.db"), "--SiftMatching.use_gpu", "0",
                   "--SiftMatching.num_threads", ThreadCount()},
                  failure);
}

bool Pipeline::SparseStep(Failure& failure) {
    const int step = kSparse;
    std::error_code ec;
    const std::string frames = framesDir_.string();
    const std::string database = Path("database.db");
    const std::string sparse = Path("sparse");
    fs::remove_all(sparse, ec);
    fs::create_directories(fs::path(sparse) / "0", ec);
    if (Known()) {
        Progress(step, "colmap point_triangulator on the known cameras");
        if (!Colmap(step,
                    {"point_triangulator", "--database_path", database, "--image_path", frames,
                     "--input_path", Path("known"), "--output_path", sparse + "/0"},
                    failure)) {
            return false;
        }
    } else {
        Progress(step, "colmap mapper");
        std::vector<std::string> args = {
            "mapper", "--database_path",      database,           "--image_path",
            frames,   "--image_list_path",    Path("frames.txt"), "--output_path",
            sparse,   "--Mapper.num_threads", ThreadCount()};
        if (o_.focal > 0) {
            args.insert(args.end(), {"--Mapper.ba_refine_focal_length", "0"});
        }
        if (!Colmap(step, args, failure)) {
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

bool Pipeline::ImportStep(Failure& failure) {
    const std::string project = Path("project.txt");
    Progress(kImport, "zel_import_colmap into " + project);
    std::vector<std::string> args = {Path("sparse"), framesDir_.string(), project};
    if (o_.fillGaps) {
        args.push_back("--fill-gaps");
    }
    if (Known()) {
        args.push_back("--allow-aspect");  // the given cameras are taken as they are
    }
    return Program(
        kImport, Sibling("zel_import_colmap", ZEL_IMPORT_BUILD_EXE), args, false,
        [](const std::string& line) {
            if (line.rfind("Model ", 0) == 0 || line.rfind("Warning", 0) == 0) {
                std::fprintf(stderr, "  %s\n", line.c_str());
            }
        },
        failure);
}

bool Pipeline::RecoverStep(Failure& failure) {
    const std::string project = Path("project.txt");
    Progress(kRecover, "zel_recover on " + project);
    std::vector<std::string> args;
    if (o_.threads > 0) {
        args = {"--threads", std::to_string(o_.threads)};
    }
    args.insert(args.end(), o_.recoverArgs.begin(), o_.recoverArgs.end());
    args.push_back(project);
    return Program(
        kRecover, Sibling("zel_recover", ZEL_RECOVER_BUILD_EXE), args, false,
        [](const std::string& line) {
            if (line.rfind("[", 0) == 0) {
                std::fprintf(stderr, "  %s\n", line.c_str());
            }
        },
        failure);
}

bool Pipeline::FuseStep(Failure& failure) {
    Progress(kFuse, "zel_fuse into " + Path("fused.ply"));
    return Program(kFuse, Sibling("zel_fuse", ZEL_FUSE_BUILD_EXE),
                   {Path("project.txt"), "--out", Path("fused.ply")}, false, nullptr, failure);
}

bool Pipeline::RunStep(int step, Failure& failure) {
    using StepFunction = bool (Pipeline::*)(Failure&);
    static const StepFunction steps[kStepCount] = {&Pipeline::FramesStep,  &Pipeline::FeaturesStep,
                                                   &Pipeline::MatchesStep, &Pipeline::SparseStep,
                                                   &Pipeline::ImportStep,  &Pipeline::RecoverStep,
                                                   &Pipeline::FuseStep};
    return (this->*steps[step])(failure);
}

// The folders of the logs and the stamps; false after an error line when one cannot be made.
bool Pipeline::MakeFolders() const {
    std::error_code ec;
    for (const char* folder : {"logs", "stamps"}) {
        fs::create_directories(work_ / folder, ec);
        if (!fs::is_directory(work_ / folder, ec)) {
            std::fprintf(stderr, "zel_video_depth: ERROR: can not create %s\n",
                         (work_ / folder).string().c_str());
            return false;
        }
    }
    return true;
}

// Before a step: the pictures COLMAP reads, listed again where a rerun skipped the step that
// listed them.
void Pipeline::ListPictures(int step) {
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
}

// The ERROR line of a failed step, then the last lines of its log where they tell why.
void Pipeline::ReportFailure(int step, const Failure& failure) const {
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
}

int Pipeline::Run() {
    if (!MakeFolders()) {
        return 1;
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 1);  // COLMAP without a display
    if (folderInput_) {
        frames_ = LongestSequence(ListFrameImages(framesDir_.string()));
    }
    const auto start = std::chrono::steady_clock::now();
    double seconds[kStepCount] = {};
    bool ranStep[kStepCount] = {};
    bool redo = false;
    std::error_code ec;
    for (int step = 0; step < kStepCount; step++) {
        ListPictures(step);
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
            ReportFailure(step, failure);
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
    return WriteSummary(seconds, ranStep, start);
}

// The summary: to standard output and, written whole, into <work>/summary.txt.
int Pipeline::WriteSummary(const double seconds[], const bool ranStep[],
                           std::chrono::steady_clock::time_point start) const {
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

int RunPipeline(const VideoDepthOptions& options, const std::string& self) {
    Pipeline pipeline(options, self);
    return pipeline.Run();
}

}  // namespace zelvideo

#endif
