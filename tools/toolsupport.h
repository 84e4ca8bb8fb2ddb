// Pieces the depth tools share: reading a project through the library, frame numbers on the
// command line and reading a raw disparity file of the working size.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

class CZelVideoSequence;

namespace zeltool {

// Where the parser's own lines ("Total frame count:...", its warnings and errors) go while a tool
// reads the project.
enum class ParserLines {
    kStdout,  // standard output, as the library prints them
    kStderr,  // standard error, so that standard output carries only the tool's results
};

// Reads the project file at path into sequence, with the text reader's traces silenced. Returns
// true when the project parsed and has at least one frame and an image size. Otherwise prints
// one "ERROR: ..." line to messages and returns false: the file does not exist, it cannot be
// read as a project, or it has no frames or no image size.
bool LoadProject(const char* path, CZelVideoSequence& sequence, FILE* messages, ParserLines lines);

// Takes the option "--scale S" or "--scale=S" at argv[i]: S is a finite number above 0, written
// whole (no leading blank, nothing after it). Returns 0 when argv[i] is another argument, 1 when
// the option was taken (i then stands on its last word), and -1 with the reason in *problem when
// its value is missing or bad.
int TakeScaleOption(int argc, const char* const argv[], int& i, double& scale,
                    std::string* problem);

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
