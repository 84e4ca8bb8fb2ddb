#include "tools/projectgen.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "io/byteorder.h"
#include "io/projectfile.h"
#include "io/writewhole.h"

namespace {

// splitmix64: small, fast and the same everywhere.
class Random {
  public:
    explicit Random(uint64_t seed) : state_(seed) {}
    uint64_t Next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // Uniform in [0, 1).
    double Unit() { return static_cast<double>(Next() >> 11) * (1.0 / 9007199254740992.0); }
    double Range(double lo, double hi) { return lo + (hi - lo) * Unit(); }
    // Uniform in [0, n), n > 0.
    int Below(int n) { return static_cast<int>(Next() % static_cast<uint64_t>(n)); }

  private:
    uint64_t state_;
};

// A 24-bit bottom-up BMP with a colour gradient, built byte by byte.
bool WriteReferenceBmp(const std::string& path, int width, int height) {
    const int rowBytes = (width * 3 + 3) / 4 * 4;
    const uint32_t pixelBytes = static_cast<uint32_t>(rowBytes * height);
    std::string bytes = "BM";
    for (uint32_t field : {54 + pixelBytes, 0u, 54u, 40u, static_cast<uint32_t>(width),
                           static_cast<uint32_t>(height)}) {
        zelio::AppendLe(bytes, field, 4);
    }
    zelio::AppendLe(bytes, 1, 2);   // planes
    zelio::AppendLe(bytes, 24, 2);  // bits per pixel
    for (uint32_t field : {0u, pixelBytes, 2835u, 2835u, 0u, 0u}) {
        zelio::AppendLe(bytes, field, 4);
    }
    for (int y = 0; y < height; y++) {
        for (int x = 0; x < width; x++) {
            bytes.push_back(static_cast<char>(255 * x / width));   // blue
            bytes.push_back(static_cast<char>(255 * y / height));  // green
            bytes.push_back(static_cast<char>(128));               // red
        }
        bytes.resize(bytes.size() + static_cast<size_t>(rowBytes - width * 3), '\0');
    }
    return zelio::WriteBytesWhole(path, bytes.data(), bytes.size(), nullptr);
}

// World-to-camera pose of frame i: the camera centre moves along +x and the camera turns
// slowly about the y axis.
struct Pose {
    double R[3][3];
    double t[3];
};

Pose FramePose(int i) {
    const double angle = 0.0004 * i;
    const double c = std::cos(angle);
    const double s = std::sin(angle);
    // Camera-to-world rotation about y; its transpose maps world to camera.
    const double Rc[3][3] = {{c, 0, s}, {0, 1, 0}, {-s, 0, c}};
    const double centre[3] = {0.02 * i, 0.001 * i, 0.0};
    Pose pose;
    for (int r = 0; r < 3; r++) {
        for (int k = 0; k < 3; k++) {
            pose.R[r][k] = Rc[k][r];
        }
    }
    for (int r = 0; r < 3; r++) {
        pose.t[r] =
            -(pose.R[r][0] * centre[0] + pose.R[r][1] * centre[1] + pose.R[r][2] * centre[2]);
    }
    return pose;
}

bool Fail(const std::string& what) {
    std::fprintf(stderr, "gen_project: %s\n", what.c_str());
    return false;
}

bool WriteInfo(const std::string& path, const SyntheticProjectInfo& info) {
    const std::string text =
        std::to_string(info.fileBytes) + " " + std::to_string(info.observations) + "\n";
    return zelio::WriteBytesWhole(path, text.data(), text.size(), nullptr);
}

bool ReadInfo(const std::string& path, SyntheticProjectInfo* info) {
    FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) {
        return false;
    }
    long long bytes = 0;
    long long observations = 0;
    const bool ok = std::fscanf(file, "%lld %lld", &bytes, &observations) == 2;
    std::fclose(file);
    info->fileBytes = bytes;
    info->observations = observations;
    return ok;
}

// Writes the project's text to file in pieces of about a megabyte; counts its bytes and
// observations into result. False when a piece could not be written.
bool WriteProjectText(FILE* file, const SyntheticProjectOptions& options,
                      SyntheticProjectInfo& result) {
    const double f = 0.9 * options.imageWidth;
    const double cx = 0.5 * options.imageWidth;
    const double cy = 0.5 * options.imageHeight;
    std::vector<Pose> poses;
    poses.reserve(static_cast<size_t>(options.frames));
    for (int i = 0; i < options.frames; i++) {
        poses.push_back(FramePose(i));
    }
    zelio::ProjectFileStyle style;
    style.comment = "camera track project file (synthetic: " + std::to_string(options.frames) +
                    " frames, " + std::to_string(options.tracks) + " tracks)";
    style.intrinsics = {'f', 6};
    style.extraIntrinsics = {1.0};
    style.points = {'g', 10};
    style.observations = {'f', 6};
    style.poses = {'g', 10};
    zelio::ProjectFileWriter out(style);
    bool written = true;
    auto flush = [&](size_t atLeast) {
        std::string& text = out.Text();
        if (text.size() >= atLeast && !text.empty()) {
            written = written && std::fwrite(text.data(), 1, text.size(), file) == text.size();
            result.fileBytes += static_cast<int64_t>(text.size());
            text.clear();
        }
    };
    out.Begin("./images/frame0000.bmp", 0, 1, options.frames - 1);
    out.Intrinsics(f, f, cx, cy, 0.0);
    Random random(options.seed);
    const int maxLength = std::min(2 * options.meanObservations - 1, options.frames);
    out.BeginTracks(static_cast<size_t>(options.tracks));
    for (int id = 0; id < options.tracks; id++) {
        const int count = 1 + random.Below(maxLength);
        const int first = random.Below(options.frames - count + 1);
        // A point in front of the middle frame of the track.
        const int middle = first + count / 2;
        const double Z = random.Range(5.0, 60.0);
        const double X = 0.02 * middle + random.Range(-0.5, 0.5) * Z * options.imageWidth / f;
        const double Y = 0.001 * middle + random.Range(-0.5, 0.5) * Z * options.imageHeight / f;
        const int roll = random.Below(100);
        const int status = roll < 85 ? 0 : roll < 90 ? 1 : roll < 95 ? 3 : -1;
        const double point[3] = {X, Y, Z};
        out.TrackHead(static_cast<size_t>(count), id, status, point);
        for (int j = 0; j < count; j++) {
            const Pose& p = poses[static_cast<size_t>(first + j)];
            double c[3];
            for (int r = 0; r < 3; r++) {
                c[r] = p.R[r][0] * X + p.R[r][1] * Y + p.R[r][2] * Z + p.t[r];
            }
            const double x = f * c[0] / c[2] + cx + random.Range(-0.5, 0.5);
            const double y = f * c[1] / c[2] + cy + random.Range(-0.5, 0.5);
            out.Observation(first + j, x, y);
        }
        result.observations += count;
        flush(size_t(1) << 20);
    }
    out.BeginCameras();
    for (int i = 0; i < options.frames; i++) {
        const Pose& p = poses[static_cast<size_t>(i)];
        out.Camera(static_cast<size_t>(i), f, p.R, p.t);
    }
    out.End();
    flush(0);
    return written;
}

}  // namespace

bool WriteSyntheticProject(const std::string& dir, const SyntheticProjectOptions& options,
                           SyntheticProjectInfo* info) {
    if (options.frames < 1 || options.tracks < 0 || options.meanObservations < 1 ||
        options.frames > 1000000 || options.meanObservations > 100000) {
        return Fail("frames must be at least 1, tracks at least 0, observations at least 1");
    }
    std::error_code error;
    std::filesystem::create_directories(dir + "/images", error);
    if (error) {
        return Fail("cannot create " + dir + "/images");
    }
    SyntheticProjectInfo result;
    result.projectPath = dir + "/project.txt";
    result.referenceImage = dir + "/images/frame0000.bmp";
    if (!WriteReferenceBmp(result.referenceImage, 64, 36)) {
        return Fail("cannot write " + result.referenceImage);
    }

    auto write = [&](const std::string& partial, std::string* reason) {
        FILE* file = zelio::OpenForWriting(partial, reason);
        if (file == nullptr) {
            return false;
        }
        const bool written = WriteProjectText(file, options, result);
        if (!zelio::CloseWritten(file, partial, reason) || !written) {
            *reason = "cannot write " + partial;
            return false;
        }
        // The figures go first: a project.txt only appears complete and with them.
        if (!WriteInfo(dir + "/project.info", result)) {
            *reason = "cannot write " + dir + "/project.info";
            return false;
        }
        return true;
    };
    std::string reason;
    if (!zelio::WriteWhole(result.projectPath, write, &reason)) {
        return Fail(reason);
    }
    if (info != nullptr) {
        *info = result;
    }
    return true;
}

bool EnsureSyntheticProject(const std::string& dir, const SyntheticProjectOptions& options,
                            SyntheticProjectInfo* info) {
    SyntheticProjectInfo existing;
    existing.projectPath = dir + "/project.txt";
    existing.referenceImage = dir + "/images/frame0000.bmp";
    if (std::filesystem::exists(existing.projectPath) &&
        std::filesystem::exists(existing.referenceImage) &&
        ReadInfo(dir + "/project.info", &existing)) {
        if (info != nullptr) {
            *info = existing;
        }
        return true;
    }
    return WriteSyntheticProject(dir, options, info);
}
