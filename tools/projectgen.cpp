#include "tools/projectgen.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <vector>

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

// Buffered writer that counts the bytes it writes.
class Output {
  public:
    explicit Output(FILE* file) : file_(file) { buffer_.reserve(kFlushAt + 4096); }
    ~Output() { Flush(); }
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    template <class... Args>
    void Print(const char* format, Args... args) {
        char text[256];
        const int n = std::snprintf(text, sizeof text, format, args...);
        if (n > 0) {
            buffer_.insert(buffer_.end(), text, text + std::min(n, kMaxPiece));
        }
        if (buffer_.size() >= kFlushAt) {
            Flush();
        }
    }
    void Write(const char* text) { Print("%s", text); }
    void Flush() {
        if (!buffer_.empty() &&
            std::fwrite(buffer_.data(), 1, buffer_.size(), file_) != buffer_.size()) {
            failed_ = true;
        }
        bytes_ += static_cast<int64_t>(buffer_.size());
        buffer_.clear();
    }
    bool Failed() const { return failed_; }
    int64_t Bytes() const { return bytes_; }

  private:
    static constexpr size_t kFlushAt = 1 << 20;
    static constexpr int kMaxPiece = 255;
    FILE* file_;
    std::vector<char> buffer_;
    int64_t bytes_ = 0;
    bool failed_ = false;
};

void PutLE(std::vector<unsigned char>& out, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; i++) {
        out.push_back(static_cast<unsigned char>(value >> (8 * i)));
    }
}

// A 24-bit bottom-up BMP with a colour gradient, built byte by byte.
bool WriteReferenceBmp(const std::string& path, int width, int height) {
    const int rowBytes = (width * 3 + 3) / 4 * 4;
    const uint32_t pixelBytes = static_cast<uint32_t>(rowBytes * height);
    std::vector<unsigned char> bytes;
    bytes.push_back('B');
    bytes.push_back('M');
    PutLE(bytes, 54 + pixelBytes, 4);
    PutLE(bytes, 0, 4);
    PutLE(bytes, 54, 4);
    PutLE(bytes, 40, 4);
    PutLE(bytes, static_cast<uint32_t>(width), 4);
    PutLE(bytes, static_cast<uint32_t>(height), 4);
    PutLE(bytes, 1, 2);
    PutLE(bytes, 24, 2);
    PutLE(bytes, 0, 4);
    PutLE(bytes, pixelBytes, 4);
    PutLE(bytes, 2835, 4);
    PutLE(bytes, 2835, 4);
    PutLE(bytes, 0, 4);
    PutLE(bytes, 0, 4);
    for (int y = 0; y < height; y++) {
        for (int x = 0; x < width; x++) {
            bytes.push_back(static_cast<unsigned char>(255 * x / width));   // blue
            bytes.push_back(static_cast<unsigned char>(255 * y / height));  // green
            bytes.push_back(128);                                           // red
        }
        bytes.resize(bytes.size() + static_cast<size_t>(rowBytes - width * 3), 0);
    }
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && ok;
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
    FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr) {
        return false;
    }
    std::fprintf(file, "%lld %lld\n", static_cast<long long>(info.fileBytes),
                 static_cast<long long>(info.observations));
    return std::fclose(file) == 0;
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

    const std::string temporary = result.projectPath + ".partial";
    FILE* file = std::fopen(temporary.c_str(), "wb");
    if (file == nullptr) {
        return Fail("cannot write " + temporary);
    }
    const double f = 0.9 * options.imageWidth;
    const double cx = 0.5 * options.imageWidth;
    const double cy = 0.5 * options.imageHeight;
    std::vector<Pose> poses;
    poses.reserve(static_cast<size_t>(options.frames));
    for (int i = 0; i < options.frames; i++) {
        poses.push_back(FramePose(i));
    }
    {
        Output out(file);
        out.Print("#camera track project file (synthetic: %d frames, %d tracks)\n", options.frames,
                  options.tracks);
        out.Print(
            "<Image Sequence>\nSequence:./images/frame0000.bmp\nstart:0\nstep:1\nend:%d\n"
            "</Image Sequence>\n",
            options.frames - 1);
        out.Print("<intrinsic parameter>\n%.6f %.6f %.6f %.6f %.6f %.6f\n</intrinsic parameter>\n",
                  f, f, cx, cy, 0.0, 1.0);

        Random random(options.seed);
        const int maxLength = std::min(2 * options.meanObservations - 1, options.frames);
        out.Print("<Feature Tracks>\n%d\n", options.tracks);
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
            out.Print("%d %d %d %.10g %.10g %.10g\n", count, id, status, X, Y, Z);
            for (int j = 0; j < count; j++) {
                const Pose& p = poses[static_cast<size_t>(first + j)];
                double c[3];
                for (int r = 0; r < 3; r++) {
                    c[r] = p.R[r][0] * X + p.R[r][1] * Y + p.R[r][2] * Z + p.t[r];
                }
                const double x = f * c[0] / c[2] + cx + random.Range(-0.5, 0.5);
                const double y = f * c[1] / c[2] + cy + random.Range(-0.5, 0.5);
                out.Print("%d %.6f %.6f\n", first + j, x, y);
            }
            result.observations += count;
        }
        out.Write("</Feature Tracks>\n<Camera Track>\n");
        for (int i = 0; i < options.frames; i++) {
            const Pose& p = poses[static_cast<size_t>(i)];
            out.Print("<FRAME%d>\n%.10g\n", i, f);
            for (int r = 0; r < 3; r++) {
                out.Print("%.10g %.10g %.10g %.10g\n", p.R[r][0], p.R[r][1], p.R[r][2], p.t[r]);
            }
            out.Print("</FRAME%d>\n", i);
        }
        out.Write("</Camera Track>\n");
        out.Flush();
        result.fileBytes = out.Bytes();
        if (out.Failed()) {
            std::fclose(file);
            return Fail("cannot write " + temporary);
        }
    }
    if (std::fclose(file) != 0) {
        return Fail("cannot write " + temporary);
    }
    if (!WriteInfo(dir + "/project.info", result)) {
        return Fail("cannot write " + dir + "/project.info");
    }
    std::filesystem::rename(temporary, result.projectPath, error);
    if (error) {
        return Fail("cannot rename " + temporary);
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
