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

bool ReadDisparityFile(const std::string& path, const char* what, int frameNumber, int width,
                       int height, std::vector<float>& values, std::string* error) {
    std::string noun = what;
    std::string capital = noun;
    if (!capital.empty()) {
        capital[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(capital[0])));
    }
    auto fail = [&](const std::string& reason) {
        if (error != nullptr) {
            *error = reason;
        }
        return false;
    };
    // The file has no header: its size is the only check that it belongs to this working size,
    // and it is made before anything is allocated or read.
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
        return fail("No " + noun + " for frame " + std::to_string(frameNumber) + ": " + path);
    }
    const uintmax_t actual = std::filesystem::file_size(path, ec);
    if (ec) {
        return fail("Can not read the size of " + noun + ": " + path);
    }
    const uintmax_t expected = static_cast<uintmax_t>(width) * static_cast<uintmax_t>(height) * 4u;
    if (width <= 0 || height <= 0 || actual != expected) {
        char text[160];
        std::snprintf(text, sizeof(text),
                      " has %ju bytes, but the working size %d x %d needs %ju (%d x %d floats "
                      "of 4 bytes)",
                      actual, width, height, expected, width, height);
        return fail(capital + " " + path + text);
    }
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return fail("Can not open " + noun + ": " + path);
    }
    std::vector<unsigned char> bytes(static_cast<size_t>(expected));
    const size_t got = std::fread(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
    if (got != bytes.size()) {
        return fail("Can not read " + noun + ": " + path);
    }
    values.resize(bytes.size() / 4);
    for (size_t k = 0; k < values.size(); k++) {
        const uint32_t bits = static_cast<uint32_t>(bytes[4 * k]) |
                              static_cast<uint32_t>(bytes[4 * k + 1]) << 8 |
                              static_cast<uint32_t>(bytes[4 * k + 2]) << 16 |
                              static_cast<uint32_t>(bytes[4 * k + 3]) << 24;
        std::memcpy(&values[k], &bits, 4);
    }
    return true;
}

std::string DepthFileName(const std::string& dir, int index) {
    return dir + "_depth" + std::to_string(index) + ".raw";
}

}  // namespace zeltool
