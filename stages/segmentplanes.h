// Colour segments of a picture, and planes fitted to a disparity map over them.
//
// Where a surface has too little texture for window matching (magnified ground near the camera,
// the band beside a near edge that half the views cannot see), its disparities wander by a few
// percent in patches. The inverse depth of a planar surface is affine in the pixel coordinates,
// so a plane fitted to the well-matched parts of a segment of similar colour gives those
// patches back their value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Segments of similar colour: 8-connected pixels are merged in order of their colour difference
// while the difference stays within both segments' largest inner difference plus scale / size;
// segments smaller than minSize are then merged into a neighbour. rgb holds three values per
// pixel (W x H, row-major). Returns each pixel's segment, numbered 0 .. count - 1.
std::vector<int> SegmentColours(int W, int H, const std::vector<float>& rgb, float scale,
                                int minSize, int& count);

struct ZelPlaneFit {
    float inlier = 0.01f;  // relative distance within which a disparity supports a plane
    float guard = 0.10f;   // pixels farther than this (relative) from the plane keep their value
    float minChecked = 0.25f;  // share of a segment that must be checked for the mask to count
    int samples = 200;         // random three-pixel samples tried per segment
    uint32_t seed = 1;         // the samples' sequence, so that runs repeat exactly
};

// Fits a plane d = a x + b y + c to each segment's finite disparities: of the planes through
// random samples of three pixels, the one most pixels lie within fit.inlier of, refitted by
// least squares to those. Where such a plane holds at least half of the segment, the segment's
// pixels within fit.guard of it move onto it; pixels of another surface in the same segment stay
// as they are, and so do NaN pixels. With a checked mask (one value per pixel, nonzero where
// other views confirmed the disparity), only the checked pixels choose the plane and are held by
// the guard, and the unchecked ones all take it; a segment less than fit.minChecked checked is
// fitted as without a mask. Returns the number of pixels moved.
size_t FitSegmentPlanes(int W, const std::vector<int>& segment, int count, const ZelPlaneFit& fit,
                        std::vector<float>& disparity,
                        const std::vector<uint8_t>* checked = nullptr);
