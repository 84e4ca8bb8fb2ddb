// Depth-map fusion: turns the frames' depth files (DATA/_depth<i>.raw) into one coloured point
// cloud, written as a binary little-endian PLY file.
//
// Every pixel with a finite, positive disparity d of a chosen frame i is back-projected to the
// world point X of the frame's camera at depth 1 / d and takes the frame's colour there. The
// point is checked against the depth maps of the other frames nearest to i (up to N - 1 on each
// side within the chosen range, N = the minimum number of views): X is projected into frame j,
// and j agrees when X lands inside the picture in front of the camera and the reprojected
// disparity d' of X differs from j's stored disparity s at that position (bilinear over the four
// nearest pixels, all finite and positive) by at most tolerance * s. A point is kept when at
// least N - 1 frames agree (N = 1 keeps every point).
//
// Duplicates: a surface that several frames see would otherwise come out once per frame. A
// point is written only by the first frame that sees it consistently: when a frame before i
// (within the check window) agrees with the point, frame i drops it as a duplicate, since that
// earlier frame saw the same surface there.
//
// Memory: the depth maps of the frames inside the check window (at most 2 max(N - 1, 1) + 1
// maps) and one frame's colour image; points go to the output file as they are made.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class CCamera;

namespace zelfuse {

constexpr int kDefaultMinViews = 3;
constexpr double kDefaultTolerance = 0.01;  // relative disparity difference

// One frame handed to the fusion: its position in the sequence, camera (camera-to-world pose,
// as the parser leaves it) and disparity map of width x height (row 0 = top), plus its colour
// image (3 bytes per pixel, red, green, blue, row 0 = top; empty when not loaded).
struct FrameView {
    int index = 0;
    const CCamera* camera = nullptr;
    bool useScaledK = false;
    int width = 0;
    int height = 0;
    std::vector<float> disparity;
    std::vector<unsigned char> rgb;
    std::vector<float> confidence;  // per pixel, 0 .. 1 (DATA/_conf<i>.raw); empty: not read
};

struct PlyPoint {
    float x;
    float y;
    float z;
    unsigned char r;
    unsigned char g;
    unsigned char b;
};

// What the fusion of one frame found.
struct FrameResult {
    size_t pointsIn = 0;    // pixels with a finite, positive disparity
    size_t kept = 0;        // written
    size_t fewViews = 0;    // fewer than N - 1 other frames agreed
    size_t duplicates = 0;  // an earlier frame agreed: already written there
    size_t unsure = 0;      // confidence below the minimum
};

// Whether frame `other` agrees with world point X (see the header comment).
bool Agrees(const FrameView& other, const double X[3], double tolerance);

// Fuses the reference frame against its neighbours (the frames of the check window, nearest
// first, excluding the reference itself). Appends the kept points to *out. Pixels whose
// confidence (when the reference holds one) is below minConfidence are left out.
FrameResult FuseFrame(const FrameView& reference, const std::vector<const FrameView*>& neighbours,
                      int minViews, double tolerance, std::vector<PlyPoint>* out,
                      double minConfidence = 0.0);

// The header of a binary little-endian PLY file of `count` vertices with x y z float and
// red green blue uchar, padded with a comment to exactly `length` bytes when length is larger
// than the header needs (so that the count can be rewritten in place once known).
std::string PlyHeader(uint64_t count, size_t length = 0);

// Appends the points as PLY vertex records (15 bytes each, little-endian).
void AppendPlyVertices(const std::vector<PlyPoint>& points, std::string* out);

// The whole program: `zel_fuse <project file> [--frames FIRST:LAST] [--min-views N]
// [--tolerance T] [--out FILE.ply]` (argv[0] is the program name). Warnings and the summary go
// to standard output, progress to standard error. Returns 0 on success, 1 on failure (a project
// that cannot be read, no depth file at all, an output that cannot be written), 2 for a usage
// error.
int FuseMain(int argc, const char* const argv[]);

}  // namespace zelfuse
