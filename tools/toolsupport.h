// Pieces the depth tools share: directory and frame-number arguments, bounded integers and
// reading a raw disparity file of the working size (the command line and the project loading are
// in tools/frontend.h).
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace zeltool {

// Checks that dir is a directory and makes it end with a separator. Returns false after an
// "ERROR: Can not find the <what>: <dir>" line on messages when it is not.
bool OpenDirectoryArgument(std::string& dir, const char* what, FILE* messages);

// A frame number: decimal digits only, within int.
bool ParseFrameNumber(const char* text, int& out);

// A whole decimal integer within [lo, hi] (a sign allowed, nothing after it).
bool ParseBounded(const char* text, int lo, int hi, int& out);

// Reads a raw disparity file: width x height little-endian 32-bit floats, row 0 first, nothing
// else. On success fills values (row 0 first) and returns true. Otherwise returns false and puts
// the reason into *error, a sentence without the "ERROR: " prefix that names the file as what
// (e.g. "depth file"): the file is missing, its size is not width x height x 4 bytes (the file
// is not read at all then), or it cannot be read.
bool ReadDisparityFile(const std::string& path, const char* what, int frameNumber, int width,
                       int height, std::vector<float>& values, std::string* error);

// The name of frame index's depth file in directory dir: dir + "_depth<index>.raw" (dir ends
// with a separator or is empty).
std::string DepthFileName(const std::string& dir, int index);

}  // namespace zeltool
