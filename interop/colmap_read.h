// What the text and binary readers of COLMAP models share: messages, the checks of names and
// numbers, and the cross references between cameras, images and points checked while reading.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "interop/colmap.h"

namespace zelinterop {
namespace detail {

// The compiler checks Format's arguments against its format where it can; with mingw-w64 the
// check follows the C99 formats of its own printf family (the build selects that family).
#if defined(__MINGW32__)
#define ZEL_FORMAT_CHECK __attribute__((format(gnu_printf, 1, 2)))
#elif defined(__GNUC__)
#define ZEL_FORMAT_CHECK __attribute__((format(printf, 1, 2)))
#else
#define ZEL_FORMAT_CHECK
#endif
// printf's formatting into a string of at most 511 characters.
std::string Format(const char* format, ...) ZEL_FORMAT_CHECK;

// Image names are file paths: no control characters (a NUL or a line end could not be written
// back in either form).
bool HasControlCharacter(const std::string& name);

bool FiniteAll(const double* v, size_t n);

// The checks shared by both forms, made while reading: ids unique, references resolved. Each
// returns an empty string when all is well, else the reason without its place.
class CrossReferences {
  public:
    std::string AddCamera(const ColmapCamera& camera, size_t index) {
        if (!cameras_.emplace(camera.id, index).second) {
            return Format("camera id %u appears twice", camera.id);
        }
        return "";
    }
    std::string AddImage(const ColmapImage& image, size_t index) {
        if (image.name.empty() || HasControlCharacter(image.name)) {
            return Format("image %u has an empty name or one with a control character", image.id);
        }
        if (cameras_.find(image.camera) == cameras_.end()) {
            return Format("image %u (%s) names camera %u, which the cameras file does not hold",
                          image.id, image.name.c_str(), image.camera);
        }
        if (!images_.emplace(image.id, index).second) {
            return Format("image id %u appears twice", image.id);
        }
        return "";
    }
    std::string AddPoint(const ColmapPoint3D& point, const std::vector<ColmapImage>& images) {
        if (!points_.insert(point.id).second) {
            return Format("3D point id %ju appears twice", static_cast<uintmax_t>(point.id));
        }
        for (const ColmapTrackElement& e : point.track) {
            const auto it = images_.find(e.image);
            if (it == images_.end()) {
                return Format("3D point %ju names image %u, which the images file does not hold",
                              static_cast<uintmax_t>(point.id), e.image);
            }
            const ColmapImage& image = images[it->second];
            if (e.point2D >= image.points.size()) {
                return Format(
                    "3D point %ju names 2D point %u of image %u, which has only %zu 2D points",
                    static_cast<uintmax_t>(point.id), e.point2D, e.image, image.points.size());
            }
        }
        return "";
    }
    // The first 2D point of the image that names a 3D point the points file does not hold.
    std::string CheckImagePoints(const ColmapImage& image) const {
        for (size_t k = 0; k < image.points.size(); k++) {
            const int64_t id = image.points[k].point3D;
            if (id != -1 && points_.count(static_cast<uint64_t>(id)) == 0) {
                return Format(
                    "2D point %zu of image %u names 3D point %jd, which the points3D file does "
                    "not hold",
                    k, image.id, static_cast<intmax_t>(id));
            }
        }
        return "";
    }

  private:
    std::unordered_map<uint32_t, size_t> cameras_;
    std::unordered_map<uint32_t, size_t> images_;
    std::unordered_set<uint64_t> points_;
};

// The check after the points: every 2D point's 3D point exists.
bool CheckImagePoints(const ColmapModel& model, const CrossReferences& refs,
                      const std::vector<std::string>& where, std::string& error);

// The readers of one form's three files. Each reads its file's contents (name is what the
// messages call the file) into model, checking the references as it goes; the images' reader
// notes in where the place of each image for the messages of CheckImagePoints.
struct ColmapFileReaders {
    bool (*cameras)(const std::string& contents, const std::string& name, ColmapModel& model,
                    CrossReferences& refs, std::string& error);
    bool (*images)(const std::string& contents, const std::string& name, ColmapModel& model,
                   CrossReferences& refs, std::vector<std::string>& where, std::string& error);
    bool (*points)(const std::string& contents, const std::string& name, ColmapModel& model,
                   CrossReferences& refs, std::string& error);
};

// Reads a model with one form's readers: the cameras, the images and the points, then
// CheckImagePoints. False with the reason in error at the first problem.
bool ParseColmapFiles(const ColmapFiles& files, const ColmapFiles& names,
                      const ColmapFileReaders& readers, ColmapModel& model, std::string& error);

}  // namespace detail
}  // namespace zelinterop
