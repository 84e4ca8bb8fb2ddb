// Writing camera-track project files: the content in plain numbers and the one writer every
// program that makes a project uses (the COLMAP import, the sample and benchmark generators, the
// tests' scenes).
//
// The file: a comment line, the image sequence, the intrinsics, the feature tracks (a line per
// track, "count id status X Y Z", then its observations "frame x y") and one camera block per
// frame ("<FRAMEi>", the focal length, three rows "R00 R01 R02 t0" of the world-to-camera pose).
// Pixel centres lie at whole numbers.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace zelio {

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

// How a number is printed: printf's %.<digits>g ('g') or %.<digits>f ('f').
struct NumberFormat {
    char kind = 'g';
    int digits = 17;
};

// How the file is laid out. The default prints every number with 17 significant digits, so the
// file reads back exactly.
struct ProjectFileStyle {
    std::string comment = "camera track project file";  // the first line, after '#'
    bool blankLines = false;          // an empty line after the sequence, intrinsics and tracks
    bool observationsInline = false;  // observations on the track's line, "  frame x y" each
    NumberFormat intrinsics;
    NumberFormat points;
    NumberFormat observations;
    NumberFormat poses;                   // the focal length and the pose rows of the camera blocks
    std::vector<double> extraIntrinsics;  // values written after the five intrinsics
};

// Writes a project file piece by piece into Text(), in the order of the file: Begin,
// Intrinsics, BeginTracks, per track TrackHead and its Observations, BeginCameras, Camera per
// frame, End. A caller writing a large file may take Text() away between the pieces.
class ProjectFileWriter {
  public:
    explicit ProjectFileWriter(ProjectFileStyle style) : style_(std::move(style)) {}

    void Begin(const std::string& sequence, int start, int step, int end);
    void Intrinsics(double f, double fy, double cx, double cy, double skew);
    void BeginTracks(size_t count);
    void TrackHead(size_t observations, int id, int status, const double point[3]);
    void Observation(int frame, double x, double y);
    void BeginCameras();
    void Camera(size_t frame, double focal, const double R[3][3], const double t[3]);
    void End();

    std::string& Text() { return text_; }

  private:
    void Number(double value, const NumberFormat& format);
    void EndTrackLine();

    ProjectFileStyle style_;
    std::string text_;
    bool inTrack_ = false;
};

// The whole file of project content.
std::string FormatProjectFile(const ProjectContent& project,
                              const ProjectFileStyle& style = ProjectFileStyle());

// Writes the file whole (temporary name, then rename); false with the reason in *error.
bool WriteProjectFile(const std::string& path, const ProjectContent& project,
                      const ProjectFileStyle& style, std::string* error);

}  // namespace zelio
