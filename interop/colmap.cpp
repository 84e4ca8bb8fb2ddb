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

#include "io/byteorder.h"
#include "io/writewhole.h"

namespace zelinterop {

namespace {

struct ModelInfo {
    const char* name;
    int params;
};

constexpr ModelInfo kModels[] = {
    {"SIMPLE_PINHOLE", 3},
    {"PINHOLE", 4},
    {"SIMPLE_RADIAL", 4},
    {"RADIAL", 5},
    {"OPENCV", 8},
    {"OPENCV_FISHEYE", 8},
    {"FULL_OPENCV", 12},
    {"FOV", 5},
    {"SIMPLE_RADIAL_FISHEYE", 4},
    {"RADIAL_FISHEYE", 5},
    {"THIN_PRISM_FISHEYE", 12},
};
constexpr int kModelCount = static_cast<int>(sizeof(kModels) / sizeof(kModels[0]));

// The compiler checks Format's arguments against its format where it can; with mingw-w64 the
// check follows the C99 formats of its own printf family (the build selects that family).
#if defined(__MINGW32__)
#define ZEL_FORMAT_CHECK __attribute__((format(gnu_printf, 1, 2)))
#elif defined(__GNUC__)
#define ZEL_FORMAT_CHECK __attribute__((format(printf, 1, 2)))
#else
#define ZEL_FORMAT_CHECK
#endif
std::string Format(const char* format, ...) ZEL_FORMAT_CHECK;
std::string Format(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    return text;
}

// Image names are file paths: no control characters (a NUL or a line end could not be written
// back in either form).
bool HasControlCharacter(const std::string& name) {
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7F) {
            return true;
        }
    }
    return false;
}

bool FiniteAll(const double* v, size_t n) {
    for (size_t i = 0; i < n; i++) {
        if (!std::isfinite(v[i])) {
            return false;
        }
    }
    return true;
}

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

// ---------------------------------------------------------------------------------------------
// Text form.

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

// The check after the points: every 2D point's 3D point exists.
bool CheckImagePoints(const ColmapModel& model, const CrossReferences& refs,
                      const std::vector<std::string>& where, std::string& error) {
    for (size_t i = 0; i < model.images.size(); i++) {
        const std::string problem = refs.CheckImagePoints(model.images[i]);
        if (!problem.empty()) {
            error = where[i] + problem;
            return false;
        }
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Binary form.

class ByteReader {
  public:
    ByteReader(const std::string& bytes, const std::string& name, std::string& error)
        : data_(reinterpret_cast<const unsigned char*>(bytes.data())),
          size_(bytes.size()),
          name_(name),
          error_(error) {}

    size_t Left() const { return size_ - pos_; }
    size_t Offset() const { return pos_; }
    std::string Where(size_t offset) const {
        return Format("%s: byte %zu: ", name_.c_str(), offset);
    }
    bool Fail(size_t offset, const std::string& what) {
        error_ = Where(offset) + what;
        return false;
    }

    bool Bytes(void* out, size_t n, const char* what) {
        if (Left() < n) {
            return Fail(pos_, Format("the file ends inside %s (%zu bytes needed, %zu left)", what,
                                     n, Left()));
        }
        // Little-endian in the file; assembled byte by byte so that the host's order does not
        // matter.
        unsigned char* o = static_cast<unsigned char*>(out);
        for (size_t i = 0; i < n; i++) {
            o[i] = data_[pos_ + i];
        }
        pos_ += n;
        return true;
    }
    template <class T>
    bool Integer(T& out, const char* what) {
        unsigned char b[sizeof(T)] = {};  // zeroed: GCC -O2 cannot see that Bytes fills it
        if (!Bytes(b, sizeof(T), what)) {
            return false;
        }
        out = static_cast<T>(zelio::ReadLe(b, static_cast<int>(sizeof(T))));
        return true;
    }
    bool Double(double& out, const char* what) {
        uint64_t bits = 0;
        if (!Integer(bits, what)) {
            return false;
        }
        std::memcpy(&out, &bits, sizeof(out));
        return true;
    }
    bool Doubles(double* out, size_t n, const char* what) {
        for (size_t i = 0; i < n; i++) {
            if (!Double(out[i], what)) {
                return false;
            }
        }
        return true;
    }
    // A count of records of at least minBytes each: not more than the bytes left can hold.
    bool Count(uint64_t& out, size_t minBytes, const char* what) {
        const size_t at = pos_;
        if (!Integer(out, what)) {
            return false;
        }
        if (out > Left() / minBytes) {
            return Fail(at, Format("%s %ju is more than the %zu bytes left can hold", what,
                                   static_cast<uintmax_t>(out), Left()));
        }
        return true;
    }
    // A string ending in a NUL byte within the file.
    bool String(std::string& out, const char* what) {
        const void* nul = std::memchr(data_ + pos_, 0, Left());
        if (nul == nullptr) {
            return Fail(pos_,
                        Format("%s has no terminating NUL byte before the end of the file", what));
        }
        const size_t n =
            static_cast<size_t>(static_cast<const unsigned char*>(nul) - (data_ + pos_));
        out.assign(reinterpret_cast<const char*>(data_ + pos_), n);
        pos_ += n + 1;
        return true;
    }
    bool AtEnd() {
        if (Left() != 0) {
            return Fail(pos_, Format("%zu bytes after the last record", Left()));
        }
        return true;
    }

  private:
    const unsigned char* data_;
    size_t size_;
    size_t pos_ = 0;
    std::string name_;
    std::string& error_;
};

bool ParseCamerasBinary(const std::string& bytes, const std::string& name, ColmapModel& model,
                        CrossReferences& refs, std::string& error) {
    ByteReader in(bytes, name, error);
    uint64_t count = 0;
    if (!in.Count(count, 24, "camera count")) {
        return false;
    }
    model.cameras.reserve(count);
    for (uint64_t i = 0; i < count; i++) {
        const size_t at = in.Offset();
        ColmapCamera camera;
        int32_t modelId = 0;
        if (!in.Integer(camera.id, "a camera id") || !in.Integer(modelId, "a camera model") ||
            !in.Integer(camera.width, "a camera width") ||
            !in.Integer(camera.height, "a camera height")) {
            return false;
        }
        camera.model = modelId;
        const int params = ColmapModelParamCount(modelId);
        if (params < 0) {
            return in.Fail(at, Format("camera %u has unknown model id %d", camera.id, modelId));
        }
        camera.params.resize(static_cast<size_t>(params));
        if (!in.Doubles(camera.params.data(), camera.params.size(), "camera parameters")) {
            return false;
        }
        if (!FiniteAll(camera.params.data(), camera.params.size())) {
            return in.Fail(at, Format("camera %u has a parameter that is not finite", camera.id));
        }
        const std::string problem = refs.AddCamera(camera, model.cameras.size());
        if (!problem.empty()) {
            return in.Fail(at, problem);
        }
        model.cameras.push_back(std::move(camera));
    }
    return in.AtEnd();
}

bool ParseImagesBinary(const std::string& bytes, const std::string& name, ColmapModel& model,
                       CrossReferences& refs, std::vector<std::string>& where, std::string& error) {
    ByteReader in(bytes, name, error);
    uint64_t count = 0;
    // id, pose, camera id, at least the NUL of the name, the 2D point count.
    if (!in.Count(count, 4 + 7 * 8 + 4 + 1 + 8, "image count")) {
        return false;
    }
    model.images.reserve(count);
    where.reserve(count);
    for (uint64_t i = 0; i < count; i++) {
        const size_t at = in.Offset();
        ColmapImage image;
        if (!in.Integer(image.id, "an image id") || !in.Doubles(image.q, 4, "a quaternion") ||
            !in.Doubles(image.t, 3, "a translation") ||
            !in.Integer(image.camera, "an image's camera id") ||
            !in.String(image.name, "an image name")) {
            return false;
        }
        if (!FiniteAll(image.q, 4) || !FiniteAll(image.t, 3)) {
            return in.Fail(at, Format("image %u has a pose that is not finite", image.id));
        }
        if (std::hypot(std::hypot(image.q[0], image.q[1]), std::hypot(image.q[2], image.q[3])) <
            1e-12) {
            return in.Fail(at, Format("image %u has a quaternion of length 0", image.id));
        }
        const std::string problem = refs.AddImage(image, model.images.size());
        if (!problem.empty()) {
            return in.Fail(at, problem);
        }
        uint64_t points = 0;
        if (!in.Count(points, 24, "2D point count")) {
            return false;
        }
        image.points.resize(points);
        for (ColmapPoint2D& p : image.points) {
            int64_t id = 0;
            if (!in.Double(p.x, "a 2D point") || !in.Double(p.y, "a 2D point") ||
                !in.Integer(id, "a 2D point's 3D point id")) {
                return false;
            }
            if (!std::isfinite(p.x) || !std::isfinite(p.y) || id < -1) {
                return in.Fail(in.Offset() - 24,
                               Format("image %u has a 2D point that is not finite or names 3D "
                                      "point %jd",
                                      image.id, static_cast<intmax_t>(id)));
            }
            p.point3D = id;
        }
        where.push_back(in.Where(at));
        model.images.push_back(std::move(image));
    }
    return in.AtEnd();
}

bool ParsePointsBinary(const std::string& bytes, const std::string& name, ColmapModel& model,
                       CrossReferences& refs, std::string& error) {
    ByteReader in(bytes, name, error);
    uint64_t count = 0;
    if (!in.Count(count, 8 + 3 * 8 + 3 + 8 + 8, "3D point count")) {
        return false;
    }
    model.points.reserve(count);
    for (uint64_t i = 0; i < count; i++) {
        const size_t at = in.Offset();
        ColmapPoint3D point;
        if (!in.Integer(point.id, "a 3D point id") || !in.Doubles(point.xyz, 3, "a 3D point") ||
            !in.Integer(point.rgb[0], "a colour") || !in.Integer(point.rgb[1], "a colour") ||
            !in.Integer(point.rgb[2], "a colour") || !in.Double(point.error, "a point error")) {
            return false;
        }
        if (!FiniteAll(point.xyz, 3)) {
            return in.Fail(at,
                           Format("3D point %ju is not finite", static_cast<uintmax_t>(point.id)));
        }
        uint64_t length = 0;
        if (!in.Count(length, 8, "track length")) {
            return false;
        }
        point.track.resize(length);
        for (ColmapTrackElement& e : point.track) {
            if (!in.Integer(e.image, "a track's image id") ||
                !in.Integer(e.point2D, "a track's 2D point index")) {
                return false;
            }
        }
        const std::string problem = refs.AddPoint(point, model.images);
        if (!problem.empty()) {
            return in.Fail(at, problem);
        }
        model.points.push_back(std::move(point));
    }
    return in.AtEnd();
}

bool ReadWholeFile(const std::string& path, std::string& out, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "can not open " + path;
        return false;
    }
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) {
        error = "can not read " + path;
        return false;
    }
    return true;
}

}  // namespace

const char* ColmapModelName(int model) {
    return model >= 0 && model < kModelCount ? kModels[model].name : nullptr;
}

int ColmapModelParamCount(int model) {
    return model >= 0 && model < kModelCount ? kModels[model].params : -1;
}

int ColmapModelFromName(const std::string& name) {
    for (int i = 0; i < kModelCount; i++) {
        if (name == kModels[i].name) {
            return i;
        }
    }
    return -1;
}

bool operator==(const ColmapCamera& a, const ColmapCamera& b) {
    return a.id == b.id && a.model == b.model && a.width == b.width && a.height == b.height &&
           a.params == b.params;
}

bool operator==(const ColmapImage& a, const ColmapImage& b) {
    if (a.id != b.id || a.camera != b.camera || a.name != b.name ||
        a.points.size() != b.points.size() || !std::equal(a.q, a.q + 4, b.q) ||
        !std::equal(a.t, a.t + 3, b.t)) {
        return false;
    }
    for (size_t k = 0; k < a.points.size(); k++) {
        if (a.points[k].x != b.points[k].x || a.points[k].y != b.points[k].y ||
            a.points[k].point3D != b.points[k].point3D) {
            return false;
        }
    }
    return true;
}

bool operator==(const ColmapPoint3D& a, const ColmapPoint3D& b) {
    if (a.id != b.id || !std::equal(a.xyz, a.xyz + 3, b.xyz) ||
        !std::equal(a.rgb, a.rgb + 3, b.rgb) ||
        // The error is not used here and may be NaN (unknown) in a file.
        !(a.error == b.error || (std::isnan(a.error) && std::isnan(b.error))) ||
        a.track.size() != b.track.size()) {
        return false;
    }
    for (size_t k = 0; k < a.track.size(); k++) {
        if (a.track[k].image != b.track[k].image || a.track[k].point2D != b.track[k].point2D) {
            return false;
        }
    }
    return true;
}

bool operator==(const ColmapModel& a, const ColmapModel& b) {
    return a.cameras == b.cameras && a.images == b.images && a.points == b.points;
}

bool ParseColmapText(const ColmapFiles& files, ColmapModel& model, std::string& error,
                     const ColmapFiles& names) {
    model = ColmapModel();
    CrossReferences refs;
    std::vector<std::string> where;
    return ParseCamerasText(files.cameras, names.cameras, model, refs, error) &&
           ParseImagesText(files.images, names.images, model, refs, where, error) &&
           ParsePointsText(files.points3D, names.points3D, model, refs, error) &&
           CheckImagePoints(model, refs, where, error);
}

bool ParseColmapBinary(const ColmapFiles& files, ColmapModel& model, std::string& error,
                       const ColmapFiles& names) {
    model = ColmapModel();
    CrossReferences refs;
    std::vector<std::string> where;
    return ParseCamerasBinary(files.cameras, names.cameras, model, refs, error) &&
           ParseImagesBinary(files.images, names.images, model, refs, where, error) &&
           ParsePointsBinary(files.points3D, names.points3D, model, refs, error) &&
           CheckImagePoints(model, refs, where, error);
}

bool ReadColmapModel(const std::string& dir, ColmapModel& model, std::string& error) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) {
        error = "the model folder does not exist: " + dir;
        return false;
    }
    const fs::path base(dir);
    auto paths = [&base](const char* extension) {
        return ColmapFiles{(base / (std::string("cameras") + extension)).string(),
                           (base / (std::string("images") + extension)).string(),
                           (base / (std::string("points3D") + extension)).string()};
    };
    auto complete = [&ec](const ColmapFiles& p) {
        return fs::is_regular_file(p.cameras, ec) && fs::is_regular_file(p.images, ec) &&
               fs::is_regular_file(p.points3D, ec);
    };
    const ColmapFiles binary = paths(".bin");
    const ColmapFiles text = paths(".txt");
    const bool isBinary = complete(binary);
    if (!isBinary && !complete(text)) {
        // Name the first file of the set that has more of its files present.
        const ColmapFiles& p = fs::exists(binary.cameras, ec) || fs::exists(binary.images, ec) ||
                                       fs::exists(binary.points3D, ec)
                                   ? binary
                                   : text;
        for (const std::string* f : {&p.cameras, &p.images, &p.points3D}) {
            if (!fs::is_regular_file(*f, ec)) {
                error = "missing model file " + *f +
                        " (a model is cameras, images and points3D, all .txt or all .bin)";
                return false;
            }
        }
    }
    const ColmapFiles& names = isBinary ? binary : text;
    ColmapFiles files;
    if (!ReadWholeFile(names.cameras, files.cameras, error) ||
        !ReadWholeFile(names.images, files.images, error) ||
        !ReadWholeFile(names.points3D, files.points3D, error)) {
        return false;
    }
    return isBinary ? ParseColmapBinary(files, model, error, names)
                    : ParseColmapText(files, model, error, names);
}

bool IsColmapModelFolder(const std::string& dir) {
    namespace fs = std::filesystem;
    std::error_code ec;
    for (const char* extension : {".bin", ".txt"}) {
        bool complete = true;
        for (const char* file : {"cameras", "images", "points3D"}) {
            complete = complete &&
                       fs::is_regular_file(fs::path(dir) / (std::string(file) + extension), ec);
        }
        if (complete) {
            return true;
        }
    }
    return false;
}

bool ReadLargestColmapModel(const std::string& dir, ColmapModel& model, std::string& chosen,
                            std::string& note, std::string& error) {
    namespace fs = std::filesystem;
    chosen = dir;
    note.clear();
    std::error_code ec;
    // A folder with any of a model's files is one model (the reader names what is missing).
    bool modelFiles = !fs::is_directory(dir, ec);
    for (const char* file : {"cameras.bin", "images.bin", "points3D.bin", "cameras.txt",
                             "images.txt", "points3D.txt"}) {
        modelFiles = modelFiles || fs::exists(fs::path(dir) / file, ec);
    }
    if (modelFiles) {
        return ReadColmapModel(dir, model, error);
    }
    // The mapper's numbered model folders, in numeric order.
    std::vector<std::pair<long, std::string>> numbered;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.empty() || name.size() > 6 ||
            name.find_first_not_of("0123456789") != std::string::npos ||
            !IsColmapModelFolder(it->path().string())) {
            continue;
        }
        numbered.emplace_back(std::strtol(name.c_str(), nullptr, 10), it->path().string());
    }
    if (numbered.empty()) {
        error = "no COLMAP model in " + dir +
                " (expected cameras, images and points3D files, all .bin or all .txt, or the "
                "mapper's numbered model folders 0, 1, ... holding them)";
        return false;
    }
    std::sort(numbered.begin(), numbered.end());
    std::vector<size_t> registered(numbered.size(), 0);
    size_t best = 0;
    for (size_t i = 0; i < numbered.size(); i++) {
        ColmapModel candidate;
        if (!ReadColmapModel(numbered[i].second, candidate, error)) {
            return false;
        }
        registered[i] = candidate.images.size();
        if (i == 0 || candidate.images.size() > model.images.size()) {
            best = i;
            model = std::move(candidate);
        }
    }
    chosen = numbered[best].second;
    if (numbered.size() == 1) {
        note = "Model " + chosen + ": " + std::to_string(registered[best]) +
               " registered images, the only model in " + dir;
    } else {
        std::string others;
        for (size_t i = 0; i < numbered.size(); i++) {
            if (i != best) {
                others += std::string(others.empty() ? "" : ", ") + numbered[i].second + ": " +
                          std::to_string(registered[i]);
            }
        }
        note = "Model " + chosen + ": " + std::to_string(registered[best]) +
               " registered images, the largest of the " + std::to_string(numbered.size()) +
               " models in " + dir + " (" + others + ")";
    }
    return true;
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

namespace {

template <class T>
void PutInteger(std::string& out, T value) {
    zelio::AppendLe(out, static_cast<uint64_t>(value), static_cast<int>(sizeof(T)));
}

void PutDouble(std::string& out, double value) {
    uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof(bits));
    PutInteger(out, bits);
}

}  // namespace

ColmapFiles FormatColmapBinary(const ColmapModel& model) {
    ColmapFiles out;
    PutInteger(out.cameras, static_cast<uint64_t>(model.cameras.size()));
    for (const ColmapCamera& c : model.cameras) {
        PutInteger(out.cameras, c.id);
        PutInteger(out.cameras, static_cast<int32_t>(c.model));
        PutInteger(out.cameras, c.width);
        PutInteger(out.cameras, c.height);
        for (double p : c.params) {
            PutDouble(out.cameras, p);
        }
    }
    PutInteger(out.images, static_cast<uint64_t>(model.images.size()));
    for (const ColmapImage& im : model.images) {
        PutInteger(out.images, im.id);
        for (double v : im.q) {
            PutDouble(out.images, v);
        }
        for (double v : im.t) {
            PutDouble(out.images, v);
        }
        PutInteger(out.images, im.camera);
        out.images += im.name;
        out.images.push_back('\0');
        PutInteger(out.images, static_cast<uint64_t>(im.points.size()));
        for (const ColmapPoint2D& p : im.points) {
            PutDouble(out.images, p.x);
            PutDouble(out.images, p.y);
            PutInteger(out.images, p.point3D);
        }
    }
    PutInteger(out.points3D, static_cast<uint64_t>(model.points.size()));
    for (const ColmapPoint3D& p : model.points) {
        PutInteger(out.points3D, p.id);
        for (double v : p.xyz) {
            PutDouble(out.points3D, v);
        }
        for (uint8_t c : p.rgb) {
            PutInteger(out.points3D, c);
        }
        PutDouble(out.points3D, p.error);
        PutInteger(out.points3D, static_cast<uint64_t>(p.track.size()));
        for (const ColmapTrackElement& e : p.track) {
            PutInteger(out.points3D, e.image);
            PutInteger(out.points3D, e.point2D);
        }
    }
    return out;
}

bool WriteColmapText(const std::string& dir, const ColmapModel& model, std::string& error) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (!fs::is_directory(dir, ec)) {
        error = "can not create the model folder " + dir;
        return false;
    }
    const ColmapFiles files = FormatColmapText(model);
    const fs::path base(dir);
    return WriteFileWhole((base / "cameras.txt").string(), files.cameras, error) &&
           WriteFileWhole((base / "images.txt").string(), files.images, error) &&
           WriteFileWhole((base / "points3D.txt").string(), files.points3D, error);
}

bool WriteFileWhole(const std::string& path, const std::string& bytes, std::string& error) {
    return zelio::WriteBytesWhole(path, bytes.data(), bytes.size(), &error);
}

}  // namespace zelinterop
