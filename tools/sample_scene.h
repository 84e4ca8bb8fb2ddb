// The synthetic scene of zel_make_sample: what the command line asks for, the scene's geometry
// and cameras, the ray casting and colours of its pictures, and the files it is written into
// (tools/make_sample.cpp describes the scene and the options).
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "imagelib/ximage.h"

namespace zelsample {

// The bundled sample's picture: every other size keeps its field of view.
const int kBaseWidth = 320;
const int kBaseHeight = 240;
const int kBaseFrames = 30;
const double kBaseFocal = 300.0;
const double kGroundY = 1.5;
const double kWallZ = 12.0;
const double kPi = 3.14159265358979323846;

// Limits of the options: pictures from 16 x 16 to 4096 x 4096, 2 to 1000 frames.
const int kMinSide = 16;
const int kMaxSide = 4096;
const int kMinFrames = 2;
const int kMaxFrames = 1000;

// Limits of the test-material options.
const double kMaxNoise = 64.0;
const double kMaxPoseNoise = 10.0;
const double kMaxGain = 0.5;
// The noise of the observations that --pose-noise adds, in pixels per coordinate.
const double kObservationNoise = 0.5;
// The side walls of the plain scene's room.
const double kSideWallX = 6.5;

enum class Motion { kSideways, kForward, kOrbit };
enum class SceneKind { kSample, kPlain };

struct Options {
    int width = kBaseWidth;
    int height = kBaseHeight;
    int frames = kBaseFrames;
    uint32_t seed = 0;
    Motion motion = Motion::kSideways;
    SceneKind kind = SceneKind::kSample;
    double noise = 0.0;      // grey levels; 0: none
    double gain = 0.0;       // 0: every frame as rendered
    int jpegQuality = 0;     // 0: BMP frames
    double poseNoise = 0.0;  // 0: the true cameras
    std::string dir;
};

struct Vec {
    double x, y, z;
};

inline Vec operator+(Vec a, Vec b) {
    return {a.x + b.x, a.y + b.y, a.z + b.z};
}
inline Vec operator-(Vec a, Vec b) {
    return {a.x - b.x, a.y - b.y, a.z - b.z};
}
inline Vec operator*(double s, Vec a) {
    return {s * a.x, s * a.y, s * a.z};
}
inline double Dot(Vec a, Vec b) {
    return a.x * b.x + a.y * b.y + a.z * b.z;
}
inline Vec Cross(Vec a, Vec b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
inline Vec Normalize(Vec a) {
    return (1.0 / std::sqrt(Dot(a, a))) * a;
}

// A camera as the project file stores it: Xc = R * X + T (world to camera), rows of R are the
// camera's right, down and forward axes in world coordinates.
struct Camera {
    Vec row[3];
    double T[3];
    Vec centre;
};

// The camera at centre that looks at target, level (its right axis in the ground plane).
Camera LookAt(Vec centre, Vec target);

struct Box {
    Vec lo, hi;
    uint8_t r, g, b;
};

// Everything the rendering needs: the picture, the intrinsics, the boxes and the motion.
struct Scene {
    int width = kBaseWidth;
    int height = kBaseHeight;
    int frames = kBaseFrames;
    double focal = kBaseFocal;
    double cx = kBaseWidth / 2.0;
    double cy = kBaseHeight / 2.0;
    uint32_t seed = 0;
    Motion motion = Motion::kSideways;
    SceneKind kind = SceneKind::kSample;
    double noise = 0.0;
    double gain = 0.0;
    int jpegQuality = 0;
    std::vector<Box> boxes;
};

// A small deterministic generator (splitmix64) for the box layout of another seed.
struct Random {
    uint64_t state;
    uint64_t Next() {
        uint64_t z = (state += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
    // Uniform in [lo, hi).
    double Uniform(double lo, double hi) {
        return lo + (hi - lo) * static_cast<double>(Next() >> 11) * (1.0 / 9007199254740992.0);
    }
};

// The random streams of the test material: one per effect, so that turning one effect on leaves
// the draws of the others as they were.
enum class Stream : uint32_t { kGain = 1, kNoise = 2, kPose = 3, kObservations = 4 };

// The generator of one effect for one frame or track (index), seeded by --seed.
Random StreamOf(uint32_t seed, Stream stream, uint64_t index);

// Standard normal numbers (Box-Muller, both values of a pair used).
struct Gaussian {
    Random random;
    bool hasSpare = false;
    double spare = 0.0;
    double Next() {
        if (hasSpare) {
            hasSpare = false;
            return spare;
        }
        const double u = 1.0 - random.Uniform(0.0, 1.0);  // in (0, 1]: the logarithm is finite
        const double angle = 2.0 * kPi * random.Uniform(0.0, 1.0);
        const double radius = std::sqrt(-2.0 * std::log(u));
        spare = radius * std::sin(angle);
        hasSpare = true;
        return radius * std::cos(angle);
    }
};

// What a ray hits: the depth, the surface (0 ground, 1 wall, 2 + box number) and the two
// texture coordinates on that surface.
struct Hit {
    double t = 1e300;
    int surface = -1;
    double s = 0.0;
    double q = 0.0;
    double light = 1.0;  // a fixed brightness per face direction, so box faces stand apart
};

struct Observation {
    int frame;
    double u, v;
};

struct Track {
    Vec point;
    std::vector<Observation> observations;
};

// The scene the options ask for: the picture, the intrinsics (the field of view of the bundled
// sample), the boxes of the seed and the motion.
Scene MakeScene(const Options& options);

// The true camera of frame i.
Camera FrameCamera(const Scene& scene, int i);

// X in the camera's coordinates.
Vec ToCamera(const Camera& cam, Vec X);

// World direction of the ray through pixel (u, v); its camera-space z component is 1, so the
// ray parameter of a hit is the hit's camera depth.
Vec RayDirection(const Scene& scene, const Camera& cam, double u, double v);

// The first surface the ray from o along d meets (surface -1: none).
Hit CastRay(const Scene& scene, Vec o, Vec d);

// A hash of the lattice point (i, j) under seed: the textures' noise and the jitter of the
// tracks' grid.
uint32_t Hash(int32_t i, int32_t j, uint32_t seed);

// The colour of a surface point: the surface's own colour modulated by three octaves of value
// noise and a faint checker, enough texture for every point to be told apart from its neighbours.
RGBQUAD SurfaceColor(const Scene& scene, const Hit& hit);

// The colour of a point p of the plain room: the surface's pale paint (or a box's pastel colour)
// with its decals and skirting board, shaded by the lamp and the face direction and modulated by
// a faint mottling and a fine grain.
RGBQUAD PlainColor(const Scene& scene, const Hit& hit, Vec p);

// The test material's change of frame i's colours: the gain, then the noise, each sample rounded
// and clamped to 0..255. Nothing changes when both are off.
void ApplyGainAndNoise(const Scene& scene, int i, CxImage& image);

// Renders frame i into its picture (BMP, or JPEG with --jpeg) and its true disparity map; false
// when a file cannot be written.
bool RenderFrame(const Scene& scene, const std::string& dir, int i, const Camera& cam);

// Scene points picked on a jittered pixel grid of key frames (every tenth frame and the last),
// each followed through all frames; points seen fewer than twice are dropped. The grid spacing
// grows with the picture width, so other sizes get about as many tracks.
std::vector<Track> MakeTracks(const Scene& scene, const std::vector<Camera>& cameras);

// Writes a project file: the first image named firstImage, the cameras and the tracks as given;
// the comment line names what the file is.
bool WriteProject(const Scene& scene, const std::string& path, const char* comment,
                  const std::string& firstImage, const std::vector<Camera>& cameras,
                  const std::vector<Track>& tracks);

// What --pose-noise does to the cameras and observations that project.txt tells (the pictures
// keep the true cameras): see tools/make_sample.cpp.
void DisturbPoses(const Scene& scene, double strength, std::vector<Camera>& cameras,
                  std::vector<Track>& tracks);

}  // namespace zelsample
