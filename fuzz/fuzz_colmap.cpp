// Fuzzes the COLMAP model readers, text and binary, and the conversion to project content.
//
// Input layout: one byte whose lowest bit picks the form (1 binary, 0 text), then two 32-bit
// little-endian lengths that cut the rest into the cameras, images and points3D files (a length
// beyond the bytes left takes all of them). Each file is its own allocation of exactly its size,
// so AddressSanitizer sees any read past it.
//
// A model that reads must read back equal from its binary form, and from its text form when its
// image names survive a text line. When it converts into project content, every track has at
// least two observations, all in frames of the range and in frame order, and the project converts
// back into a model that reads.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "interop/colmap.h"
#include "interop/colmap_project.h"
#include "io/byteorder.h"
#include "io/projectfile.h"

using namespace zelinterop;

namespace {

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz_colmap: %s\n", what);
        std::abort();
    }
}

uint32_t Length(const uint8_t* p) {
    return zelio::ReadLe32(p);
}

std::string Take(const uint8_t*& data, size_t& size, size_t want) {
    const size_t n = want < size ? want : size;
    std::string out(reinterpret_cast<const char*>(data), n);
    out.shrink_to_fit();
    data += n;
    size -= n;
    return out;
}

// A name the text form keeps: no control characters, no blank at either end.
bool TextSafe(const std::string& name) {
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7F) {
            return false;
        }
    }
    return !name.empty() && name.front() != ' ' && name.back() != ' ';
}

void CheckProject(const ColmapModel& model) {
    for (bool fillGaps : {false, true}) {
        ImportOptions options;
        options.fillGaps = fillGaps;
        options.maxFrames = 4096;
        ProjectContent project;
        ImportSummary summary;
        std::string error;
        if (!ColmapToProject(model, options, project, summary, error)) {
            Check(!error.empty(), "a failed conversion without a reason");
            continue;
        }
        const int frames = static_cast<int>(project.frames.size());
        Check(frames == summary.frames && frames >= 1 && frames <= 4096, "frame count");
        Check(project.end == (frames - 1) * project.step, "frame range");
        for (const ProjectTrack& track : project.tracks) {
            Check(track.observations.size() >= 2, "a track seen fewer than twice");
            for (size_t k = 0; k < track.observations.size(); k++) {
                Check(track.observations[k].frame >= 0 && track.observations[k].frame < frames,
                      "an observation outside the frames");
                Check(k == 0 || track.observations[k - 1].frame <= track.observations[k].frame,
                      "observations out of frame order");
            }
        }
        Check(!zelio::FormatProjectFile(project, ImportedProjectStyle()).empty(),
              "empty project text");
        ColmapModel back;
        ExportSummary exported;
        if (ProjectToColmap(project, back, exported, error)) {
            ColmapModel reread;
            Check(ParseColmapBinary(FormatColmapBinary(back), reread, error) && reread == back,
                  "an exported model does not read back");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 9) {
        return 0;
    }
    const bool binary = data[0] & 1;
    const uint32_t camerasLength = Length(data + 1);
    const uint32_t imagesLength = Length(data + 5);
    data += 9;
    size -= 9;
    ColmapFiles files;
    files.cameras = Take(data, size, camerasLength);
    files.images = Take(data, size, imagesLength);
    files.points3D = Take(data, size, size);

    ColmapModel model;
    std::string error;
    const bool ok =
        binary ? ParseColmapBinary(files, model, error) : ParseColmapText(files, model, error);
    if (!ok) {
        Check(!error.empty(), "a failed read without a reason");
        return 0;
    }
    ColmapModel again;
    Check(ParseColmapBinary(FormatColmapBinary(model), again, error) && again == model,
          "the binary form does not read back");
    bool textSafe = true;
    for (const ColmapImage& image : model.images) {
        textSafe = textSafe && TextSafe(image.name);
    }
    if (textSafe) {
        Check(ParseColmapText(FormatColmapText(model), again, error) && again == model,
              "the text form does not read back");
    }
    CheckProject(model);
    return 0;
}
