// COLMAP sparse models in memory, read from their text or binary files and written as text.
//
// A model is three files in one folder: cameras, images and points3D, either as .txt or as .bin.
// Reading checks everything a later step relies on, so that a model that reads is safe to
// convert: every count is checked against the bytes (or words) left before anything is
// allocated, a name must end within its file, ids are unique, and every id one file names in
// another (an image's camera, a 2D point's 3D point, a track's image and 2D point) exists.
// A failure comes with one reason that names the file and the line (text) or byte offset
// (binary) where reading stopped.
//
// Conventions are COLMAP's: an image's pose (q, t) maps world to camera, Xc = R(q) X + t;
// image positions have the upper-left corner of the picture at (0, 0), so pixel centres lie at
// half integers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zelinterop {

// COLMAP's camera model ids. Only the two pinhole models have no lens distortion.
enum ColmapCameraModel : int {
    kSimplePinhole = 0,  // f, cx, cy
    kPinhole = 1,        // fx, fy, cx, cy
    kSimpleRadial = 2,
    kRadial = 3,
    kOpenCV = 4,
    kOpenCVFisheye = 5,
    kFullOpenCV = 6,
    kFOV = 7,
    kSimpleRadialFisheye = 8,
    kRadialFisheye = 9,
    kThinPrismFisheye = 10,
};

// The model's name as COLMAP writes it, or nullptr for an unknown id.
const char* ColmapModelName(int model);
// The number of parameters of the model, or -1 for an unknown id.
int ColmapModelParamCount(int model);
// The id of the model with this name, or -1.
int ColmapModelFromName(const std::string& name);

struct ColmapCamera {
    uint32_t id = 0;
    int model = kPinhole;
    uint64_t width = 0;
    uint64_t height = 0;
    std::vector<double> params;  // ColmapModelParamCount(model) values
};

struct ColmapPoint2D {
    double x = 0.0;
    double y = 0.0;
    int64_t point3D = -1;  // the 3D point's id, -1 for none
};

struct ColmapImage {
    uint32_t id = 0;
    double q[4] = {1.0, 0.0, 0.0, 0.0};  // qw, qx, qy, qz
    double t[3] = {0.0, 0.0, 0.0};
    uint32_t camera = 0;
    std::string name;  // relative to the image folder, '/' separated
    std::vector<ColmapPoint2D> points;
};

struct ColmapTrackElement {
    uint32_t image = 0;    // image id
    uint32_t point2D = 0;  // 0-based position in that image's points
};

struct ColmapPoint3D {
    uint64_t id = 0;
    double xyz[3] = {0.0, 0.0, 0.0};
    uint8_t rgb[3] = {0, 0, 0};
    double error = 0.0;
    std::vector<ColmapTrackElement> track;
};

// Records keep the order of their files.
struct ColmapModel {
    std::vector<ColmapCamera> cameras;
    std::vector<ColmapImage> images;
    std::vector<ColmapPoint3D> points;
};

bool operator==(const ColmapCamera& a, const ColmapCamera& b);
bool operator==(const ColmapImage& a, const ColmapImage& b);
bool operator==(const ColmapPoint3D& a, const ColmapPoint3D& b);
bool operator==(const ColmapModel& a, const ColmapModel& b);

// The contents of a model's three files, text or binary.
struct ColmapFiles {
    std::string cameras;
    std::string images;
    std::string points3D;
};

// Parses the three text files' contents into model (cleared first). The names are used in error
// reasons only ("cameras.txt" and so on by default). False with the reason in error.
bool ParseColmapText(const ColmapFiles& files, ColmapModel& model, std::string& error,
                     const ColmapFiles& names = {"cameras.txt", "images.txt", "points3D.txt"});
// Likewise for the binary files.
bool ParseColmapBinary(const ColmapFiles& files, ColmapModel& model, std::string& error,
                       const ColmapFiles& names = {"cameras.bin", "images.bin", "points3D.bin"});

// Reads the model in folder dir: the binary files when cameras.bin, images.bin and points3D.bin
// are all there, else the text files. False with the reason (naming the file and the place) in
// error, also when the folder holds neither complete set.
bool ReadColmapModel(const std::string& dir, ColmapModel& model, std::string& error);

// True when folder dir holds a complete model: cameras, images and points3D, all .bin or all .txt.
bool IsColmapModelFolder(const std::string& dir);

// Reads the model COLMAP's mapper left in dir: dir itself when it holds any model file, else the
// model with the most registered images among its numbered subfolders 0, 1, ... (the mapper
// writes one per group of frames it could not join; the lowest number wins a tie). chosen
// receives the model's folder and note, when dir held numbered models, one line saying which was
// taken and what the others held. False with the reason in error: no model at all, or the chosen
// or another numbered model cannot be read.
bool ReadLargestColmapModel(const std::string& dir, ColmapModel& model, std::string& chosen,
                            std::string& note, std::string& error);

// The three text files of the model, formatted as COLMAP writes them (17 significant digits).
ColmapFiles FormatColmapText(const ColmapModel& model);
// The three binary files of the model (cameras.bin, images.bin, points3D.bin).
ColmapFiles FormatColmapBinary(const ColmapModel& model);
// Writes the model as cameras.txt, images.txt and points3D.txt into dir (created when missing),
// each file under a temporary name first and then renamed into place. False with the reason.
bool WriteColmapText(const std::string& dir, const ColmapModel& model, std::string& error);

// Writes bytes to path whole: to a temporary name beside it, then renamed over it. On failure
// nothing is left at either name and error holds the reason.
bool WriteFileWhole(const std::string& path, const std::string& bytes, std::string& error);

}  // namespace zelinterop
