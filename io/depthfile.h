// Depth files: a frame's disparity map as raw floats, and the names of a frame's files.
//
// Raw layout: no header; width x height IEEE-754 single-precision values in little-endian byte
// order, row 0 (the top) first and, within a row, column 0 first. Nothing records the size: a
// reader takes the working size of its run and checks the file against it.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace zelio {

// The formats a frame's depth can be written in.
enum class DepthFormat {
    kRaw,    // _depth<i>.raw: the disparities as raw floats (the toolkit's own files)
    kPfm,    // _depth<i>.pfm: the disparities as a grey little-endian PFM
    kPng16,  // _depth<i>_16.png: depth (1 / disparity) as a 16-bit grey PNG
};

// dataDir + "_depth<index>", the index in decimal without zero fill; the stem of every file of
// a frame's depth.
std::string DepthFileStem(const std::string& dataDir, int index);

// The name of frame index's depth file in the format, in dataDir (which ends with a separator
// or is empty): the stem and ".raw", ".pfm" or "_16.png".
std::string DepthFilePath(const std::string& dataDir, int index,
                          DepthFormat format = DepthFormat::kRaw);

// dataDir + "_conf<index>.raw": how sure each pixel of the depth file is, in the same layout.
std::string ConfidenceFilePath(const std::string& dataDir, int index);

enum class RawWrite { kSaved, kCannotCreate, kCannotWrite };

// Writes count floats to path whole (temporary name, then rename). kCannotCreate when the
// temporary file cannot be made; kCannotWrite when writing, closing or renaming it fails.
// reason receives the system's words, when there are any.
RawWrite WriteRawFloats(const std::string& path, const float* values, size_t count,
                        std::string& reason);

// Reads up to count leading floats of path into values[0..], leaving the rest as they are (a
// final partial element is not read). Returns the number of floats read, or -1 when the file
// cannot be opened or is empty.
long ReadRawFloatsUpTo(const std::string& path, float* values, size_t count);

// Reads a file of exactly count floats into values; false when it is missing, has another size
// (checked before anything is allocated) or cannot be read.
bool ReadRawFloats(const std::string& path, size_t count, std::vector<float>& values);

// Reads a depth file of the working size width x height into values (row 0 first). Otherwise
// returns false and puts the reason into *error, a sentence without the "ERROR: " prefix that
// names the file as what (e.g. "depth file"): the file is missing, its size is not
// width x height x 4 bytes (the file is not read at all then), or it cannot be read.
bool ReadDepthFile(const std::string& path, const char* what, int frameNumber, int width,
                   int height, std::vector<float>& values, std::string* error);

}  // namespace zelio
