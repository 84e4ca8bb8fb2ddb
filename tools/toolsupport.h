// Pieces the depth tools share: reading a project through the library and numbers on the
// command line. Depth files are read and named by the library (io/depthfile.h).
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

}  // namespace zeltool
