// Fuzzes the project reader end to end: the input after its first byte is written as a project
// file and parsed into a fresh sequence, then the largest disparity is estimated, as the program
// does. The first byte decides whether a tiny valid reference picture, "ref0000.bmp", lies
// beside the project file (so that the sections after "Image Sequence" are reached too).
//
// After a successful parse the two views of the feature tracks must agree: every observation
// whose frame exists sits in that frame's array at its index and points back to its track, and
// the frame arrays hold nothing else.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "io/byteorder.h"
#include "parser/trackfileparser.h"
#include "platform/platform.h"
#include "sequence/videoframe.h"
#include "sequence/videosequence.h"
#include "util/numparse.h"

namespace {

std::string gScratchDir;  // removed at exit
std::string gProjectPath;
std::string gPicturePath;

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz_project: %s\n", what);
        std::abort();
    }
}

bool WriteAll(const std::string& path, const void* data, size_t size) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    const bool ok = std::fwrite(data, 1, size, file) == size;
    return std::fclose(file) == 0 && ok;
}

// A 2 x 2 24-bit bottom-up BMP: the file header, the 40-byte info header, then two rows of
// 6 pixel bytes padded to 8.
std::string TinyPicture() {
    std::string out = "BM";
    auto put = [&out](uint32_t v, int bytes) { zelio::AppendLe(out, v, bytes); };
    put(54 + 16, 4);  // file size
    put(0, 4);        // reserved
    put(54, 4);       // pixel offset
    put(40, 4);       // info header size
    put(2, 4);        // width
    put(2, 4);        // height, bottom-up
    put(1, 2);        // planes
    put(24, 2);       // bits per pixel
    put(0, 4);        // no compression
    put(16, 4);       // pixel bytes
    for (int i = 0; i < 4; i++) {
        put(0, 4);  // resolution and palette counts
    }
    const unsigned char rows[16] = {0, 0, 255, 0, 255, 0, 0, 0, 255, 0, 0, 40, 80, 120, 0, 0};
    out.append(reinterpret_cast<const char*>(rows), sizeof(rows));
    return out;
}

std::string gPicture;

bool SameDouble(double a, double b) {
    return std::memcmp(&a, &b, sizeof(double)) == 0;
}

void CheckTrackViews(const CTrackFileParser& parser, const CZelVideoSequence& sequence) {
    const size_t frames = parser.frameMatchPoints.size();
    Check(frames == static_cast<size_t>(sequence.GetFrameCount()), "one array per frame");
    size_t inFrames = 0;
    for (size_t k = 0; k < parser.tracks.size(); k++) {
        const CMatchLinker* track = parser.tracks[k].get();
        Check(track != nullptr && track->index == static_cast<int>(k), "track index");
        for (const CTrackPoint& p : track->trackPoints) {
            if (p.frame < 0 || static_cast<size_t>(p.frame) >= frames) {
                Check(p.index == -1, "observation of a missing frame kept an index");
                continue;
            }
            const auto& list = parser.frameMatchPoints[static_cast<size_t>(p.frame)];
            Check(list != nullptr && p.index >= 0 && static_cast<size_t>(p.index) < list->size(),
                  "observation not in its frame");
            const CMatchPoint& m = (*list)[static_cast<size_t>(p.index)];
            Check(m.linker.get() == track, "match point linked to another track");
            Check(SameDouble(m.x, p.x) && SameDouble(m.y, p.y), "match point position");
            inFrames++;
        }
    }
    size_t total = 0;
    for (const auto& list : parser.frameMatchPoints) {
        total += list ? list->size() : 0;
    }
    Check(total == inFrames, "frame arrays hold observations of no track");
}

// Sequences of more frames than this are not parsed. Every frame costs the same small, fixed
// work (its object, its camera, its file name), so a project of a million frames -- which the
// sequence accepts -- takes seconds under the sanitizers without exercising anything a few
// thousand frames do not. The count is estimated as the parser computes it: the keyed lines of
// the first "Image Sequence" section after the header line, defaults 0, 1 and 0.
constexpr int64_t kMaxFuzzFrames = 4096;

int64_t EstimatedFrameCount(const uint8_t* data, size_t size) {
    CFileParser reader;
    reader.buffer = new char[size];
    std::memcpy(reader.buffer, data, size);
    reader.length = static_cast<int32_t>(size);
    reader.ReadLine();
    int first = -1;
    int last = -1;
    reader.FindTag("Image Sequence", first, last);
    if (first < 0 || last < 0) {
        return 0;
    }
    auto value = [&reader, first, last](const char* key, int64_t fallback) -> int64_t {
        if (!reader.FindLineInRange(key, first, last)) {
            return fallback;
        }
        const size_t skip = std::strlen(key);
        return std::strlen(reader.lineBuffer) > skip ? ParseInt(reader.lineBuffer + skip) : 0;
    };
    const int64_t start = value("start:", 0);
    const int64_t step = std::max<int64_t>(1, value("step:", 1));
    const int64_t end = value("end:", 0);
    return (end - start) / step + 1;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char dir[] = "/tmp/zel_fuzz_project_XXXXXX";
    Check(mkdtemp(dir) != nullptr, "cannot make a temporary directory");
    gScratchDir = dir;
    std::atexit([] { std::filesystem::remove_all(gScratchDir); });
    // Relative image paths in the project resolve inside the scratch directory.
    Check(chdir(dir) == 0, "cannot enter the temporary directory");
    gProjectPath = std::string(dir) + "/project.txt";
    gPicturePath = std::string(dir) + "/ref0000.bmp";
    gPicture = TinyPicture();
    // The parser prints its progress on standard output; the fuzzer reports on standard error.
    const int null = open("/dev/null", O_WRONLY);
    Check(null >= 0 && dup2(null, 1) == 1, "cannot silence standard output");
    close(null);
    SetDiagnosticSink([](const char*) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    if (data[0] & 1) {
        Check(WriteAll(gPicturePath, gPicture.data(), gPicture.size()), "cannot write the picture");
    } else {
        std::remove(gPicturePath.c_str());
    }
    if (EstimatedFrameCount(data + 1, size - 1) > kMaxFuzzFrames) {
        return 0;
    }
    Check(WriteAll(gProjectPath, data + 1, size - 1), "cannot write the project file");

    CZelVideoSequence sequence;
    {
        CTrackFileParser parser(&sequence);
        const bool ok = parser.Parse(gProjectPath.c_str());
        if (ok) {
            CheckTrackViews(parser, sequence);
            parser.HandOverMatchPoints();
        }
        const double disparity = sequence.EstimateMaxDisparity(parser);
        // Depths are collected only above 1e-10, so the estimate is -1 or not negative (0 when
        // the depth at the percentile overflows to infinity as a float).
        if (!(disparity == -1.0 || disparity >= 0.0)) {
            std::fprintf(stderr, "disparity %g\n", disparity);
            Check(false, "disparity sign");
        }
    }
    std::fflush(stdout);
    return 0;
}
