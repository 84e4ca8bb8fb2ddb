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
#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "imagelib/ximage.h"
#include "tools/frontend.h"

// The build says whether libjpeg is there: --jpeg needs it.
#ifndef ZEL_HAVE_JPEG
#define ZEL_HAVE_JPEG 0
#endif
#if ZEL_HAVE_JPEG
// jpeglib.h needs size_t and FILE declared before it.
// clang-format off
#include <csetjmp>
#include <jpeglib.h>
// clang-format on
#endif

namespace {

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

Vec operator+(Vec a, Vec b) {
    return {a.x + b.x, a.y + b.y, a.z + b.z};
}
Vec operator-(Vec a, Vec b) {
    return {a.x - b.x, a.y - b.y, a.z - b.z};
}
Vec operator*(double s, Vec a) {
    return {s * a.x, s * a.y, s * a.z};
}
double Dot(Vec a, Vec b) {
    return a.x * b.x + a.y * b.y + a.z * b.z;
}
Vec Cross(Vec a, Vec b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
Vec Normalize(Vec a) {
    return (1.0 / std::sqrt(Dot(a, a))) * a;
}

// A camera as the project file stores it: Xc = R * X + T (world to camera), rows of R are the
// camera's right, down and forward axes in world coordinates.
struct Camera {
    Vec row[3];
    double T[3];
    Vec centre;
};

Camera LookAt(Vec centre, Vec target) {
    Camera cam;
    const Vec forward = Normalize(target - centre);
    const Vec right = Normalize(Cross(Vec{0.0, 1.0, 0.0}, forward));
    const Vec down = Cross(forward, right);
    cam.row[0] = right;
    cam.row[1] = down;
    cam.row[2] = forward;
    for (int i = 0; i < 3; i++) {
        cam.T[i] = -Dot(cam.row[i], centre);
    }
    cam.centre = centre;
    return cam;
}

// The point the orbit circles and looks at, and the circle's radius.
const Vec kOrbitMiddle{0.0, 0.9, 5.5};
const double kOrbitRadius = 6.5;

struct Box {
    Vec lo, hi;
    uint8_t r, g, b;
};

// The bundled sample's boxes.
const Box kBoxes[] = {
    {{-2.0, 0.5, 3.0}, {-0.9, kGroundY, 4.2}, 200, 70, 55},
    {{0.4, 0.1, 5.0}, {1.6, kGroundY, 6.3}, 220, 200, 70},
    {{-0.5, 1.0, 2.0}, {0.2, kGroundY, 2.7}, 70, 170, 95},
    {{2.0, 0.7, 7.0}, {2.8, kGroundY, 8.0}, 170, 85, 190},
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
Random StreamOf(uint32_t seed, Stream stream, uint64_t index) {
    Random mix{(static_cast<uint64_t>(seed) << 32) | static_cast<uint32_t>(stream)};
    Random random{mix.Next() ^ (index * 0xd1b54a32d192ed03ull)};
    random.Next();
    return random;
}

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

// Seed 0 keeps the bundled sample's boxes. Any other seed places four boxes at random on the
// ground between 2 and 9.5 units ahead, where no camera path comes near them (the sideways path
// stays behind Z = -1, the forward one behind Z = 0, the orbit 6.5 units from (0, 5.5) in X and
// Z, farther than any box corner) and every box stands below the camera.
std::vector<Box> MakeBoxes(uint32_t seed) {
    if (seed == 0) {
        return std::vector<Box>(std::begin(kBoxes), std::end(kBoxes));
    }
    Random random{seed};
    std::vector<Box> boxes;
    for (int k = 0; k < 4; k++) {
        const double x = random.Uniform(-2.6, 2.6);
        const double z = random.Uniform(2.0, 8.5);
        const double width = random.Uniform(0.6, 1.4);
        const double depth = random.Uniform(0.6, 1.0);
        const double top = random.Uniform(-0.1, 1.1);
        Box box;
        box.lo = Vec{x - width / 2, top, z};
        box.hi = Vec{x + width / 2, kGroundY, z + depth};
        box.r = static_cast<uint8_t>(random.Uniform(60.0, 230.0));
        box.g = static_cast<uint8_t>(random.Uniform(60.0, 230.0));
        box.b = static_cast<uint8_t>(random.Uniform(60.0, 230.0));
        boxes.push_back(box);
    }
    return boxes;
}

Scene MakeScene(const Options& options) {
    Scene scene;
    scene.width = options.width;
    scene.height = options.height;
    scene.frames = options.frames;
    scene.focal = kBaseFocal * options.width / kBaseWidth;
    scene.cx = options.width / 2.0;
    scene.cy = options.height / 2.0;
    scene.seed = options.seed;
    scene.motion = options.motion;
    scene.kind = options.kind;
    scene.noise = options.noise;
    scene.gain = options.gain;
    scene.jpegQuality = options.jpegQuality;
    scene.boxes = MakeBoxes(options.seed);
    return scene;
}

Camera FrameCamera(const Scene& scene, int i) {
    const double s = static_cast<double>(i) / (scene.frames - 1);
    if (scene.motion == Motion::kForward) {
        // Advances 2.5 units along Z with a slight sway, looking a little down the scene.
        const Vec centre{0.15 * std::sin(kPi * s), -0.35 - 0.1 * s, -2.5 + 2.5 * s};
        const Vec target{0.1 * s, 0.9, 9.0};
        return LookAt(centre, target);
    }
    if (scene.motion == Motion::kOrbit) {
        // From 50 degrees left of the middle of the scene to 50 degrees right of it, 6.5 units
        // away and 2.7 above the ground, looking down at it.
        const double angle = (-50.0 + 100.0 * s) * kPi / 180.0;
        const Vec centre{kOrbitRadius * std::sin(angle), -1.2,
                         kOrbitMiddle.z - kOrbitRadius * std::cos(angle)};
        return LookAt(centre, kOrbitMiddle);
    }
    const Vec centre{-1.6 + 3.2 * s, -0.3 - 0.2 * std::sin(kPi * s), -2.0 + 1.0 * s};
    const Vec target{0.2 * s, 1.0, 5.0};
    return LookAt(centre, target);
}

Vec ToCamera(const Camera& cam, Vec X) {
    return {Dot(cam.row[0], X) + cam.T[0], Dot(cam.row[1], X) + cam.T[1],
            Dot(cam.row[2], X) + cam.T[2]};
}

// World direction of the ray through pixel (u, v); its camera-space z component is 1, so the
// ray parameter of a hit is the hit's camera depth.
Vec RayDirection(const Scene& scene, const Camera& cam, double u, double v) {
    const double dx = (u - scene.cx) / scene.focal;
    const double dy = (v - scene.cy) / scene.focal;
    return dx * cam.row[0] + dy * cam.row[1] + cam.row[2];
}

// What a ray hits: the depth, the surface (0 ground, 1 wall, 2 + box number) and the two
// texture coordinates on that surface.
struct Hit {
    double t = 1e300;
    int surface = -1;
    double s = 0.0;
    double q = 0.0;
    double light = 1.0;  // a fixed brightness per face direction, so box faces stand apart
};

void HitBox(const Box& box, int surface, Vec o, Vec d, Hit& hit) {
    const double lo[3] = {box.lo.x, box.lo.y, box.lo.z};
    const double hi[3] = {box.hi.x, box.hi.y, box.hi.z};
    const double od[3] = {o.x, o.y, o.z};
    const double dd[3] = {d.x, d.y, d.z};
    double tNear = -1e300;
    double tFar = 1e300;
    int axis = -1;
    for (int a = 0; a < 3; a++) {
        if (std::fabs(dd[a]) < 1e-15) {
            if (od[a] < lo[a] || od[a] > hi[a]) {
                return;
            }
            continue;
        }
        double t0 = (lo[a] - od[a]) / dd[a];
        double t1 = (hi[a] - od[a]) / dd[a];
        if (t0 > t1) {
            std::swap(t0, t1);
        }
        if (t0 > tNear) {
            tNear = t0;
            axis = a;
        }
        tFar = std::min(tFar, t1);
    }
    if (axis < 0 || tNear > tFar || tNear <= 1e-9 || tNear >= hit.t) {
        return;
    }
    const Vec p = o + tNear * d;
    hit.t = tNear;
    hit.surface = surface;
    if (axis == 0) {
        hit.s = p.z;
        hit.q = p.y;
        hit.light = 0.75;
    } else if (axis == 1) {
        hit.s = p.x;
        hit.q = p.z;
        hit.light = 1.15;
    } else {
        hit.s = p.x;
        hit.q = p.y;
        hit.light = 0.95;
    }
}

Hit CastRay(const Scene& scene, Vec o, Vec d) {
    Hit hit;
    if (d.y > 1e-12) {
        const double t = (kGroundY - o.y) / d.y;
        if (t > 1e-9 && t < hit.t) {
            const Vec p = o + t * d;
            hit = Hit{t, 0, p.x, p.z, 1.0};
        }
    }
    if (d.z > 1e-12) {
        const double t = (kWallZ - o.z) / d.z;
        if (t > 1e-9 && t < hit.t) {
            const Vec p = o + t * d;
            hit = Hit{t, 1, p.x, p.y, 1.0};
        }
    }
    if (scene.kind == SceneKind::kPlain) {
        // The room's side walls, numbered after the boxes.
        const int left = static_cast<int>(scene.boxes.size()) + 2;
        if (d.x < -1e-12 || d.x > 1e-12) {
            const bool right = d.x > 0.0;
            const double t = ((right ? kSideWallX : -kSideWallX) - o.x) / d.x;
            if (t > 1e-9 && t < hit.t) {
                const Vec p = o + t * d;
                hit = Hit{t, right ? left + 1 : left, p.z, p.y, 1.0};
            }
        }
    }
    int surface = 2;
    for (const Box& box : scene.boxes) {
        HitBox(box, surface++, o, d, hit);
    }
    return hit;
}

uint32_t Hash(int32_t i, int32_t j, uint32_t seed) {
    uint32_t h = static_cast<uint32_t>(i) * 0x8da6b343u ^ static_cast<uint32_t>(j) * 0xd8163841u ^
                 seed * 0xcb1ab31fu;
    h ^= h >> 13;
    h *= 0x5bd1e995u;
    h ^= h >> 15;
    return h;
}

double Lattice(int32_t i, int32_t j, uint32_t seed) {
    return static_cast<double>(Hash(i, j, seed) & 0xffffu) / 65535.0;
}

// Smooth value noise in [0, 1].
double ValueNoise(double s, double q, uint32_t seed) {
    const double fs = std::floor(s);
    const double fq = std::floor(q);
    const int32_t i = static_cast<int32_t>(fs);
    const int32_t j = static_cast<int32_t>(fq);
    double a = s - fs;
    double b = q - fq;
    a = a * a * (3.0 - 2.0 * a);
    b = b * b * (3.0 - 2.0 * b);
    const double v00 = Lattice(i, j, seed);
    const double v10 = Lattice(i + 1, j, seed);
    const double v01 = Lattice(i, j + 1, seed);
    const double v11 = Lattice(i + 1, j + 1, seed);
    return (v00 * (1 - a) + v10 * a) * (1 - b) + (v01 * (1 - a) + v11 * a) * b;
}

uint8_t Shade(uint8_t base, double light) {
    const double v = base * light;
    return static_cast<uint8_t>(std::clamp(v, 0.0, 255.0));
}

// The colour of a surface point: the surface's own colour modulated by three octaves of value
// noise and a faint checker, enough texture for every point to be told apart from its neighbours.
RGBQUAD SurfaceColor(const Scene& scene, const Hit& hit) {
    static const uint8_t kGround[3] = {150, 120, 80};
    static const uint8_t kWall[3] = {90, 120, 170};
    const uint8_t* base = kGround;
    uint8_t boxColor[3];
    if (hit.surface == 1) {
        base = kWall;
    } else if (hit.surface >= 2) {
        const Box& box = scene.boxes[static_cast<size_t>(hit.surface - 2)];
        boxColor[0] = box.r;
        boxColor[1] = box.g;
        boxColor[2] = box.b;
        base = boxColor;
    }
    // Seed 0 gives the bundled sample's textures.
    const uint32_t seed = static_cast<uint32_t>(hit.surface) + 1u + scene.seed * 1000003u;
    const double n = 0.5 * ValueNoise(hit.s * 1.5, hit.q * 1.5, seed) +
                     0.3 * ValueNoise(hit.s * 3.0, hit.q * 3.0, seed + 17u) +
                     0.2 * ValueNoise(hit.s * 6.0, hit.q * 6.0, seed + 31u);
    const bool checker =
        ((static_cast<int64_t>(std::floor(hit.s)) + static_cast<int64_t>(std::floor(hit.q))) & 1) !=
        0;
    const double light = hit.light * (0.3 + 1.0 * n) * (checker ? 0.85 : 1.0);
    RGBQUAD c;
    c.rgbRed = Shade(base[0], light);
    c.rgbGreen = Shade(base[1], light);
    c.rgbBlue = Shade(base[2], light);
    c.rgbReserved = 0;
    return c;
}

// The weight of a rectangle [s0, s1] x [q0, q1] with soft edges: 1 inside, 0 outside, a smooth
// ramp `soft` units wide across each edge.
double SoftRect(double s, double q, double s0, double s1, double q0, double q1, double soft) {
    auto ramp = [soft](double x) {
        const double a = std::clamp(x / soft + 0.5, 0.0, 1.0);
        return a * a * (3.0 - 2.0 * a);
    };
    return ramp(s - s0) * ramp(s1 - s) * ramp(q - q0) * ramp(q1 - q);
}

// A soft-edged patch of another paint on one of the plain room's surfaces.
enum class RoomSurface { kFloor, kBackWall, kLeftWall, kRightWall, kBox };
struct Decal {
    RoomSurface surface;
    double s0, s1, q0, q1;  // in the surface's texture coordinates
    double soft;
    double r, g, b;
};

// The posters (back wall: X across, Y down; side walls: Z across, Y down) and the rug on the
// floor (X, Z) of the plain room.
const Decal kDecals[] = {
    {RoomSurface::kBackWall, -2.3, -0.9, -1.5, -0.4, 0.04, 168, 176, 190},
    {RoomSurface::kBackWall, 0.9, 2.4, -1.3, -0.2, 0.04, 200, 182, 168},
    {RoomSurface::kLeftWall, 4.5, 6.5, -1.2, -0.1, 0.04, 178, 190, 170},
    {RoomSurface::kRightWall, 3.0, 5.0, -1.1, 0.0, 0.04, 196, 184, 198},
    {RoomSurface::kFloor, -1.8, 1.2, 6.8, 9.5, 0.06, 150, 138, 122},
};

// The colour of a point p of the plain room: the surface's pale paint (or a box's pastel colour)
// with its decals and skirting board, shaded by the lamp and the face direction and modulated by
// a faint mottling and a fine grain.
RGBQUAD PlainColor(const Scene& scene, const Hit& hit, Vec p) {
    RGBQUAD c{0, 0, 0, 0};
    if (hit.surface < 0) {
        return c;
    }
    const int firstSideWall = static_cast<int>(scene.boxes.size()) + 2;
    RoomSurface surface = RoomSurface::kBox;
    double paint[3] = {0.0, 0.0, 0.0};
    if (hit.surface == 0) {
        surface = RoomSurface::kFloor;
        paint[0] = 168, paint[1] = 158, paint[2] = 140;
    } else if (hit.surface == 1) {
        surface = RoomSurface::kBackWall;
        paint[0] = 214, paint[1] = 208, paint[2] = 196;
    } else if (hit.surface == firstSideWall) {
        surface = RoomSurface::kLeftWall;
        paint[0] = 190, paint[1] = 200, paint[2] = 206;
    } else if (hit.surface == firstSideWall + 1) {
        surface = RoomSurface::kRightWall;
        paint[0] = 204, paint[1] = 206, paint[2] = 186;
    } else {
        const Box& box = scene.boxes[static_cast<size_t>(hit.surface - 2)];
        paint[0] = 0.5 * box.r + 0.5 * 205;
        paint[1] = 0.5 * box.g + 0.5 * 205;
        paint[2] = 0.5 * box.b + 0.5 * 205;
    }
    auto blend = [&paint](double weight, double r, double g, double b) {
        paint[0] += weight * (r - paint[0]);
        paint[1] += weight * (g - paint[1]);
        paint[2] += weight * (b - paint[2]);
    };
    for (const Decal& decal : kDecals) {
        if (decal.surface == surface) {
            blend(SoftRect(hit.s, hit.q, decal.s0, decal.s1, decal.q0, decal.q1, decal.soft),
                  decal.r, decal.g, decal.b);
        }
    }
    if (surface == RoomSurface::kBackWall || surface == RoomSurface::kLeftWall ||
        surface == RoomSurface::kRightWall) {
        // The skirting board: the lowest 12 cm of every wall.
        blend(SoftRect(0.0, hit.q, -1.0, 1.0, kGroundY - 0.12, kGroundY + 1.0, 0.015), 232, 230,
              224);
    }
    const uint32_t seed = static_cast<uint32_t>(hit.surface) + 7919u + scene.seed * 1000003u;
    const double mottle = 2.0 * ValueNoise(hit.s * 0.35, hit.q * 0.35, seed) - 1.0;
    const double grain = 2.0 * ValueNoise(hit.s * 25.0, hit.q * 25.0, seed + 17u) - 1.0;
    const Vec lamp{0.0, -2.5, 5.0};
    const double lampLight = 0.8 + 0.2 * std::exp(-Dot(p - lamp, p - lamp) / 50.0);
    const double light = hit.light * lampLight * (1.0 + 0.035 * mottle + 0.012 * grain);
    c.rgbRed = static_cast<uint8_t>(std::clamp(paint[0] * light, 0.0, 255.0));
    c.rgbGreen = static_cast<uint8_t>(std::clamp(paint[1] * light, 0.0, 255.0));
    c.rgbBlue = static_cast<uint8_t>(std::clamp(paint[2] * light, 0.0, 255.0));
    return c;
}

// The test material's change of frame i's colours: the gain, then the noise, each sample rounded
// and clamped to 0..255. Nothing changes when both are off.
void ApplyGainAndNoise(const Scene& scene, int i, CxImage& image) {
    if (scene.gain <= 0.0 && scene.noise <= 0.0) {
        return;
    }
    double factor = 1.0;
    if (scene.gain > 0.0) {
        Random random = StreamOf(scene.seed, Stream::kGain, static_cast<uint64_t>(i));
        factor = random.Uniform(1.0 - scene.gain, 1.0 + scene.gain);
    }
    Gaussian noise{StreamOf(scene.seed, Stream::kNoise, static_cast<uint64_t>(i))};
    // Top row first, red, green, blue: the order of the draws.
    for (int row = 0; row < scene.height; row++) {
        const long y = scene.height - 1 - row;
        for (int col = 0; col < scene.width; col++) {
            RGBQUAD c = image.GetPixelColor(col, y, false);
            uint8_t* channels[3] = {&c.rgbRed, &c.rgbGreen, &c.rgbBlue};
            for (uint8_t* channel : channels) {
                double v = *channel * factor;
                if (scene.noise > 0.0) {
                    v += scene.noise * noise.Next();
                }
                *channel = static_cast<uint8_t>(std::clamp(std::lround(v), 0L, 255L));
            }
            image.SetPixelColor(col, y, c);
        }
    }
}

#if ZEL_HAVE_JPEG
struct JpegJob {
    jpeg_compress_struct cinfo;
    jpeg_error_mgr errors;
    std::jmp_buf jump;
};

void OnJpegError(j_common_ptr cinfo) {
    std::longjmp(static_cast<JpegJob*>(cinfo->client_data)->jump, 1);
}

// Compresses width x height pixels of rgb (rows top first) at the quality into file. libjpeg's
// errors jump back here, so the function owns no C++ object with a destructor.
bool CompressJpeg(const uint8_t* rgb, int width, int height, int quality, FILE* file) {
    JpegJob job;
    job.cinfo.err = jpeg_std_error(&job.errors);
    job.errors.error_exit = OnJpegError;
    job.cinfo.client_data = &job;
    if (setjmp(job.jump) != 0) {
        jpeg_destroy_compress(&job.cinfo);
        return false;
    }
    jpeg_create_compress(&job.cinfo);
    jpeg_stdio_dest(&job.cinfo, file);
    job.cinfo.image_width = static_cast<JDIMENSION>(width);
    job.cinfo.image_height = static_cast<JDIMENSION>(height);
    job.cinfo.input_components = 3;
    job.cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&job.cinfo);
    jpeg_set_quality(&job.cinfo, quality, TRUE);
    jpeg_start_compress(&job.cinfo, TRUE);
    while (job.cinfo.next_scanline < job.cinfo.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(rgb + static_cast<size_t>(job.cinfo.next_scanline) *
                                                      static_cast<size_t>(width) * 3);
        jpeg_write_scanlines(&job.cinfo, &row, 1);
    }
    jpeg_finish_compress(&job.cinfo);
    jpeg_destroy_compress(&job.cinfo);
    return true;
}
#endif

// The scratch name a file is written under before it is renamed into place.
std::string ScratchName(const std::string& path) {
    return path + ".part";
}

// Renames a finished scratch file into place; false (and the scratch file removed) on failure.
bool Publish(const std::string& path) {
    std::error_code error;
    std::filesystem::rename(ScratchName(path), path, error);
    if (error) {
        std::fprintf(stderr, "ERROR: zel_make_sample can not write %s: %s\n", path.c_str(),
                     error.message().c_str());
        std::filesystem::remove(ScratchName(path), error);
        return false;
    }
    return true;
}

// Writes the picture as a JPEG file of the quality at path; false when it cannot be written (or
// the build has no libjpeg, which the options refuse before).
bool SaveJpeg(const CxImage& image, int quality, const std::string& path) {
#if ZEL_HAVE_JPEG
    const size_t width = image.GetWidth();
    const size_t height = image.GetHeight();
    // The picture's rows are blue, green, red and bottom first; libjpeg takes red, green, blue,
    // top first.
    std::vector<uint8_t> rgb(width * height * 3);
    const uint8_t* bgr = image.GetBits();
    for (size_t row = 0; row < height; row++) {
        const uint8_t* from = bgr + (height - 1 - row) * width * 3;
        uint8_t* to = rgb.data() + row * width * 3;
        for (size_t k = 0; k < width; k++) {
            to[3 * k] = from[3 * k + 2];
            to[3 * k + 1] = from[3 * k + 1];
            to[3 * k + 2] = from[3 * k];
        }
    }
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    const bool encoded =
        CompressJpeg(rgb.data(), static_cast<int>(width), static_cast<int>(height), quality, file);
    const bool written = encoded && std::ferror(file) == 0;
    return std::fclose(file) == 0 && written;
#else
    (void)image;
    (void)quality;
    (void)path;
    return false;
#endif
}

// Renders frame i into its picture (BMP, or JPEG with --jpeg) and its true disparity map; false
// when a file cannot be written.
bool RenderFrame(const Scene& scene, const std::string& dir, int i, const Camera& cam) {
    const int width = scene.width;
    const int height = scene.height;
    CxImage image;
    if (!image.Create(static_cast<uint32_t>(width), static_cast<uint32_t>(height), 24,
                      CXIMAGE_FORMAT_BMP)) {
        std::fprintf(stderr, "ERROR: zel_make_sample can not make a %d x %d picture\n", width,
                     height);
        return false;
    }
    std::vector<float> disparity(static_cast<size_t>(width) * static_cast<size_t>(height));
    for (int row = 0; row < height; row++) {
        for (int col = 0; col < width; col++) {
            const Vec d = RayDirection(scene, cam, col, row);
            const Hit hit = CastRay(scene, cam.centre, d);
            disparity[static_cast<size_t>(row) * static_cast<size_t>(width) +
                      static_cast<size_t>(col)] =
                hit.surface >= 0 ? static_cast<float>(1.0 / hit.t) : 0.0f;
            // The picture library counts rows from the bottom.
            image.SetPixelColor(col, height - 1 - row,
                                scene.kind == SceneKind::kPlain
                                    ? PlainColor(scene, hit, cam.centre + hit.t * d)
                                    : SurfaceColor(scene, hit));
        }
    }
    ApplyGainAndNoise(scene, i, image);
    char name[64];
    std::snprintf(name, sizeof(name), "img%04d.%s", i, scene.jpegQuality > 0 ? "jpg" : "bmp");
    const std::string imagePath = dir + "/" + name;
    const bool saved = scene.jpegQuality > 0
                           ? SaveJpeg(image, scene.jpegQuality, ScratchName(imagePath))
                           : image.Save(ScratchName(imagePath).c_str(), CXIMAGE_FORMAT_BMP);
    if (!saved) {
        std::fprintf(stderr, "ERROR: zel_make_sample can not write %s\n", imagePath.c_str());
        std::error_code error;
        std::filesystem::remove(ScratchName(imagePath), error);
        return false;
    }
    if (!Publish(imagePath)) {
        return false;
    }

    std::snprintf(name, sizeof(name), "_depth%d.raw", i);
    const std::string path = dir + "/groundtruth/" + name;
    FILE* file = std::fopen(ScratchName(path).c_str(), "wb");
    if (file == nullptr) {
        std::fprintf(stderr, "ERROR: zel_make_sample can not write %s\n", path.c_str());
        return false;
    }
    std::vector<uint8_t> bytes(disparity.size() * 4);
    for (size_t k = 0; k < disparity.size(); k++) {
        uint32_t bits;
        std::memcpy(&bits, &disparity[k], 4);
        for (int b = 0; b < 4; b++) {
            bytes[k * 4 + static_cast<size_t>(b)] = static_cast<uint8_t>(bits >> (8 * b));
        }
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    if (std::fclose(file) != 0 || !written) {
        std::fprintf(stderr, "ERROR: zel_make_sample can not write %s\n", path.c_str());
        std::error_code error;
        std::filesystem::remove(ScratchName(path), error);
        return false;
    }
    return Publish(path);
}

struct Observation {
    int frame;
    double u, v;
};

struct Track {
    Vec point;
    std::vector<Observation> observations;
};

// The frames that see point X: in front of the camera, inside the picture and the first thing
// its ray meets.
std::vector<Observation> Observe(const Scene& scene, const std::vector<Camera>& cameras, Vec X) {
    std::vector<Observation> seen;
    for (int i = 0; i < scene.frames; i++) {
        const Camera& cam = cameras[static_cast<size_t>(i)];
        const Vec c = ToCamera(cam, X);
        if (c.z <= 0.05) {
            continue;
        }
        const double u = scene.focal * c.x / c.z + scene.cx;
        const double v = scene.focal * c.y / c.z + scene.cy;
        if (u < 0.0 || v < 0.0 || u > scene.width - 1 || v > scene.height - 1) {
            continue;
        }
        const Hit hit = CastRay(scene, cam.centre, RayDirection(scene, cam, u, v));
        if (std::fabs(hit.t - c.z) > 1e-6 * c.z) {
            continue;
        }
        seen.push_back({i, u, v});
    }
    return seen;
}

// Scene points picked on a jittered pixel grid of key frames (every tenth frame and the last),
// each followed through all frames; points seen fewer than twice are dropped. The grid spacing
// grows with the picture width, so other sizes get about as many tracks.
std::vector<Track> MakeTracks(const Scene& scene, const std::vector<Camera>& cameras) {
    std::vector<Track> tracks;
    std::vector<int> keyFrames;
    for (int key = 0; key < scene.frames - 1; key += 10) {
        keyFrames.push_back(key);
    }
    keyFrames.push_back(scene.frames - 1);
    const int spacing = std::max(8, static_cast<int>(std::lround(24.0 * scene.width / kBaseWidth)));
    const double jitter = spacing / 3.0;
    for (int key : keyFrames) {
        const Camera& cam = cameras[static_cast<size_t>(key)];
        for (int gy = spacing / 2; gy < scene.height; gy += spacing) {
            for (int gx = spacing / 2; gx < scene.width; gx += spacing) {
                const uint32_t h = Hash(gx, gy, static_cast<uint32_t>(key) + 101u);
                const double u = gx + static_cast<double>(h & 0xff) / 255.0 * jitter - jitter / 2.0;
                const double v =
                    gy + static_cast<double>((h >> 8) & 0xff) / 255.0 * jitter - jitter / 2.0;
                const Vec d = RayDirection(scene, cam, u, v);
                const Hit hit = CastRay(scene, cam.centre, d);
                if (hit.surface < 0) {
                    continue;
                }
                Track track;
                track.point = cam.centre + hit.t * d;
                track.observations = Observe(scene, cameras, track.point);
                if (track.observations.size() >= 2) {
                    tracks.push_back(std::move(track));
                }
            }
        }
    }
    return tracks;
}

// Writes a project file: the first image named firstImage, the cameras and the tracks as given;
// the comment line names what the file is.
bool WriteProject(const Scene& scene, const std::string& path, const char* comment,
                  const std::string& firstImage, const std::vector<Camera>& cameras,
                  const std::vector<Track>& tracks) {
    FILE* file = std::fopen(ScratchName(path).c_str(), "wb");
    if (file == nullptr) {
        std::fprintf(stderr, "ERROR: zel_make_sample can not write %s\n", path.c_str());
        return false;
    }
    std::fprintf(file, "#camera track project file (%s)\n", comment);
    std::fprintf(file, "<Image Sequence>\nSequence:%s\nstart:0\nstep:1\nend:%d\n",
                 firstImage.c_str(), scene.frames - 1);
    std::fprintf(file, "</Image Sequence>\n");
    std::fprintf(file, "<intrinsic parameter>\n%.17g %.17g %.17g %.17g 0\n</intrinsic parameter>\n",
                 scene.focal, scene.focal, scene.cx, scene.cy);
    std::fprintf(file, "<Feature Tracks>\n%d\n", static_cast<int>(tracks.size()));
    int id = 0;
    for (const Track& track : tracks) {
        std::fprintf(file, "%d %d 0 %.17g %.17g %.17g\n",
                     static_cast<int>(track.observations.size()), id++, track.point.x,
                     track.point.y, track.point.z);
        for (const Observation& o : track.observations) {
            std::fprintf(file, "%d %.17g %.17g\n", o.frame, o.u, o.v);
        }
    }
    std::fprintf(file, "</Feature Tracks>\n<Camera Track>\n");
    for (int i = 0; i < scene.frames; i++) {
        const Camera& cam = cameras[static_cast<size_t>(i)];
        std::fprintf(file, "<FRAME%d>\n%.17g\n", i, scene.focal);
        for (int r = 0; r < 3; r++) {
            std::fprintf(file, "%.17g %.17g %.17g %.17g\n", cam.row[r].x, cam.row[r].y,
                         cam.row[r].z, cam.T[r]);
        }
        std::fprintf(file, "</FRAME%d>\n", i);
    }
    std::fprintf(file, "</Camera Track>\n");
    const bool written = std::ferror(file) == 0;
    if (std::fclose(file) != 0 || !written) {
        std::fprintf(stderr, "ERROR: zel_make_sample can not write %s\n", path.c_str());
        std::error_code error;
        std::filesystem::remove(ScratchName(path), error);
        return false;
    }
    return Publish(path);
}

// A camera turned by angle (radians) about the unit axis (in camera coordinates) and moved to
// centre + offset.
Camera Disturb(const Camera& cam, Vec axis, double angle, Vec offset) {
    // Rodrigues: Q = cos(a) I + sin(a) [k]x + (1 - cos(a)) k k^T.
    const double c = std::cos(angle);
    const double s = std::sin(angle);
    const double k[3] = {axis.x, axis.y, axis.z};
    const double cross[3][3] = {
        {0.0, -axis.z, axis.y}, {axis.z, 0.0, -axis.x}, {-axis.y, axis.x, 0.0}};
    Camera out;
    for (int i = 0; i < 3; i++) {
        Vec row{0.0, 0.0, 0.0};
        for (int j = 0; j < 3; j++) {
            const double q = (i == j ? c : 0.0) + s * cross[i][j] + (1.0 - c) * k[i] * k[j];
            row = row + q * cam.row[j];
        }
        out.row[i] = row;
    }
    out.centre = cam.centre + offset;
    for (int i = 0; i < 3; i++) {
        out.T[i] = -Dot(out.row[i], out.centre);
    }
    return out;
}

// What --pose-noise does to the cameras and observations that project.txt tells (the pictures
// keep the true cameras): see the header comment.
void DisturbPoses(const Scene& scene, double strength, std::vector<Camera>& cameras,
                  std::vector<Track>& tracks) {
    double baseline = 0.0;
    for (size_t i = 1; i < cameras.size(); i++) {
        const Vec step = cameras[i].centre - cameras[i - 1].centre;
        baseline += std::sqrt(Dot(step, step));
    }
    baseline /= static_cast<double>(cameras.size() - 1);
    // A 3D Gaussian with this deviation per axis has an RMS length of strength * baseline.
    const double shift = strength * baseline / std::sqrt(3.0);
    for (size_t i = 0; i < cameras.size(); i++) {
        Gaussian random{StreamOf(scene.seed, Stream::kPose, i)};
        const double z = random.random.Uniform(-1.0, 1.0);
        const double phi = random.random.Uniform(0.0, 2.0 * kPi);
        const double r = std::sqrt(std::max(0.0, 1.0 - z * z));
        const Vec axis{r * std::cos(phi), r * std::sin(phi), z};
        const double angle = strength * random.Next() * kPi / 180.0;
        const double dx = random.Next();
        const double dy = random.Next();
        const double dz = random.Next();
        cameras[i] = Disturb(cameras[i], axis, angle, shift * Vec{dx, dy, dz});
    }
    for (size_t t = 0; t < tracks.size(); t++) {
        Gaussian random{StreamOf(scene.seed, Stream::kObservations, t)};
        for (Observation& o : tracks[t].observations) {
            const double du = random.Next();
            const double dv = random.Next();
            o.u = std::clamp(o.u + kObservationNoise * du, 0.0, scene.width - 1.0);
            o.v = std::clamp(o.v + kObservationNoise * dv, 0.0, scene.height - 1.0);
        }
    }
}

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

// Reads the command line into options. Returns -1 to go on, or the exit status to end with (0
// after --help, 2 after a usage error).
int ParseOptions(int argc, const char* const argv[], Options& options) {
    zeltool::CommandLine line(zeltool::ErrorStyle(" (zel_make_sample --help lists the options)"),
                              PrintHelp);
    const std::string frames = std::to_string(kMinFrames) + ".." + std::to_string(kMaxFrames);
    const std::string sides = std::to_string(kMinSide) + ".." + std::to_string(kMaxSide);
    const std::string badFrames = "Bad --frames value '%v' (a whole number " + frames + ")";
    const std::string badSize = "Bad --size value '%v' (WxH, each " + sides + ", e.g. 640x480)";
    line.Custom("--seed", "N", [&options](const char* v) {
        long long number = 0;
        if (!ParseWhole(v, 0, UINT32_MAX, number)) {
            return false;
        }
        options.seed = static_cast<uint32_t>(number);
        return true;
    });
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
    line.Custom("--jpeg", "Q", [&options](const char* v) {
        long long number = 0;
        if (!ParseWhole(v, 1, 100, number)) {
            return false;
        }
        options.jpegQuality = static_cast<int>(number);
        return true;
    });
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
    line.Custom("--frames", "N", [&options](const char* v) {
        long long number = 0;
        if (!ParseWhole(v, kMinFrames, kMaxFrames, number)) {
            return false;
        }
        options.frames = static_cast<int>(number);
        return true;
    });
    line.BadValue(badFrames.c_str());
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
