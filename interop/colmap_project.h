// Between COLMAP models and the content of a camera-track project file.
//
// ProjectContent holds what a project file says in plain numbers: the image sequence, the
// intrinsics, one world-to-camera pose per frame and the feature tracks, with pixel centres at
// whole numbers (COLMAP's lie at half integers; the conversions move positions and the
// principal point by 0.5).
#pragma once

#include <string>
#include <vector>

#include "interop/colmap.h"
#include "interop/project_content.h"

namespace zelinterop {

struct ImportOptions {
    // Give a frame whose image COLMAP did not register the pose of the nearest registered frame
    // (the earlier one on a tie) instead of refusing the model.
    bool fillGaps = false;
    // Accept a camera whose fx and fy differ by more than kMaxAspectDeviation. Such a camera is
    // mostly COLMAP fitting the two focal lengths apart on square pixels, with poses to match.
    bool allowAspect = false;
    // The largest frame range accepted (from the lowest to the highest image number).
    int maxFrames = 1 << 20;
};

// The largest relative difference of fx and fy accepted without ImportOptions::allowAspect.
constexpr double kMaxAspectDeviation = 0.02;

// The share of a video's frames below which an import warns that COLMAP registered too few.
constexpr double kMinRegisteredShare = 0.9;

struct ImportSummary {
    int frames = 0;
    int tracks = 0;
    int observations = 0;
    int droppedPoints = 0;              // 3D points with fewer than two observations
    int gaps = 0;                       // frames whose image was not registered
    std::vector<std::string> warnings;  // one "Warning..." line per filled gap
};

// Converts a model into project content. The registered images' names must form one numbered
// sequence (same folder, prefix, extension and zero-padded width; the numbers a constant step
// apart, with gaps only as allowed by options); the cameras must be pinhole cameras that differ in
// focal length alone. project.sequence receives the lowest-numbered image's name as the model
// gives it (relative to the image folder); the caller makes it a path (SequenceValueFor).
// Returns false with the reason in error.
bool ColmapToProject(const ColmapModel& model, const ImportOptions& options,
                     ProjectContent& project, ImportSummary& summary, std::string& error);

// How many images of the numbered sequence that referenceName (relative to imageDir, e.g.
// "img0010.bmp") belongs to lie in imageDir: same folder, prefix, extension and zero-padded
// width. first and last receive the lowest- and highest-numbered names. 0 when there is none or
// the folder cannot be listed.
int CountSequenceImages(const std::string& imageDir, const std::string& referenceName,
                        std::string& first, std::string& last);

// The "Warning: ..." line for a model that registered fewer than kMinRegisteredShare of the
// sequence's images found in imageDir, naming both counts; empty when enough are registered.
std::string CoverageWarning(const ColmapModel& model, const ProjectContent& project,
                            const std::string& imageDir);

struct ExportSummary {
    int images = 0;
    int cameras = 0;
    int points = 0;
    int observations = 0;
    int emptyTracks = 0;          // tracks without an observation in the frames, left out
    int outsideObservations = 0;  // observations of frames outside the sequence, left out
};

// Converts project content into a model: one PINHOLE camera per distinct focal length of the
// frames (camera ids from 1), image i + 1 for frame i, 3D point k + 1 for track k. Returns false
// with the reason when the intrinsics are not positive or a frame's rotation is not a rotation.
bool ProjectToColmap(const ProjectContent& project, ColmapModel& model, ExportSummary& summary,
                     std::string& error);

// The rotation matrix of a quaternion (w, x, y, z), normalised first, and back (w >= 0).
void QuaternionToRotation(const double q[4], double R[3][3]);
void RotationToQuaternion(const double R[3][3], double q[4]);

}  // namespace zelinterop
