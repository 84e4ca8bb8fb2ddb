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

class CTrackFileParser;
class CZelVideoSequence;

namespace zelinterop {

struct ProjectFrame {
    std::string image;   // the frame's image, relative to the images' folder
    double focal = 0.0;  // the focal length of the frame's camera block
    double R[3][3] = {{1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 1.0}};  // world to camera
    double t[3] = {0.0, 0.0, 0.0};
};

struct ProjectObservation {
    int frame = 0;  // 0-based frame position
    double x = 0.0;
    double y = 0.0;
};

struct ProjectTrack {
    int id = 0;
    int status = 0;
    double point[3] = {0.0, 0.0, 0.0};
    std::vector<ProjectObservation> observations;
};

struct ProjectContent {
    std::string sequence;  // the value of the "Sequence:" line (the reference image)
    int start = 0;
    int step = 1;
    int end = 0;
    double f = 0.0;
    double fy = 0.0;
    double cx = 0.0;
    double cy = 0.0;
    double skew = 0.0;
    int width = 0;  // the images' size
    int height = 0;
    std::vector<ProjectFrame> frames;
    std::vector<ProjectTrack> tracks;
};

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

// The project file's text: every number with 17 significant digits, so it reads back exactly.
std::string FormatProjectFile(const ProjectContent& project);

// The "Sequence:" value for imageFile in a project file at projectFile: "./" and the path
// relative to the project file's folder when the image lies in or below it, else the absolute
// path ('/' separated).
std::string SequenceValueFor(const std::string& projectFile, const std::string& imageFile);

// The content of a parsed project, the poses turned back from the parser's camera-to-world form
// into world to camera; frame image names relative to the reference image's folder.
void ProjectFromParsed(const CTrackFileParser& parser, const CZelVideoSequence& sequence,
                       ProjectContent& project);

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
