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

namespace detail {

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

bool ParseColmapFiles(const ColmapFiles& files, const ColmapFiles& names,
                      const ColmapFileReaders& readers, ColmapModel& model, std::string& error) {
    model = ColmapModel();
    CrossReferences refs;
    std::vector<std::string> where;
    return readers.cameras(files.cameras, names.cameras, model, refs, error) &&
           readers.images(files.images, names.images, model, refs, where, error) &&
           readers.points(files.points3D, names.points3D, model, refs, error) &&
           CheckImagePoints(model, refs, where, error);
}

}  // namespace detail

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
