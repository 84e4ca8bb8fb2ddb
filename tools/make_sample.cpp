// Writes the bundled sample project, or another synthetic scene, into the given directory.
//
//   zel_make_sample [--seed N] [--motion sideways|forward] [--size WxH] [--frames N] <directory>
//
// The scene: a textured ground plane, a back wall and four boxes, seen by a camera that moves
// sideways past them while looking at the middle of the scene (--motion forward: a camera that
// advances into the scene instead). Without options it writes the bundled sample; --seed gives
// other textures and another box layout, --size another picture size with the same field of
// view. Each frame is ray cast into img0000.bmp, img0001.bmp, ...; scene points picked on the
// surfaces are followed through every frame that sees them (inside the picture and not hidden,
// checked by casting a ray through the projection), which gives feature tracks that are exact
// projections. The project file project.txt names the images, the intrinsics, the tracks and one
// camera block per frame. groundtruth/_depth<i>.raw holds the true disparity (1/z) of frame i, in
// the layout of the program's depth files: little-endian floats, row 0 (top) first.
//
// World coordinates: X to the right, Y down, Z forward; the ground is the plane Y = kGroundY.
// Everything is deterministic: the same options write the same bytes. Every file is written under
// a scratch name and renamed into place, and project.txt is removed first and written last, so a
// directory with a project file always holds a complete scene.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "imagelib/ximage.h"

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

enum class Motion { kSideways, kForward };

struct Options {
    int width = kBaseWidth;
    int height = kBaseHeight;
    int frames = kBaseFrames;
    uint32_t seed = 0;
    Motion motion = Motion::kSideways;
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

// Seed 0 keeps the bundled sample's boxes. Any other seed places four boxes at random on the
// ground between 2 and 9.5 units ahead, where neither camera path comes near them (the sideways
// path stays behind Z = -1, the forward one behind Z = 0) and every box stands below the camera.
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

// Renders frame i into its BMP and its true disparity map; false when a file cannot be written.
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
            const Hit hit = CastRay(scene, cam.centre, RayDirection(scene, cam, col, row));
            disparity[static_cast<size_t>(row) * static_cast<size_t>(width) +
                      static_cast<size_t>(col)] =
                hit.surface >= 0 ? static_cast<float>(1.0 / hit.t) : 0.0f;
            // The picture library counts rows from the bottom.
            image.SetPixelColor(col, height - 1 - row, SurfaceColor(scene, hit));
        }
    }
    char name[64];
    std::snprintf(name, sizeof(name), "img%04d.bmp", i);
    const std::string imagePath = dir + "/" + name;
    if (!image.Save(ScratchName(imagePath).c_str(), CXIMAGE_FORMAT_BMP)) {
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

bool WriteProject(const Scene& scene, const std::string& path, const std::vector<Camera>& cameras,
                  const std::vector<Track>& tracks) {
    FILE* file = std::fopen(ScratchName(path).c_str(), "wb");
    if (file == nullptr) {
        std::fprintf(stderr, "ERROR: zel_make_sample can not write %s\n", path.c_str());
        return false;
    }
    std::fprintf(file, "#camera track project file (synthetic sample scene)\n");
    std::fprintf(file, "<Image Sequence>\nSequence:./img0000.bmp\nstart:0\nstep:1\nend:%d\n",
                 scene.frames - 1);
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

const char kUsage[] =
    "Usage: zel_make_sample [--seed N] [--motion sideways|forward] [--size WxH] [--frames N] "
    "<directory>\n";

void PrintHelp() {
    std::printf(
        "%s"
        "\n"
        "Writes a synthetic scene into <directory>: the frames img0000.bmp ..., project.txt (the\n"
        "camera-track project file with exact feature tracks) and groundtruth/_depth<i>.raw (the\n"
        "true disparity 1/z of frame i, little-endian floats, row 0 first). Without options it\n"
        "writes the bundled sample; the same options always write the same bytes.\n"
        "\n"
        "  --seed N          another scene: textures and box layout from N (0..4294967295;\n"
        "                    0, the default, is the bundled sample's)\n"
        "  --motion M        sideways (default: the camera passes the scene) or forward (the\n"
        "                    camera advances into it)\n"
        "  --size WxH        picture size, %d..%d each (default %dx%d); the field of view stays\n"
        "  --frames N        number of frames, %d..%d (default %d)\n"
        "\n"
        "Exit status: 0 when the scene was written, 1 when a file could not be written, 2 for\n"
        "bad options.\n",
        kUsage, kMinSide, kMaxSide, kBaseWidth, kBaseHeight, kMinFrames, kMaxFrames, kBaseFrames);
}

// A decimal integer in [lo, hi] that fills the whole text.
bool ParseWhole(const std::string& text, long long lo, long long hi, long long& out) {
    const char* begin = text.data();
    const char* end = begin + text.size();
    const auto result = std::from_chars(begin, end, out);
    return !text.empty() && result.ec == std::errc() && result.ptr == end && out >= lo && out <= hi;
}

// Reads the command line into options. Returns false after printing the reason for bad options.
bool ParseOptions(int argc, char** argv, Options& options, bool& help) {
    help = false;
    auto fail = [](const std::string& message) {
        std::fprintf(stderr, "ERROR: %s (zel_make_sample --help lists the options)\n",
                     message.c_str());
        return false;
    };
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            help = true;
            return true;
        }
        if (arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
            if (arg.size() > 1 && arg[0] == '-') {
                return fail("Unknown option " + arg);
            }
            if (!options.dir.empty()) {
                return fail("More than one directory given: " + options.dir + " and " + arg);
            }
            options.dir = arg;
            continue;
        }
        // --name value or --name=value.
        std::string value;
        const size_t equals = arg.find('=');
        if (equals != std::string::npos) {
            value = arg.substr(equals + 1);
            arg.resize(equals);
        } else if (arg == "--seed" || arg == "--motion" || arg == "--size" || arg == "--frames") {
            if (i + 1 >= argc) {
                return fail("Option " + arg + " needs a value");
            }
            value = argv[++i];
        } else {
            return fail("Unknown option " + arg);
        }
        long long number = 0;
        if (arg == "--seed") {
            if (!ParseWhole(value, 0, UINT32_MAX, number)) {
                return fail("Bad --seed value '" + value + "' (a whole number 0..4294967295)");
            }
            options.seed = static_cast<uint32_t>(number);
        } else if (arg == "--motion") {
            if (value == "sideways") {
                options.motion = Motion::kSideways;
            } else if (value == "forward") {
                options.motion = Motion::kForward;
            } else {
                return fail("Bad --motion value '" + value + "' (sideways or forward)");
            }
        } else if (arg == "--size") {
            const size_t x = value.find('x');
            long long w = 0;
            long long h = 0;
            if (x == std::string::npos || !ParseWhole(value.substr(0, x), kMinSide, kMaxSide, w) ||
                !ParseWhole(value.substr(x + 1), kMinSide, kMaxSide, h)) {
                return fail("Bad --size value '" + value + "' (WxH, each " +
                            std::to_string(kMinSide) + ".." + std::to_string(kMaxSide) +
                            ", e.g. 640x480)");
            }
            options.width = static_cast<int>(w);
            options.height = static_cast<int>(h);
        } else if (arg == "--frames") {
            if (!ParseWhole(value, kMinFrames, kMaxFrames, number)) {
                return fail("Bad --frames value '" + value + "' (a whole number " +
                            std::to_string(kMinFrames) + ".." + std::to_string(kMaxFrames) + ")");
            }
            options.frames = static_cast<int>(number);
        } else {
            return fail("Unknown option " + arg);
        }
    }
    if (options.dir.empty()) {
        return fail("No directory given");
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    bool help = false;
    if (!ParseOptions(argc, argv, options, help)) {
        return 2;
    }
    if (help) {
        PrintHelp();
        return 0;
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
    // The project file last: it is what the build checks for.
    const std::vector<Track> tracks = MakeTracks(scene, cameras);
    return WriteProject(scene, projectPath, cameras, tracks) ? 0 : 1;
}
