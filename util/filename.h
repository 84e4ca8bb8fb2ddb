// Taking paths apart and numbering frame file names. A separator is '/' or '\'; the
// extension dot is the last '.' of the whole string.
#pragma once

#include <string>

// The path up to and including the last separator; empty when there is none.
std::string Directory(const std::string& path);
// The path after the last separator; the whole path when there is none.
std::string FileName(const std::string& path);
// The file name without directory and extension.
std::string FileTitle(const std::string& path);
// The text after the last '.', without the dot; empty when there is no '.'.
std::string Extension(const std::string& path);
// The path before the last '.'; the whole path when there is no '.'.
std::string StripExtension(const std::string& path);
// The value of the digit run just before the extension dot, or -1 when there is none.
int FileNumber(const std::string& name);
// The name whose number (the digit run before the extension dot) is increment steps further,
// keeping the run's zero-padded width and widening it when the number needs more digits.
std::string IncrementFileName(const std::string& name, int increment);
