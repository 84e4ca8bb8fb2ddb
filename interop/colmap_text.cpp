#include "interop/colmap.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "interop/colmap_read.h"

// COLMAP's text form: cameras.txt, images.txt and points3D.txt.
namespace zelinterop {

using namespace detail;

namespace {

// One file's lines with their numbers; words are runs of characters other than space, tab and
// CR.
class TextFile {
  public:
    TextFile(const std::string& text, const std::string& name) : text_(text), name_(name) {}

    // The next line that is neither empty nor a comment; false at the end of the file.
    bool NextRecord() {
        while (NextLine()) {
            size_t i = 0;
            while (i < line_.size() && IsBlank(line_[i])) {
                i++;
            }
            if (i < line_.size() && line_[i] != '#') {
                return true;
            }
        }
        return false;
    }
    // The next line whatever it holds; false at the end of the file.
    bool NextLine() {
        if (pos_ >= text_.size()) {
            line_.clear();
            words_.clear();
            return false;
        }
        const size_t end = text_.find('\n', pos_);
        const size_t stop = end == std::string::npos ? text_.size() : end;
        line_.assign(text_, pos_, stop - pos_);
        pos_ = end == std::string::npos ? text_.size() : end + 1;
        lineNumber_++;
        SplitWords();
        return true;
    }

    const std::vector<std::string>& Words() const { return words_; }
    // The line's text after its first n words, without the blanks around it.
    std::string RestAfter(size_t n) const {
        size_t i = 0;
        for (size_t w = 0; w <= n; w++) {
            while (i < line_.size() && IsBlank(line_[i])) {
                i++;
            }
            if (w == n) {
                break;
            }
            while (i < line_.size() && !IsBlank(line_[i])) {
                i++;
            }
        }
        size_t end = line_.size();
        while (end > i && IsBlank(line_[end - 1])) {
            end--;
        }
        return line_.substr(i, end - i);
    }
    std::string Where() const { return Format("%s:%zu: ", name_.c_str(), lineNumber_); }

  private:
    static bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }
    void SplitWords() {
        words_.clear();
        size_t i = 0;
        while (i < line_.size()) {
            while (i < line_.size() && IsBlank(line_[i])) {
                i++;
            }
            const size_t begin = i;
            while (i < line_.size() && !IsBlank(line_[i])) {
                i++;
            }
            if (i > begin) {
                words_.emplace_back(line_, begin, i - begin);
            }
        }
    }

    const std::string& text_;
    std::string name_;
    size_t pos_ = 0;
    size_t lineNumber_ = 0;
    std::string line_;
    std::vector<std::string> words_;
};

// A whole word as a number; ToDouble wants it finite too.
bool ToAnyDouble(const std::string& word, double& out) {
    if (word.empty()) {
        return false;
    }
    char* end = nullptr;
    out = std::strtod(word.c_str(), &end);
    return end == word.c_str() + word.size();
}

bool ToDouble(const std::string& word, double& out) {
    return ToAnyDouble(word, out) && std::isfinite(out);
}

// A decimal integer with an optional '-', whole word, within [min, max].
bool ToInteger(const std::string& word, long long min, unsigned long long max,
               unsigned long long& magnitude, bool& negative) {
    size_t i = 0;
    negative = !word.empty() && word[0] == '-';
    if (negative) {
        i = 1;
    }
    if (i == word.size() || word.size() - i > 20) {
        return false;
    }
    magnitude = 0;
    for (; i < word.size(); i++) {
        if (word[i] < '0' || word[i] > '9') {
            return false;
        }
        const unsigned digit = static_cast<unsigned>(word[i] - '0');
        if (magnitude > (~0ULL - digit) / 10) {
            return false;
        }
        magnitude = magnitude * 10 + digit;
    }
    if (negative) {
        return min < 0 && magnitude <= static_cast<unsigned long long>(-(min + 1)) + 1;
    }
    return magnitude <= max;
}

template <class T>
bool ToUnsigned(const std::string& word, T& out) {
    unsigned long long value = 0;
    bool negative = false;
    if (!ToInteger(word, 0, static_cast<unsigned long long>(static_cast<T>(~T(0))), value,
                   negative)) {
        return false;
    }
    out = static_cast<T>(value);
    return true;
}

bool ToPoint3DRef(const std::string& word, int64_t& out) {
    unsigned long long value = 0;
    bool negative = false;
    if (!ToInteger(word, -1, INT64_MAX, value, negative)) {
        return false;
    }
    out = negative ? -1 : static_cast<int64_t>(value);
    return true;
}

bool ParseCamerasText(const std::string& text, const std::string& name, ColmapModel& model,
                      CrossReferences& refs, std::string& error) {
    TextFile file(text, name);
    while (file.NextRecord()) {
        const std::vector<std::string>& w = file.Words();
        ColmapCamera camera;
        if (w.size() < 4 || !ToUnsigned(w[0], camera.id) || !ToUnsigned(w[2], camera.width) ||
            !ToUnsigned(w[3], camera.height)) {
            error = file.Where() + "expected CAMERA_ID MODEL WIDTH HEIGHT PARAMS...";
            return false;
        }
        camera.model = ColmapModelFromName(w[1]);
        if (camera.model < 0) {
            error = file.Where() + "unknown camera model " + w[1];
            return false;
        }
        const size_t count = static_cast<size_t>(ColmapModelParamCount(camera.model));
        if (w.size() != 4 + count) {
            error = file.Where() + Format("the %s model has %zu parameters, the line gives %zu",
                                          w[1].c_str(), count, w.size() - 4);
            return false;
        }
        camera.params.resize(count);
        for (size_t i = 0; i < count; i++) {
            if (!ToDouble(w[4 + i], camera.params[i])) {
                error = file.Where() + "camera parameter is not a finite number: " + w[4 + i];
                return false;
            }
        }
        const std::string problem = refs.AddCamera(camera, model.cameras.size());
        if (!problem.empty()) {
            error = file.Where() + problem;
            return false;
        }
        model.cameras.push_back(std::move(camera));
    }
    return true;
}

bool ParseImagesText(const std::string& text, const std::string& name, ColmapModel& model,
                     CrossReferences& refs, std::vector<std::string>& where, std::string& error) {
    TextFile file(text, name);
    while (file.NextRecord()) {
        const std::vector<std::string>& w = file.Words();
        ColmapImage image;
        bool ok = w.size() >= 10 && ToUnsigned(w[0], image.id) && ToUnsigned(w[8], image.camera);
        for (int i = 0; ok && i < 4; i++) {
            ok = ToDouble(w[1 + static_cast<size_t>(i)], image.q[i]);
        }
        for (int i = 0; ok && i < 3; i++) {
            ok = ToDouble(w[5 + static_cast<size_t>(i)], image.t[i]);
        }
        if (!ok) {
            error = file.Where() + "expected IMAGE_ID QW QX QY QZ TX TY TZ CAMERA_ID NAME";
            return false;
        }
        image.name = file.RestAfter(9);
        if (std::hypot(std::hypot(image.q[0], image.q[1]), std::hypot(image.q[2], image.q[3])) <
            1e-12) {
            error = file.Where() + Format("image %u has a quaternion of length 0", image.id);
            return false;
        }
        const std::string location = file.Where();
        const std::string problem = refs.AddImage(image, model.images.size());
        if (!problem.empty()) {
            error = location + problem;
            return false;
        }
        // The 2D points: the next line, which may be empty (or missing at the end of the file).
        file.NextLine();
        const std::vector<std::string>& p = file.Words();
        if (p.size() % 3 != 0) {
            error = file.Where() + Format(
                                       "image %u: 2D points come as X Y POINT3D_ID triples, the "
                                       "line has %zu words",
                                       image.id, p.size());
            return false;
        }
        image.points.resize(p.size() / 3);
        for (size_t k = 0; k < image.points.size(); k++) {
            ColmapPoint2D& point = image.points[k];
            if (!ToDouble(p[3 * k], point.x) || !ToDouble(p[3 * k + 1], point.y) ||
                !ToPoint3DRef(p[3 * k + 2], point.point3D)) {
                error = file.Where() + Format(
                                           "image %u: 2D point %zu is not X Y POINT3D_ID "
                                           "(finite numbers, an id or -1)",
                                           image.id, k);
                return false;
            }
        }
        where.push_back(location);
        model.images.push_back(std::move(image));
    }
    return true;
}

bool ParsePointsText(const std::string& text, const std::string& name, ColmapModel& model,
                     CrossReferences& refs, std::string& error) {
    TextFile file(text, name);
    while (file.NextRecord()) {
        const std::vector<std::string>& w = file.Words();
        ColmapPoint3D point;
        bool ok = w.size() >= 8 && (w.size() - 8) % 2 == 0 && ToUnsigned(w[0], point.id) &&
                  ToAnyDouble(w[4 + 3], point.error);
        for (size_t i = 0; ok && i < 3; i++) {
            ok = ToDouble(w[1 + i], point.xyz[i]) && ToUnsigned(w[4 + i], point.rgb[i]);
        }
        if (ok) {
            point.track.resize((w.size() - 8) / 2);
        }
        for (size_t k = 0; ok && k < point.track.size(); k++) {
            ok = ToUnsigned(w[8 + 2 * k], point.track[k].image) &&
                 ToUnsigned(w[9 + 2 * k], point.track[k].point2D);
        }
        if (!ok) {
            error = file.Where() +
                    "expected POINT3D_ID X Y Z R G B ERROR then IMAGE_ID POINT2D_IDX pairs";
            return false;
        }
        const std::string problem = refs.AddPoint(point, model.images);
        if (!problem.empty()) {
            error = file.Where() + problem;
            return false;
        }
        model.points.push_back(std::move(point));
    }
    return true;
}

}  // namespace

bool ParseColmapText(const ColmapFiles& files, ColmapModel& model, std::string& error,
                     const ColmapFiles& names) {
    return ParseColmapFiles(files, names, {ParseCamerasText, ParseImagesText, ParsePointsText},
                            model, error);
}

ColmapFiles FormatColmapText(const ColmapModel& model) {
    ColmapFiles out;
    char number[64];
    auto put = [&number](std::string& s, double v) {
        std::snprintf(number, sizeof(number), " %.17g", v);
        s += number;
    };
    out.cameras =
        "# Camera list with one line of data per camera:\n"
        "#   CAMERA_ID, MODEL, WIDTH, HEIGHT, PARAMS[]\n"
        "# Number of cameras: " +
        std::to_string(model.cameras.size()) + "\n";
    for (const ColmapCamera& c : model.cameras) {
        const char* name = ColmapModelName(c.model);
        out.cameras += std::to_string(c.id) + " " + (name ? name : "UNKNOWN") + " " +
                       std::to_string(c.width) + " " + std::to_string(c.height);
        for (double p : c.params) {
            put(out.cameras, p);
        }
        out.cameras += "\n";
    }
    out.images =
        "# Image list with two lines of data per image:\n"
        "#   IMAGE_ID, QW, QX, QY, QZ, TX, TY, TZ, CAMERA_ID, NAME\n"
        "#   POINTS2D[] as (X, Y, POINT3D_ID)\n"
        "# Number of images: " +
        std::to_string(model.images.size()) + "\n";
    for (const ColmapImage& im : model.images) {
        out.images += std::to_string(im.id);
        for (double v : im.q) {
            put(out.images, v);
        }
        for (double v : im.t) {
            put(out.images, v);
        }
        out.images += " " + std::to_string(im.camera) + " " + im.name + "\n";
        for (size_t k = 0; k < im.points.size(); k++) {
            std::snprintf(number, sizeof(number), "%s%.17g %.17g", k ? " " : "", im.points[k].x,
                          im.points[k].y);
            out.images += number;
            out.images += " " + std::to_string(im.points[k].point3D);
        }
        out.images += "\n";
    }
    out.points3D =
        "# 3D point list with one line of data per point:\n"
        "#   POINT3D_ID, X, Y, Z, R, G, B, ERROR, TRACK[] as (IMAGE_ID, POINT2D_IDX)\n"
        "# Number of points: " +
        std::to_string(model.points.size()) + "\n";
    for (const ColmapPoint3D& p : model.points) {
        out.points3D += std::to_string(p.id);
        for (double v : p.xyz) {
            put(out.points3D, v);
        }
        for (uint8_t c : p.rgb) {
            out.points3D += " " + std::to_string(c);
        }
        put(out.points3D, p.error);
        for (const ColmapTrackElement& e : p.track) {
            out.points3D += " " + std::to_string(e.image) + " " + std::to_string(e.point2D);
        }
        out.points3D += "\n";
    }
    return out;
}

}  // namespace zelinterop
