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
#include "io/byteorder.h"

// COLMAP's binary form: cameras.bin, images.bin and points3D.bin, little-endian.
namespace zelinterop {

using namespace detail;

namespace {

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

}  // namespace

bool ParseColmapBinary(const ColmapFiles& files, ColmapModel& model, std::string& error,
                       const ColmapFiles& names) {
    return ParseColmapFiles(
        files, names, {ParseCamerasBinary, ParseImagesBinary, ParsePointsBinary}, model, error);
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

// Each of the values as a little-endian double.
template <class Values>
void PutDoubles(std::string& out, const Values& values) {
    for (double v : values) {
        PutDouble(out, v);
    }
}

// The count of the items (64 bits), then each item as put writes it.
template <class Item, class Put>
void PutList(std::string& out, const std::vector<Item>& items, Put put) {
    PutInteger(out, static_cast<uint64_t>(items.size()));
    for (const Item& item : items) {
        put(out, item);
    }
}

// A camera: its id, model, size and parameters.
void PutCamera(std::string& out, const ColmapCamera& c) {
    PutInteger(out, c.id);
    PutInteger(out, static_cast<int32_t>(c.model));
    PutInteger(out, c.width);
    PutInteger(out, c.height);
    PutDoubles(out, c.params);
}

void PutImagePoint(std::string& out, const ColmapPoint2D& p) {
    PutDouble(out, p.x);
    PutDouble(out, p.y);
    PutInteger(out, p.point3D);
}

// An image: its id, pose, camera, name (ended by a NUL) and 2D points.
void PutImage(std::string& out, const ColmapImage& im) {
    PutInteger(out, im.id);
    PutDoubles(out, im.q);
    PutDoubles(out, im.t);
    PutInteger(out, im.camera);
    out += im.name;
    out.push_back('\0');
    PutList(out, im.points, PutImagePoint);
}

void PutTrackElement(std::string& out, const ColmapTrackElement& e) {
    PutInteger(out, e.image);
    PutInteger(out, e.point2D);
}

// A 3D point: its id, position, colour, error and track.
void PutPoint(std::string& out, const ColmapPoint3D& p) {
    PutInteger(out, p.id);
    PutDoubles(out, p.xyz);
    for (uint8_t c : p.rgb) {
        PutInteger(out, c);
    }
    PutDouble(out, p.error);
    PutList(out, p.track, PutTrackElement);
}

}  // namespace

ColmapFiles FormatColmapBinary(const ColmapModel& model) {
    ColmapFiles out;
    PutList(out.cameras, model.cameras, PutCamera);
    PutList(out.images, model.images, PutImage);
    PutList(out.points3D, model.points, PutPoint);
    return out;
}

}  // namespace zelinterop
