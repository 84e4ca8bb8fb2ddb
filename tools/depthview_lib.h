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
// grey PNG of depth (`--format pfm|png16`), by the library's writers (io/depthformats.h).
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

// Whether this build writes PNG files (libpng was found when it was configured). Without it
// WriteRgbPng and zelio::WriteDepthPng16 always fail with their reason, and so does every frame of
// the program in a PNG format.
bool CanWritePng();

// The whole program: `zel_depthview <project file> [--format png|pfm|png16] [frame ...]` (argv[0]
// is the program name). Prints its lines on standard output, usage errors on standard error.
// Returns 0 when every requested frame's picture was written, 1 otherwise (a project that cannot
// be read, a missing depth file or one whose size does not match the working size, a picture
// that cannot be written), 2 for a usage error. "--help" prints the usage and returns 0.
int DepthViewMain(int argc, const char* const argv[]);

}  // namespace zelview
