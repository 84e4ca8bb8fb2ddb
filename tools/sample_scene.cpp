// zel_make_sample's scene: the boxes of a seed, the cameras along the motion and the ray casting.
#include "tools/sample_scene.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <vector>

namespace zelsample {

namespace {

// The point the orbit circles and looks at, and the circle's radius.
const Vec kOrbitMiddle{0.0, 0.9, 5.5};
const double kOrbitRadius = 6.5;

// The bundled sample's boxes.
const Box kBoxes[] = {
    {{-2.0, 0.5, 3.0}, {-0.9, kGroundY, 4.2}, 200, 70, 55},
    {{0.4, 0.1, 5.0}, {1.6, kGroundY, 6.3}, 220, 200, 70},
    {{-0.5, 1.0, 2.0}, {0.2, kGroundY, 2.7}, 70, 170, 95},
    {{2.0, 0.7, 7.0}, {2.8, kGroundY, 8.0}, 170, 85, 190},
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

}  // namespace

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

Random StreamOf(uint32_t seed, Stream stream, uint64_t index) {
    Random mix{(static_cast<uint64_t>(seed) << 32) | static_cast<uint32_t>(stream)};
    Random random{mix.Next() ^ (index * 0xd1b54a32d192ed03ull)};
    random.Next();
    return random;
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

Vec RayDirection(const Scene& scene, const Camera& cam, double u, double v) {
    const double dx = (u - scene.cx) / scene.focal;
    const double dy = (v - scene.cy) / scene.focal;
    return dx * cam.row[0] + dy * cam.row[1] + cam.row[2];
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

}  // namespace zelsample
