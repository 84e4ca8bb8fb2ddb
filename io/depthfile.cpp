#include "io/depthfile.h"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "io/byteorder.h"
#include "io/writewhole.h"

namespace zelio {

std::string DepthFileStem(const std::string& dataDir, int index) {
    return dataDir + "_depth" + std::to_string(index);
}

std::string DepthFilePath(const std::string& dataDir, int index, DepthFormat format) {
    switch (format) {
        case DepthFormat::kPfm:
            return DepthFileStem(dataDir, index) + ".pfm";
        case DepthFormat::kPng16:
            return DepthFileStem(dataDir, index) + "_16.png";
        case DepthFormat::kRaw:
            break;
    }
    return DepthFileStem(dataDir, index) + ".raw";
}

std::string ConfidenceFilePath(const std::string& dataDir, int index) {
    return dataDir + "_conf" + std::to_string(index) + ".raw";
}

RawWrite WriteRawFloats(const std::string& path, const float* values, size_t count,
                        std::string& reason) {
    bool created = true;
    auto write = [&](const std::string& partial, std::string* why) {
        errno = 0;
        FILE* file = std::fopen(partial.c_str(), "wb");
        if (file == nullptr) {
            created = false;
            *why = errno != 0 ? std::strerror(errno) : "";
            return false;
        }
        std::vector<unsigned char> bytes(count * 4);
        FloatsToLe(values, count, bytes.data());
        const size_t written = bytes.empty() ? 0 : std::fwrite(bytes.data(), 1, bytes.size(), file);
        // A full disk or a failing device must not pass as a saved map.
        const bool closed = std::fclose(file) == 0;
        if (written != bytes.size() || !closed) {
            *why = "disk full?";
            return false;
        }
        return true;
    };
    if (WriteWhole(path, write, &reason)) {
        return RawWrite::kSaved;
    }
    return created ? RawWrite::kCannotWrite : RawWrite::kCannotCreate;
}

namespace {

enum class ExactRead { kRead, kCannotOpen, kCannotRead };

// Reads count floats from a file whose size was checked to be 4 * count bytes.
ExactRead ReadKnownSize(const std::string& path, size_t count, std::vector<float>& values) {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return ExactRead::kCannotOpen;
    }
    std::vector<unsigned char> bytes(count * 4);
    const size_t got = std::fread(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
    if (got != bytes.size()) {
        return ExactRead::kCannotRead;
    }
    values.resize(count);
    FloatsFromLe(bytes.data(), count, values.data());
    return ExactRead::kRead;
}

}  // namespace

long ReadRawFloatsUpTo(const std::string& path, float* values, size_t count) {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return -1;
    }
    if (std::fgetc(file) == EOF) {
        std::fclose(file);
        return -1;
    }
    std::rewind(file);
    std::vector<unsigned char> bytes(count * 4);
    const size_t got = bytes.empty() ? 0 : std::fread(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
    FloatsFromLe(bytes.data(), got / 4, values);
    return static_cast<long>(got / 4);
}

bool ReadRawFloats(const std::string& path, size_t count, std::vector<float>& values) {
    std::error_code ec;
    const uintmax_t size = std::filesystem::file_size(path, ec);
    return !ec && size == static_cast<uintmax_t>(count) * 4u &&
           ReadKnownSize(path, count, values) == ExactRead::kRead;
}

bool ReadDepthFile(const std::string& path, const char* what, int frameNumber, int width,
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
    switch (ReadKnownSize(path, static_cast<size_t>(expected / 4), values)) {
        case ExactRead::kRead:
            return true;
        case ExactRead::kCannotOpen:
            return fail("Can not open " + noun + ": " + path);
        case ExactRead::kCannotRead:
            break;
    }
    return fail("Can not read " + noun + ": " + path);
}

}  // namespace zelio
