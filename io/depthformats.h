// A frame's depth in formats other programs read: PFM (the disparities as floats) and a 16-bit
// grey PNG of depth. Both are written whole (temporary name, then rename).
#pragma once

#include <string>
#include <vector>

namespace zelio {

// Writes a width x height map (row 0 = top row, width * height values) as a grey PFM: the text
// header "Pf\n<width> <height>\n-1\n" (a negative scale means little-endian) followed by the
// values as little-endian 32-bit floats, rows from the bottom row to the top row as the format
// has it. Values are written as they are, NaN and infinities included. Returns false with a
// reason in *error on failure.
bool WritePfm(const std::string& path, int width, int height, const std::vector<float>& values,
              std::string* error);

// The scale of a 16-bit depth PNG for these disparities: 65535 / the largest depth 1 / d over
// the finite, positive disparities d, so that the farthest point gets the largest value. 0 when
// there is no such disparity.
double DepthPngScale(const std::vector<float>& disparities);

// Writes a map of disparities (row 0 = top row) as a 16-bit grey PNG of depth: the sample is
// round(z * scale) with z = 1 / disparity, limited to 1..65535; a disparity that is not finite or
// not positive is written as 0 (no depth). The scale is given by DepthPngScale and recorded in
// tEXt chunks: "Quantity" = "depth", "Scale" = the scale (so depth = sample / Scale, in the units
// of the project's camera translations) and a "Description". *scale receives the scale used (0
// for a map without depth, all samples 0). Returns false with a reason in *error on failure.
bool WriteDepthPng16(const std::string& path, int width, int height,
                     const std::vector<float>& disparities, double* scale, std::string* error);

// Whether this build writes PNG files (libpng was found when it was configured). Without it
// WriteDepthPng16 always fails with NoPngReason().
bool CanWritePng();
const char* NoPngReason();

}  // namespace zelio
