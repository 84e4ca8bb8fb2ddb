// zel_video_depth: from a video (or a folder of frames) to depth files in one command.
//
// The program runs seven steps, each a process of its own, and keeps everything in one work
// folder:
//   frames    ffmpeg writes the video's frames into <work>/frames/ (a frame folder is used as it
//             is, its longest numbered sequence of pictures); <work>/frames.txt lists the
//             pictures the later steps take;
//   features  COLMAP's feature_extractor (one SIMPLE_PINHOLE camera for all frames) into
//             <work>/database.db;
//   matches   COLMAP's exhaustive_matcher, or sequential_matcher from 100 frames on;
//   sparse    COLMAP's mapper into <work>/sparse/ (models 0, 1, ...); with known cameras its
//             point_triangulator on those fixed poses into <work>/sparse/0;
//   import    zel_import_colmap: the largest model, checked, into <work>/project.txt;
//   recover   zel_recover with the reference stages: the frames' depth files in DATA/ beside
//             the frames;
//   fuse      zel_fuse: the depth files merged into <work>/fused.ply.
// Every step writes its output into <work>/logs/<step>.log and, once its outputs are complete,
// a stamp <work>/stamps/<step>.done as its last act. The stamp records what the step's result
// depends on (the input, the options of this and the earlier steps); a rerun skips a step whose
// stamp matches, and redoes it and every step after it otherwise, or from the step --from names.
// The summary (frames registered, COLMAP's mean reprojection error, points, time per step) goes
// to standard output and, written whole, into <work>/summary.txt.
//
// Processes are started with posix_spawn, their arguments handed over as they are (no shell in
// between). On a platform without it the program reports that it is not supported.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "interop/colmap.h"

namespace zelvideo {

enum Step { kFrames, kFeatures, kMatches, kSparse, kImport, kRecover, kFuse, kStepCount };

// The step's name as the command line, the logs and the stamps use it ("frames", ...).
const char* StepName(int step);
// The step of that name, or -1.
int StepFromName(const std::string& name);

// The frame count from which the sequential matcher replaces the exhaustive one.
constexpr int kSequentialFrom = 100;

struct VideoDepthOptions {
    std::string input;    // a video file or a folder of frames
    std::string workDir;  // everything the run writes, except the depth files beside the frames
    int every = 1;        // every Nth frame of the video
    int width = 0;        // the frames' width (aspect kept); 0: the video's own
    int from = -1;        // redo from this step; -1: skip the steps whose stamps match
    int threads = 0;      // worker threads of COLMAP and zel_recover; 0: all
    bool fillGaps = false;
    double focal = 0.0;  // the frames' focal length in pixels, kept fixed; 0: COLMAP estimates it
    std::string knownCameras;  // a COLMAP model holding the cameras; empty: the mapper finds them
    std::vector<std::string> recoverArgs;  // passed through to zel_recover
};

// Reads the command line. Returns -1 to go on, 0 after --help (printed to standard output), or 2
// after a usage error (one line to standard error).
int ParseVideoDepthArguments(int argc, const char* const argv[], VideoDepthOptions& options);

// The pictures (.bmp, .png, .jpg, .jpeg in any case) directly inside dir, sorted by name.
std::vector<std::string> ListFrameImages(const std::string& dir);

// The longest numbered sequence among names (sorted): the names that share the prefix, the
// number's width and the extension around the digits before the extension (img0000.png,
// img0001.png, ...), so that other pictures in a frame folder are left out. Keeps the order.
std::vector<std::string> LongestSequence(const std::vector<std::string>& names);

// ffmpeg's arguments (without the program) for the frames of video as numbered pictures
// framesDir/frame00000.<extension>, ...: every Nth frame, scaled to width (0: as it is).
std::vector<std::string> FfmpegArguments(const std::string& video, const std::string& framesDir,
                                         int every, int width, const std::string& extension);

// What the summary says about a model.
struct ModelStats {
    int registered = 0;     // images
    int points = 0;         // 3D points
    long observations = 0;  // observations reprojected
    double meanError = 0;   // their mean distance to the feature, in pixels (0 when none)
};

// Reprojects every observation of every 3D point through its image's pinhole camera (SIMPLE_
// PINHOLE or PINHOLE; others are left out of the error) and averages the distances.
ModelStats ComputeModelStats(const zelinterop::ColmapModel& model);

// From a model of known cameras and poses (3D points, if any, are dropped), the model that
// COLMAP's point_triangulator starts from: one camera, id 1, and the images that are among
// frames, numbered 1, 2, ... in name order, as the feature extractor numbers them when it reads
// them in that order (names receives that order). cameraModel and cameraParams receive what the
// extractor is told. False with the reason: fewer than two images, a camera with lens distortion
// or images with different intrinsics, an image that is not among the frames.
bool PrepareKnownCameras(const zelinterop::ColmapModel& known,
                         const std::vector<std::string>& frames, zelinterop::ColmapModel& posed,
                         std::vector<std::string>& names, std::string& cameraModel,
                         std::string& cameraParams, std::string& error);

// Runs program with args (args[0] is the program: a path, or a name looked up on the PATH when
// searchPath), standard input empty, standard output and error into logPath (created anew); each
// complete output line is also handed to onLine when given. Returns the exit status, or -1 with
// the reason in error when the program could not be started or did not exit normally.
int RunLogged(const std::vector<std::string>& args, bool searchPath, const std::string& logPath,
              const std::function<void(const std::string&)>& onLine, std::string& error);

// The last `count` lines of the file at path (fewer when it has fewer).
std::vector<std::string> LastLines(const std::string& path, size_t count);

// Whether a folder of the PATH (its folders separated by ':', as on POSIX systems) holds a file
// of that name.
bool OnPath(const std::string& program);

// The whole program; argv[0] locates the sibling programs. Returns the exit status: 0 after a
// run, 1 on a failure (one "ERROR: ..." line naming the step, then the last lines of its log), 2
// for a usage error.
int VideoDepthMain(int argc, char** argv);

}  // namespace zelvideo
