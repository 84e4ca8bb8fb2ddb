#include "tools/toolsupport.h"

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace zeltool {

bool OpenDirectoryArgument(std::string& dir, const char* what, FILE* messages) {
    std::error_code ec;
    if (dir.empty() || !std::filesystem::is_directory(dir, ec)) {
        std::fprintf(messages, "ERROR: Can not find the %s: %s\n", what, dir.c_str());
        return false;
    }
    if (dir.back() != '/' && dir.back() != '\\') {
        dir += '/';
    }
    return true;
}

bool ParseBounded(const char* text, int lo, int hi, int& out) {
    if (text == nullptr || *text == '\0') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi) {
        return false;
    }
    out = static_cast<int>(v);
    return true;
}

bool ParseFrameNumber(const char* text, int& out) {
    const char* end = text + std::strlen(text);
    if (text == end || !std::isdigit(static_cast<unsigned char>(*text))) {
        return false;
    }
    const auto result = std::from_chars(text, end, out);
    return result.ec == std::errc() && result.ptr == end && out >= 0;
}

}  // namespace zeltool
