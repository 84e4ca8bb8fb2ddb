// A deterministic generator of synthetic camera-track projects, large enough to measure the
// project reader and the geometry that works on its tracks.
//
// The scene: a camera that slides sideways and turns slowly, looking along +z at points spread
// 5 to 60 units in front of it. Every track is a run of consecutive frames; its observations
// are the projections of its point with up to half a pixel of noise. The output depends only on
// the options (the random generator is our own, not the standard library's distributions).
#pragma once

#include <cstdint>
#include <string>

struct SyntheticProjectOptions {
    int frames = 500;
    int tracks = 200000;
    int meanObservations = 25;  // track lengths are uniform in 1 .. 2 * mean - 1 (at most frames)
    uint64_t seed = 1;
    int imageWidth = 1920;  // the image size the intrinsics and observations describe
    int imageHeight = 1080;
};

// Figures of a written project.
struct SyntheticProjectInfo {
    std::string projectPath;     // dir + "/project.txt"
    std::string referenceImage;  // dir + "/images/frame0000.bmp"
    int64_t fileBytes = 0;
    int64_t observations = 0;
};

// Writes dir/project.txt and a small reference picture dir/images/frame0000.bmp (64 x 36,
// 24 bits), creating the directories. The project names the picture as "./images/frame0000.bmp"
// with frames numbered 0 .. frames - 1, so that parsing it succeeds wherever dir lies. The
// project is written to a temporary name and renamed when complete. Returns false (with a line
// on standard error) when a file cannot be written or an option is out of range.
bool WriteSyntheticProject(const std::string& dir, const SyntheticProjectOptions& options,
                           SyntheticProjectInfo* info);

// Writes the project unless dir/project.txt already exists (a complete project, since it only
// appears by renaming); fills info either way. Returns false when it cannot be written.
bool EnsureSyntheticProject(const std::string& dir, const SyntheticProjectOptions& options,
                            SyntheticProjectInfo* info);
