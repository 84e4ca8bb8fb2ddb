// Writes the bundled sample project, or another synthetic scene, into the given directory.
//
//   zel_make_sample [--seed N] [--scene sample|plain] [--motion sideways|forward|orbit]
//                   [--size WxH] [--frames N] [--noise SIGMA] [--gain G] [--jpeg Q]
//                   [--pose-noise S] <directory>
//
// The scene: a textured ground plane, a back wall and four boxes, seen by a camera that moves
// sideways past them while looking at the middle of the scene (--motion forward: a camera that
// advances into the scene instead; --motion orbit: a camera that circles the middle of the scene
// through 100 degrees, 6.5 units from it and 2.7 above the ground, looking at it). Without
// options it writes the bundled sample; --seed gives other textures and another box layout,
// --size another picture size with the same field of view. Each frame is ray cast into
// img0000.bmp, img0001.bmp, ...; scene points picked on the surfaces are followed through every
// frame that sees them (inside the picture and not hidden, checked by casting a ray through the
// projection), which gives feature tracks that are exact projections. The project file
// project.txt names the images, the intrinsics, the tracks and one camera block per frame.
// groundtruth/_depth<i>.raw holds the true disparity (1/z) of frame i, in the layout of the
// program's depth files: little-endian floats, row 0 (top) first, and groundtruth/project.txt
// the same project with the true cameras and exact observations whatever the options (its
// images are named "./../img0000.bmp": the parser reads a leading "./" as the project's folder).
//
// --scene plain is a weakly textured room for robustness work: a floor, a back wall and two side
// walls (X = +-6.5) painted in pale, nearly uniform colours, and the boxes of the layout in
// pastel versions of their colours. What variation there is stays low in contrast: a lamp above
// the middle of the room shades every surface smoothly (about 20 % from the brightest to the
// darkest spot), a faint mottling of +-3.5 % over a few units and a fine grain of +-1.2 % (about
// +-2 grey levels) stand for the texture of real paint, and a few soft-edged features give
// trackable corners: two posters on the back wall, one on each side wall, skirting boards along
// the walls and a rug on the floor. Most 5 x 5 to 11 x 11 windows on a wall hold a handful of
// grey levels. The feature tracks are picked as in the sample scene, exact as ever.
//
// Test material, each off by default and each drawn from its own random stream seeded by --seed
// (and the frame or track), so that one effect never changes another's draws:
// - --gain G scales each frame's colours by a factor uniform in [1 - G, 1 + G] (auto exposure);
// - --noise SIGMA then adds Gaussian noise of SIGMA grey levels to each colour channel of each
//   pixel; the result is rounded and clamped to 0..255;
// - --jpeg Q stores the frames as JPEG files of quality Q (img0000.jpg, ...) instead of BMP;
// - --pose-noise S disturbs what project.txt says, not what the pictures show: each camera is
//   turned by an angle from N(0, S) degrees about a uniformly random axis and its centre moved
//   by a 3D Gaussian whose RMS length is S times the mean distance between consecutive true
//   centres; each observation is moved by N(0, 0.5) pixels per coordinate (and kept inside the
//   picture). The tracks' 3D points stay the true ones.
// The ground truth is always the clean geometry.
//
// World coordinates: X to the right, Y down, Z forward; the ground is the plane Y = kGroundY.
// Everything is deterministic: the same options write the same bytes. Every file is written under
// a scratch name and renamed into place, and project.txt is removed first and written last, so a
// directory with a project file always holds a complete scene.
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <system_error>
#include <vector>

#include "tools/frontend.h"
#include "tools/sample_scene.h"

// The build says whether libjpeg is there: --jpeg needs it.
#ifndef ZEL_HAVE_JPEG
#define ZEL_HAVE_JPEG 0
#endif

namespace {

using namespace zelsample;

const char kUsage[] =
    "Usage: zel_make_sample [--seed N] [--scene sample|plain] [--motion sideways|forward|orbit]\n"
    "                       [--size WxH] [--frames N] [--noise SIGMA] [--gain G] [--jpeg Q]\n"
    "                       [--pose-noise S] <directory>\n";

void PrintHelp() {
    std::printf(
        "%s"
        "\n"
        "Writes a synthetic scene into <directory>: the frames img0000.bmp ..., project.txt (the\n"
        "camera-track project file with exact feature tracks), groundtruth/_depth<i>.raw (the\n"
        "true disparity 1/z of frame i, little-endian floats, row 0 first) and\n"
        "groundtruth/project.txt (the project with the true cameras and exact observations).\n"
        "Without options it writes the bundled sample; the same options always write the same\n"
        "bytes.\n"
        "\n"
        "  --seed N          another scene: textures and box layout from N (0..4294967295;\n"
        "                    0, the default, is the bundled sample's); seeds the effects below\n"
        "  --scene S         sample (default: textured ground, wall and boxes) or plain (a weakly\n"
        "                    textured room: pale painted walls and floor, pastel boxes)\n"
        "  --motion M        sideways (default: the camera passes the scene), forward (the\n"
        "                    camera advances into it) or orbit (it circles the scene through\n"
        "                    100 degrees, looking at its middle)\n"
        "  --size WxH        picture size, %d..%d each (default %dx%d); the field of view stays\n"
        "  --frames N        number of frames, %d..%d (default %d)\n"
        "\n"
        "Test material (all off by default; the ground truth stays the clean geometry):\n"
        "  --gain G          scales each frame's colours by a random factor in [1-G, 1+G],\n"
        "                    G 0..%g\n"
        "  --noise SIGMA     adds Gaussian noise of SIGMA grey levels to every colour sample,\n"
        "                    SIGMA 0..%g (after the gain; rounded and clamped to 0..255)\n"
        "  --jpeg Q          writes the frames as JPEG files of quality Q (1..100), img0000.jpg "
        "...\n"
        "  --pose-noise S    disturbs the cameras in project.txt (not the pictures), S 0..%g:\n"
        "                    rotations by N(0, S) degrees, centres by S times the mean baseline\n"
        "                    (RMS), observations by N(0, %g) pixels per coordinate\n"
        "\n"
        "Exit status: 0 when the scene was written, 1 when a file could not be written, 2 for\n"
        "bad options.\n",
        kUsage, kMinSide, kMaxSide, kBaseWidth, kBaseHeight, kMinFrames, kMaxFrames, kBaseFrames,
        kMaxGain, kMaxNoise, kMaxPoseNoise, kObservationNoise);
}

// A decimal integer in [lo, hi] that fills the whole text.
bool ParseWhole(const std::string& text, long long lo, long long hi, long long& out) {
    const char* begin = text.data();
    const char* end = begin + text.size();
    const auto result = std::from_chars(begin, end, out);
    return !text.empty() && result.ec == std::errc() && result.ptr == end && out >= lo && out <= hi;
}

// A finite decimal number in [lo, hi] that fills the whole text.
bool ParseReal(const std::string& text, double lo, double hi, double& out) {
    if (text.empty() || !(std::isdigit(static_cast<unsigned char>(text[0])) || text[0] == '.' ||
                          text[0] == '-' || text[0] == '+')) {
        return false;
    }
    char* end = nullptr;
    out = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size() && std::isfinite(out) && out >= lo && out <= hi;
}

// Takes a whole number in [lo, hi] into *target.
template <class T>
std::function<bool(const char*)> TakeWhole(long long lo, long long hi, T* target) {
    return [lo, hi, target](const char* v) {
        long long number = 0;
        if (!ParseWhole(v, lo, hi, number)) {
            return false;
        }
        *target = static_cast<T>(number);
        return true;
    };
}

// Declares the options and the messages for their bad values.
void DeclareOptions(zeltool::CommandLine& line, Options& options) {
    const std::string frames = std::to_string(kMinFrames) + ".." + std::to_string(kMaxFrames);
    const std::string sides = std::to_string(kMinSide) + ".." + std::to_string(kMaxSide);
    const std::string badFrames = "Bad --frames value '%v' (a whole number " + frames + ")";
    const std::string badSize = "Bad --size value '%v' (WxH, each " + sides + ", e.g. 640x480)";
    line.Custom("--seed", "N", TakeWhole(0, UINT32_MAX, &options.seed));
    line.BadValue("Bad --seed value '%v' (a whole number 0..4294967295)");
    line.Custom("--motion", "M", [&options](const char* v) {
        const std::string value = v;
        const Motion motions[] = {Motion::kSideways, Motion::kForward, Motion::kOrbit};
        const char* const names[] = {"sideways", "forward", "orbit"};
        for (int k = 0; k < 3; k++) {
            if (value == names[k]) {
                options.motion = motions[k];
                return true;
            }
        }
        return false;
    });
    line.BadValue("Bad --motion value '%v' (sideways, forward or orbit)");
    line.Custom("--scene", "S", [&options](const char* v) {
        const std::string value = v;
        options.kind = value == "plain" ? SceneKind::kPlain : SceneKind::kSample;
        return value == "sample" || value == "plain";
    });
    line.BadValue("Bad --scene value '%v' (sample or plain)");
    line.Custom("--noise", "SIGMA",
                [&options](const char* v) { return ParseReal(v, 0.0, kMaxNoise, options.noise); });
    line.BadValue("Bad --noise value '%v' (grey levels, 0..64)");
    line.Custom("--gain", "G",
                [&options](const char* v) { return ParseReal(v, 0.0, kMaxGain, options.gain); });
    line.BadValue("Bad --gain value '%v' (0..0.5)");
    line.Custom("--pose-noise", "S", [&options](const char* v) {
        return ParseReal(v, 0.0, kMaxPoseNoise, options.poseNoise);
    });
    line.BadValue("Bad --pose-noise value '%v' (0..10)");
    line.Custom("--jpeg", "Q", TakeWhole(1, 100, &options.jpegQuality));
    line.BadValue("Bad --jpeg value '%v' (a quality 1..100)");
    line.Custom("--size", "WxH", [&options](const char* v) {
        const std::string value = v;
        const size_t x = value.find('x');
        long long w = 0;
        long long h = 0;
        if (x == std::string::npos || !ParseWhole(value.substr(0, x), kMinSide, kMaxSide, w) ||
            !ParseWhole(value.substr(x + 1), kMinSide, kMaxSide, h)) {
            return false;
        }
        options.width = static_cast<int>(w);
        options.height = static_cast<int>(h);
        return true;
    });
    line.BadValue(badSize.c_str());
    line.Custom("--frames", "N", TakeWhole(kMinFrames, kMaxFrames, &options.frames));
    line.BadValue(badFrames.c_str());
}

// Reads the command line into options. Returns -1 to go on, or the exit status to end with (0
// after --help, 2 after a usage error).
int ParseOptions(int argc, const char* const argv[], Options& options) {
    zeltool::CommandLine line(zeltool::ErrorStyle(" (zel_make_sample --help lists the options)"),
                              PrintHelp);
    DeclareOptions(line, options);
    std::vector<std::string> positional;
    const int status = line.Parse(argc, argv, positional);
    if (status >= 0) {
        return status;
    }
    if (options.jpegQuality > 0 && !ZEL_HAVE_JPEG) {
        return line.Usage("--jpeg needs libjpeg, and this build was made without it");
    }
    if (positional.size() > 1) {
        return line.Usage("More than one directory given: " + positional[0] + " and " +
                          positional[1]);
    }
    if (positional.empty()) {
        return line.Usage("No directory given");
    }
    options.dir = positional[0];
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    const int status = ParseOptions(argc, argv, options);
    if (status >= 0) {
        return status;
    }
    const std::string& dir = options.dir;
    std::error_code error;
    std::filesystem::create_directories(dir + "/groundtruth", error);
    if (error) {
        std::fprintf(stderr, "ERROR: zel_make_sample can not create %s/groundtruth: %s\n",
                     dir.c_str(), error.message().c_str());
        return 1;
    }
    // Until the new project file is written, the directory holds no project: a run that stops
    // half-way never leaves an old project file beside new frames.
    const std::string projectPath = dir + "/project.txt";
    std::filesystem::remove(projectPath, error);
    if (error) {
        std::fprintf(stderr, "ERROR: zel_make_sample can not replace %s: %s\n", projectPath.c_str(),
                     error.message().c_str());
        return 1;
    }

    const Scene scene = MakeScene(options);
    std::vector<Camera> cameras;
    for (int i = 0; i < scene.frames; i++) {
        cameras.push_back(FrameCamera(scene, i));
    }
    for (int i = 0; i < scene.frames; i++) {
        if (!RenderFrame(scene, dir, i, cameras[static_cast<size_t>(i)])) {
            return 1;
        }
    }
    // The true project beside the ground truth, then the project file: it is what the build
    // checks for.
    const std::vector<Track> tracks = MakeTracks(scene, cameras);
    const std::string extension = scene.jpegQuality > 0 ? "jpg" : "bmp";
    if (!WriteProject(scene, dir + "/groundtruth/project.txt",
                      "synthetic sample scene, true cameras", "./../img0000." + extension, cameras,
                      tracks)) {
        return 1;
    }
    std::vector<Camera> toldCameras = cameras;
    std::vector<Track> toldTracks = tracks;
    if (options.poseNoise > 0.0) {
        DisturbPoses(scene, options.poseNoise, toldCameras, toldTracks);
    }
    return WriteProject(scene, projectPath, "synthetic sample scene", "./img0000." + extension,
                        toldCameras, toldTracks)
               ? 0
               : 1;
}
