// The depth-file viewer: turns a frame's depth file (DATA/_depth<frame>.raw, raw disparities of
// the working size) into a colour PNG beside it, for people to look at.
//
// Rendering: the finite disparities are clipped to a robust range (by default their 2nd and
// 98th percentiles, so a few outliers do not wash out the picture), mapped linearly onto [0, 1]
// and coloured with the viridis map, whose lightness rises steadily from dark purple (low
// disparity, far) to yellow (high disparity, near). Non-finite values (NaN, +-inf) are painted
// black, a colour the map never produces.
//
// For other tools the map is also written as a PFM (the disparities themselves) or a 16-bit
// grey PNG of depth (`--format pfm|png16`).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace zelview {

struct Rgb {
    unsigned char r;
    unsigned char g;
    unsigned char b;
};

// What RobustRange found in a map.
struct DisparityRange {
    size_t finite = 0;   // number of finite values
    size_t missing = 0;  // number of non-finite values
    double low = 0.0;    // value shown as the darkest colour; 0 when finite == 0
    double high = 0.0;   // value shown as the brightest colour; 0 when finite == 0
};

// The p-th percentile (0 <= p <= 100) of sorted, non-empty values, interpolating linearly
// between the two nearest ranks: p = 0 gives the smallest value, p = 100 the largest.
double Percentile(const std::vector<float>& sorted, double p);

// Counts the finite and non-finite values and sets low / high to the lowPercent-th and
// highPercent-th percentiles of the finite ones. Percentages are clamped to 0..100 and
// swapped when given in the wrong order.
DisparityRange RobustRange(const float* values, size_t count, double lowPercent = 2.0,
                           double highPercent = 98.0);

// The viridis colour at t, t clamped to [0, 1] (NaN counts as 0).
Rgb Viridis(double t);

// The colour of one disparity: black when v is not finite; otherwise Viridis of v's place in
// [low, high] (clamped), or the middle of the map when high <= low (a flat map).
Rgb DisparityColor(float v, double low, double high);

// Colours a width x height map (row 0 first) into 3 bytes per pixel, red, green, blue, row 0
// first. values must hold width * height elements.
std::vector<unsigned char> ColorizeDisparity(const float* values, int width, int height,
                                             const DisparityRange& range);

// Writes 8-bit RGB pixels (row 0 = top row of the picture) as a PNG file, under the scratch name
// path + ".part" first and then renamed to path, so path never holds a partial picture. Returns
// true on success; on failure returns false, removes the scratch file and puts the reason
// (libpng's or the file system's) into *error when error is given.
bool WriteRgbPng(const std::string& path, int width, int height,
                 const std::vector<unsigned char>& rgb, std::string* error);

// What the tool writes for each frame.
enum class OutputFormat {
    kColorPng,  // DATA/_depth<i>.png, the viridis picture
    kPfm,       // DATA/_depth<i>.pfm, the disparities as floats
    kPng16,     // DATA/_depth<i>_16.png, depth as 16-bit integers
};

// Writes a width x height map (row 0 = top row, width * height values) as a grey PFM: the text
// header "Pf\n<width> <height>\n-1\n" (a negative scale means little-endian) followed by the
// values as little-endian 32-bit floats, rows from the bottom row to the top row as the format
// has it. Values are written as they are, NaN and infinities included. The file is written
// whole (temporary name, then rename). Returns false with a reason in *error on failure.
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
// of the project's camera translations) and a "Description". The file is written whole.
// *scale receives the scale used (0 for a map without depth, all samples 0). Returns false with
// a reason in *error on failure.
bool WriteDepthPng16(const std::string& path, int width, int height,
                     const std::vector<float>& disparities, double* scale, std::string* error);

// Whether this build writes PNG files (libpng was found when it was configured). Without it
// WriteRgbPng and WriteDepthPng16 always fail with their reason, and so does every frame of the
// program in a PNG format.
bool CanWritePng();

// The whole program: `zel_depthview <project file> [--format png|pfm|png16] [frame ...]` (argv[0]
// is the program name). Prints its lines on standard output, usage errors on standard error.
// Returns 0 when every requested frame's picture was written, 1 otherwise (a project that cannot
// be read, a missing depth file or one whose size does not match the working size, a picture
// that cannot be written), 2 for a usage error. "--help" prints the usage and returns 0.
int DepthViewMain(int argc, const char* const argv[]);

}  // namespace zelview
