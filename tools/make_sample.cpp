// Writes the bundled sample project into the directory given as the only argument.
//
// The scene: a textured ground plane, a back wall and four boxes, seen by a camera that moves
// sideways past them while looking at the middle of the scene. Each of the kFrames frames is ray
// cast into img0000.bmp, img0001.bmp, ...; scene points picked on the surfaces are followed
// through every frame that sees them (inside the picture and not hidden, checked by casting a
// ray through the projection), which gives feature tracks that are exact projections. The
// project file project.txt names the images, the intrinsics, the tracks and one camera block
// per frame. groundtruth/_depth<i>.raw holds the true disparity (1/z) of frame i, in the layout
// of the program's depth files: little-endian floats, row 0 (top) first.
//
// World coordinates: X to the right, Y down, Z forward; the ground is the plane Y = kGroundY.
// Everything is deterministic: the same run writes the same bytes.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "imagelib/ximage.h"

namespace {

const int kWidth = 320;
const int kHeight = 240;
const int kFrames = 30;
const double kFocal = 300.0;
const double kCx = 160.0;
const double kCy = 120.0;
const double kGroundY = 1.5;
const double kWallZ = 12.0;
const double kPi = 3.14159265358979323846;

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

Camera FrameCamera(int i) {
    const double s = static_cast<double>(i) / (kFrames - 1);
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
Vec RayDirection(const Camera& cam, double u, double v) {
    const double dx = (u - kCx) / kFocal;
    const double dy = (v - kCy) / kFocal;
    return dx * cam.row[0] + dy * cam.row[1] + cam.row[2];
}

struct Box {
    Vec lo, hi;
    uint8_t r, g, b;
};

const Box kBoxes[] = {
    {{-2.0, 0.5, 3.0}, {-0.9, kGroundY, 4.2}, 200, 70, 55},
    {{0.4, 0.1, 5.0}, {1.6, kGroundY, 6.3}, 220, 200, 70},
    {{-0.5, 1.0, 2.0}, {0.2, kGroundY, 2.7}, 70, 170, 95},
    {{2.0, 0.7, 7.0}, {2.8, kGroundY, 8.0}, 170, 85, 190},
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

Hit CastRay(Vec o, Vec d) {
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
    for (const Box& box : kBoxes) {
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
RGBQUAD SurfaceColor(const Hit& hit) {
    static const uint8_t kGround[3] = {150, 120, 80};
    static const uint8_t kWall[3] = {90, 120, 170};
    const uint8_t* base = kGround;
    uint8_t boxColor[3];
    if (hit.surface == 1) {
        base = kWall;
    } else if (hit.surface >= 2) {
        const Box& box = kBoxes[hit.surface - 2];
        boxColor[0] = box.r;
        boxColor[1] = box.g;
        boxColor[2] = box.b;
        base = boxColor;
    }
    const uint32_t seed = static_cast<uint32_t>(hit.surface) + 1u;
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

// Renders frame i into its BMP and its true disparity map; false when a file cannot be written.
bool RenderFrame(const std::string& dir, int i, const Camera& cam) {
    CxImage image;
    if (!image.Create(kWidth, kHeight, 24, CXIMAGE_FORMAT_BMP)) {
        return false;
    }
    std::vector<float> disparity(static_cast<size_t>(kWidth) * kHeight);
    for (int row = 0; row < kHeight; row++) {
        for (int col = 0; col < kWidth; col++) {
            const Hit hit = CastRay(cam.centre, RayDirection(cam, col, row));
            disparity[static_cast<size_t>(row) * kWidth + static_cast<size_t>(col)] =
                hit.surface >= 0 ? static_cast<float>(1.0 / hit.t) : 0.0f;
            // The picture library counts rows from the bottom.
            image.SetPixelColor(col, kHeight - 1 - row, SurfaceColor(hit));
        }
    }
    char name[64];
    std::snprintf(name, sizeof(name), "img%04d.bmp", i);
    if (!image.Save((dir + "/" + name).c_str(), CXIMAGE_FORMAT_BMP)) {
        std::fprintf(stderr, "zel_make_sample: cannot write %s/%s\n", dir.c_str(), name);
        return false;
    }

    std::snprintf(name, sizeof(name), "_depth%d.raw", i);
    const std::string path = dir + "/groundtruth/" + name;
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        std::fprintf(stderr, "zel_make_sample: cannot write %s\n", path.c_str());
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
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && ok;
}

struct Observation {
    int frame;
    double u, v;
};

struct Track {
    Vec point;
    std::vector<Observation> observations;
};

// The frames that see point X: inside the picture and the first thing its ray meets.
std::vector<Observation> Observe(const std::vector<Camera>& cameras, Vec X) {
    std::vector<Observation> seen;
    for (int i = 0; i < kFrames; i++) {
        const Camera& cam = cameras[static_cast<size_t>(i)];
        const Vec c = ToCamera(cam, X);
        if (c.z <= 0.05) {
            continue;
        }
        const double u = kFocal * c.x / c.z + kCx;
        const double v = kFocal * c.y / c.z + kCy;
        if (u < 0.0 || v < 0.0 || u > kWidth - 1 || v > kHeight - 1) {
            continue;
        }
        const Hit hit = CastRay(cam.centre, RayDirection(cam, u, v));
        if (std::fabs(hit.t - c.z) > 1e-6 * c.z) {
            continue;
        }
        seen.push_back({i, u, v});
    }
    return seen;
}

// Scene points picked on a jittered pixel grid of a few key frames, each followed through all
// frames; points seen fewer than twice are dropped.
std::vector<Track> MakeTracks(const std::vector<Camera>& cameras) {
    std::vector<Track> tracks;
    const int keyFrames[] = {0, 10, 20, kFrames - 1};
    const int spacing = 24;
    for (int key : keyFrames) {
        const Camera& cam = cameras[static_cast<size_t>(key)];
        for (int gy = spacing / 2; gy < kHeight; gy += spacing) {
            for (int gx = spacing / 2; gx < kWidth; gx += spacing) {
                const uint32_t h = Hash(gx, gy, static_cast<uint32_t>(key) + 101u);
                const double u = gx + static_cast<double>(h & 0xff) / 255.0 * 8.0 - 4.0;
                const double v = gy + static_cast<double>((h >> 8) & 0xff) / 255.0 * 8.0 - 4.0;
                const Vec d = RayDirection(cam, u, v);
                const Hit hit = CastRay(cam.centre, d);
                if (hit.surface < 0) {
                    continue;
                }
                Track track;
                track.point = cam.centre + hit.t * d;
                track.observations = Observe(cameras, track.point);
                if (track.observations.size() >= 2) {
                    tracks.push_back(std::move(track));
                }
            }
        }
    }
    return tracks;
}

bool WriteProject(const std::string& path, const std::vector<Camera>& cameras,
                  const std::vector<Track>& tracks) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        std::fprintf(stderr, "zel_make_sample: cannot write %s\n", path.c_str());
        return false;
    }
    std::fprintf(file, "#camera track project file (synthetic sample scene)\n");
    std::fprintf(file, "<Image Sequence>\nSequence:./img0000.bmp\nstart:0\nstep:1\nend:%d\n",
                 kFrames - 1);
    std::fprintf(file, "</Image Sequence>\n");
    std::fprintf(file, "<intrinsic parameter>\n%.17g %.17g %.17g %.17g 0\n</intrinsic parameter>\n",
                 kFocal, kFocal, kCx, kCy);
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
    for (int i = 0; i < kFrames; i++) {
        const Camera& cam = cameras[static_cast<size_t>(i)];
        std::fprintf(file, "<FRAME%d>\n%.17g\n", i, kFocal);
        for (int r = 0; r < 3; r++) {
            std::fprintf(file, "%.17g %.17g %.17g %.17g\n", cam.row[r].x, cam.row[r].y,
                         cam.row[r].z, cam.T[r]);
        }
        std::fprintf(file, "</FRAME%d>\n", i);
    }
    std::fprintf(file, "</Camera Track>\n");
    const bool ok = std::ferror(file) == 0;
    return std::fclose(file) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: zel_make_sample <directory>\n");
        return 1;
    }
    const std::string dir = argv[1];
    std::error_code error;
    std::filesystem::create_directories(dir + "/groundtruth", error);
    if (error) {
        std::fprintf(stderr, "zel_make_sample: cannot create %s/groundtruth: %s\n", dir.c_str(),
                     error.message().c_str());
        return 1;
    }

    std::vector<Camera> cameras;
    for (int i = 0; i < kFrames; i++) {
        cameras.push_back(FrameCamera(i));
    }
    for (int i = 0; i < kFrames; i++) {
        if (!RenderFrame(dir, i, cameras[static_cast<size_t>(i)])) {
            return 1;
        }
    }
    // The project file last: it is what the build checks for.
    const std::vector<Track> tracks = MakeTracks(cameras);
    return WriteProject(dir + "/project.txt", cameras, tracks) ? 0 : 1;
}
