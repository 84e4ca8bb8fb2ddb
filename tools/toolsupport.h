// Pieces the depth tools share: directory and frame-number arguments and bounded integers (the
// command line and the project loading are in tools/frontend.h; depth files are read and named by
// the library, io/depthfile.h).
#pragma once

#include <cstdio>
#include <string>

namespace zeltool {

// Checks that dir is a directory and makes it end with a separator. Returns false after an
// "ERROR: Can not find the <what>: <dir>" line on messages when it is not.
bool OpenDirectoryArgument(std::string& dir, const char* what, FILE* messages);

// A frame number: decimal digits only, within int.
bool ParseFrameNumber(const char* text, int& out);

// A whole decimal integer within [lo, hi] (a sign allowed, nothing after it).
bool ParseBounded(const char* text, int lo, int hi, int& out);

}  // namespace zeltool
