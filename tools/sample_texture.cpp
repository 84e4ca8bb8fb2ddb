// zel_make_sample's colours: the textures of the sample scene and of the plain room, and the test
// material's gain and noise.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iterator>

#include "tools/sample_scene.h"

namespace zelsample {

uint32_t Hash(int32_t i, int32_t j, uint32_t seed) {
    uint32_t h = static_cast<uint32_t>(i) * 0x8da6b343u ^ static_cast<uint32_t>(j) * 0xd8163841u ^
                 seed * 0xcb1ab31fu;
    h ^= h >> 13;
    h *= 0x5bd1e995u;
    h ^= h >> 15;
    return h;
}

namespace {

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

}  // namespace

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

namespace {

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

}  // namespace

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

}  // namespace zelsample
