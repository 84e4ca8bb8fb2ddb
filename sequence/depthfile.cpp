// Depth files: a frame's disparity map stored as raw floats in the data directory.
//
// File layout: no header; width x height IEEE-754 single-precision values in little-endian byte
// order, row 0 first and, within a row, column 0 first. Nothing records the size: the reader
// uses the working size of the run. A 1-channel float grid has no row padding, so the file is
// the grid's buffer byte for byte (on a little-endian host).
//
// Every depth file is named dataDir + "_depth<index>.raw" whatever the working size: a file
// written while the reduced size is set holds the reduced map, and the reader takes the working
// size of its own run, so writer and reader must agree on the reduced switch.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "platform/platform.h"
#include "sequence/videoframe.h"
#include "util/writewhole.h"

namespace {

// The path of the depth file of frame `index`: dataDir + "_depth" + index + ".raw", the index
// in decimal without zero fill. Composed without a length limit.
std::string DepthFilePath(const std::string& dataDir, int index) {
    return dataDir + "_depth" + std::to_string(index) + ".raw";
}

bool HostIsLittleEndian() {
    const uint32_t one = 1;
    unsigned char first = 0;
    std::memcpy(&first, &one, 1);
    return first == 1;
}

// Reverses the bytes of each 4-byte element in place (the first count / 4 elements).
void SwapFloatBytes(unsigned char* bytes, size_t count) {
    for (size_t i = 0; i + 4 <= count; i += 4) {
        unsigned char* e = bytes + i;
        unsigned char t = e[0];
        e[0] = e[3];
        e[3] = t;
        t = e[1];
        e[1] = e[2];
        e[2] = t;
    }
}

}  // namespace

namespace {

enum class DepthWrite { kSaved, kNoMap, kCannotCreate, kCannotWrite };

// Writes map whole to path: the floats go to a temporary file beside it, which is renamed to
// path when complete. kCannotCreate when the temporary file cannot be made; kCannotWrite when
// writing, closing or renaming it fails. reason receives the system's words, when there are any.
DepthWrite WriteDepth(const ZImage<float>* map, const std::string& path, std::string& reason) {
    if (map == nullptr) {
        return DepthWrite::kNoMap;
    }
    bool created = true;
    auto write = [&](const std::string& partial, std::string* why) {
        errno = 0;
        FILE* file = std::fopen(partial.c_str(), "wb");
        if (file == nullptr) {
            created = false;
            *why = errno != 0 ? std::strerror(errno) : "";
            return false;
        }
        const size_t byteSize = static_cast<size_t>(map->GetByteSize());
        const unsigned char* data = map->GetData();
        size_t written = 0;
        if (byteSize == 0) {
            written = 0;
        } else if (HostIsLittleEndian()) {
            written = std::fwrite(data, 1, byteSize, file);
        } else {
            std::string bytes(reinterpret_cast<const char*>(data), byteSize);
            SwapFloatBytes(reinterpret_cast<unsigned char*>(&bytes[0]), byteSize);
            written = std::fwrite(bytes.data(), 1, byteSize, file);
        }
        // A full disk or a failing device must not pass as a saved map.
        const bool closed = std::fclose(file) == 0;
        if (written != byteSize || !closed) {
            *why = "disk full?";
            return false;
        }
        return true;
    };
    if (zelutil::WriteWhole(path, write, &reason)) {
        return DepthWrite::kSaved;
    }
    return created ? DepthWrite::kCannotWrite : DepthWrite::kCannotCreate;
}

}  // namespace

void CZelVideoFrame::SaveDepthFile() {
    const std::string path = DepthFilePath(dataDir, index);
    std::string reason;
    switch (WriteDepth(dspImg, path, reason)) {
        case DepthWrite::kSaved:
            break;
        case DepthWrite::kNoMap:
            std::printf("ERROR! No dspImg is saved!!\n");
            break;
        case DepthWrite::kCannotCreate:
            // No line break: the key prompt follows on the same line.
            std::printf("ERROR: Can not create depth file: %s", path.c_str());
            std::fflush(stdout);
            WaitForKey();
            break;
        case DepthWrite::kCannotWrite:
            std::printf("ERROR: Can not write depth file: %s\n", path.c_str());
            break;
    }
}

namespace {

// Writes grid to path; false with the error line ("ERROR: Can not create <what>: <path>
// (<reason>)" or "ERROR: Can not write ...") in error.
bool WriteGridFile(const ZImage<float>& grid, const std::string& path, const char* what,
                   std::string& error) {
    std::string reason;
    switch (WriteDepth(&grid, path, reason)) {
        case DepthWrite::kSaved:
            return true;
        case DepthWrite::kNoMap:
        case DepthWrite::kCannotCreate:
            error = std::string("ERROR: Can not create ") + what + ": " + path;
            break;
        case DepthWrite::kCannotWrite:
            error = std::string("ERROR: Can not write ") + what + ": " + path;
            break;
    }
    if (!reason.empty()) {
        error += " (" + reason + ")";
    }
    return false;
}

}  // namespace

bool CZelVideoFrame::WriteDepthFile(std::string& error) const {
    if (dspImg == nullptr) {
        error = "ERROR: No depth map to save for frame " + std::to_string(index);
        return false;
    }
    return WriteGridFile(*dspImg, DepthFilePath(dataDir, index), "depth file", error);
}

bool CZelVideoFrame::WriteConfidenceFile(const ZImage<float>& confidence,
                                         std::string& error) const {
    return WriteGridFile(confidence, dataDir + "_conf" + std::to_string(index) + ".raw",
                         "confidence file", error);
}

bool CZelVideoFrame::LoadDepthFile() {
    // Elements the file does not provide read as 0. A map that cannot be made at the working
    // size leaves the frame without one.
    if (!CreateDisparityMap(0.0f)) {
        std::printf("ERROR: Can not allocate a depth map of %d x %d\n", GetWorkingWidth(),
                    GetWorkingHeight());
        return false;
    }
    unsigned char* data = dspImg->GetData();
    const size_t byteSize = static_cast<size_t>(dspImg->GetByteSize());

    const std::string path = DepthFilePath(dataDir, index);
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        std::printf("Warning : No depth file: %s\n", path.c_str());
        return false;
    }
    if (std::fgetc(file) == EOF) {
        std::printf("Warning : No depth file: %s\n", path.c_str());
        std::fclose(file);
        return false;
    }
    std::rewind(file);
    const size_t got = byteSize > 0 ? std::fread(data, 1, byteSize, file) : 0;
    std::fclose(file);
    // A file shorter than the map fills only its leading whole elements; the bytes of a final
    // partial element are cleared again so that no element is half read.
    const size_t whole = got / 4 * 4;
    if (whole < got) {
        std::memset(data + whole, 0, got - whole);
    }
    if (!HostIsLittleEndian()) {
        SwapFloatBytes(data, whole);
    }
    return true;
}
