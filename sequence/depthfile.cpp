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
#include <cstdio>
#include <string>

#include "io/depthfile.h"
#include "platform/platform.h"
#include "sequence/videoframe.h"

namespace {

// Writes map whole to path (see zelio::WriteRawFloats); false for a missing map.
bool WriteDepth(const ZImage<float>* map, const std::string& path, zelio::RawWrite& result,
                std::string& reason) {
    if (map == nullptr) {
        return false;
    }
    // A 1-channel float grid has no row padding: its buffer is the map, row 0 first.
    const size_t count = static_cast<size_t>(map->GetByteSize()) / sizeof(float);
    result =
        zelio::WriteRawFloats(path, reinterpret_cast<const float*>(map->GetData()), count, reason);
    return true;
}

}  // namespace

void CZelVideoFrame::SaveDepthFile() {
    const std::string path = zelio::DepthFilePath(dataDir, index);
    std::string reason;
    zelio::RawWrite result = zelio::RawWrite::kSaved;
    if (!WriteDepth(dspImg, path, result, reason)) {
        std::printf("ERROR! No dspImg is saved!!\n");
        return;
    }
    switch (result) {
        case zelio::RawWrite::kSaved:
            break;
        case zelio::RawWrite::kCannotCreate:
            // No line break: the key prompt follows on the same line.
            std::printf("ERROR: Can not create depth file: %s", path.c_str());
            std::fflush(stdout);
            WaitForKey();
            break;
        case zelio::RawWrite::kCannotWrite:
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
    zelio::RawWrite result = zelio::RawWrite::kSaved;
    WriteDepth(&grid, path, result, reason);
    switch (result) {
        case zelio::RawWrite::kSaved:
            return true;
        case zelio::RawWrite::kCannotCreate:
            error = std::string("ERROR: Can not create ") + what + ": " + path;
            break;
        case zelio::RawWrite::kCannotWrite:
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
    return WriteGridFile(*dspImg, zelio::DepthFilePath(dataDir, index), "depth file", error);
}

bool CZelVideoFrame::WriteConfidenceFile(const ZImage<float>& confidence,
                                         std::string& error) const {
    return WriteGridFile(confidence, zelio::ConfidenceFilePath(dataDir, index), "confidence file",
                         error);
}

bool CZelVideoFrame::LoadDepthFile() {
    // Elements the file does not provide read as 0. A map that cannot be made at the working
    // size leaves the frame without one.
    if (!CreateDisparityMap(0.0f)) {
        std::printf("ERROR: Can not allocate a depth map of %d x %d\n", GetWorkingWidth(),
                    GetWorkingHeight());
        return false;
    }
    const size_t count = static_cast<size_t>(dspImg->GetByteSize()) / sizeof(float);
    const std::string path = zelio::DepthFilePath(dataDir, index);
    // A file shorter than the map fills only its leading whole elements.
    if (zelio::ReadRawFloatsUpTo(path, reinterpret_cast<float*>(dspImg->GetData()), count) < 0) {
        std::printf("Warning : No depth file: %s\n", path.c_str());
        return false;
    }
    return true;
}
