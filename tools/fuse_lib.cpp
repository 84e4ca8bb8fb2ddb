#include "tools/fuse_lib.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <system_error>

#include "geometry/camera.h"
#include "io/byteorder.h"
#include "io/depthfile.h"
#include "io/writewhole.h"
#include "parser/trackfileparser.h"
#include "platform/platform.h"
#include "sequence/videoframe.h"
#include "sequence/videosequence.h"
#include "tools/frontend.h"

namespace zelfuse {

namespace {

constexpr const char* kUsage =
    "Usage: zel_fuse <project file> [--frames FIRST:LAST] [--min-views N] [--tolerance T] "
    "[--min-confidence C] [--out FILE.ply]\n";

void PrintHelp() {
    std::printf(
        "%s\n"
        "Fuses the depth files DATA/_depth<i>.raw of the chosen frames (0-based, inclusive;\n"
        "all frames by default) into one coloured point cloud. Every pixel with a finite,\n"
        "positive disparity becomes a world point with the frame's colour; it is kept when at\n"
        "least N - 1 other frames among the N - 1 nearest on each side agree with it (its\n"
        "reprojected disparity within T times theirs; default N = %d, T = %g), and only in the\n"
        "first frame that sees it consistently, so that the cloud holds each surface once.\n"
        "Frames without a depth file are skipped with a warning. With --min-confidence C\n"
        "(0 < C <= 1), only pixels whose confidence in DATA/_conf<i>.raw (written by the\n"
        "reference stages) is at least C become points; frames without that file are skipped.\n"
        "\n"
        "The cloud is written as a binary little-endian PLY (x y z float, red green blue uchar)\n"
        "to FILE.ply, by default DATA/fused.ply beside the images. Progress goes to standard\n"
        "error, the summary to standard output.\n"
        "\n"
        "Exit status: 0 when the cloud was written, 1 on failure, 2 for a usage error.\n",
        kUsage, kDefaultMinViews, kDefaultTolerance);
}

struct Options {
    std::string project;
    bool hasRange = false;
    int first = 0;
    int last = 0;
    int minViews = kDefaultMinViews;
    double tolerance = kDefaultTolerance;
    double minConfidence = 0.0;
    std::string out;
};

// Reads the command line into o. Returns -1 to go on, or the exit status to end with (0 after
// --help, 2 after a usage error).
int ParseArguments(int argc, const char* const argv[], Options& o,
                   const zeltool::CommandLine& line) {
    std::vector<std::string> rest;
    const int status = line.ParseProject(argc, argv, o.project, rest);
    if (status >= 0) {
        return status;
    }
    if (!rest.empty()) {
        return line.Usage("More than one project file: " + rest[0]);
    }
    return -1;
}

zeltool::CommandLine Arguments(Options& o) {
    zeltool::UsageStyle style = zeltool::ErrorStyle(" (zel_fuse --help explains the options)");
    style.missingValue = "%o needs a value";
    zeltool::CommandLine line(style, PrintHelp);
    line.Frames("--frames", "FIRST:LAST", 0, INT_MAX, &o.first, &o.last, &o.hasRange)
        .BadValue("--frames takes FIRST:LAST, 0 <= FIRST <= LAST: %v");
    line.Int("--min-views", "N", 1, 64, &o.minViews)
        .BadValue("--min-views takes a whole number from 1 to 64: %v");
    line.Number("--tolerance", "T", 0.0, 1.0, &o.tolerance, "", true, true)
        .BadValue("--tolerance takes a number between 0 and 1: %v");
    line.Number("--min-confidence", "C", 0.0, 1.0, &o.minConfidence, "", true, false)
        .BadValue("--min-confidence takes a number above 0, at most 1: %v");
    line.Text("--out", "FILE.ply", &o.out);
    return line;
}

// Loads frame i's depth file (and, when withColor, its colour image) into a view. Null with a
// warning when the file is missing or does not have the working size.
std::unique_ptr<FrameView> LoadView(CZelVideoSequence& sequence, int i) {
    CZelVideoFrame* frame = sequence.GetFrame(i);
    const int W = CZelVideoFrame::GetWorkingWidth();
    const int H = CZelVideoFrame::GetWorkingHeight();
    const std::string path = zelio::DepthFilePath(CZelVideoFrame::dataDir, frame->index);
    std::error_code ec;
    const uintmax_t expected = static_cast<uintmax_t>(W) * static_cast<uintmax_t>(H) * 4u;
    if (!std::filesystem::is_regular_file(path, ec)) {
        std::printf("Warning: No depth file for frame %d, skipped: %s\n", i, path.c_str());
        return nullptr;
    }
    const uintmax_t size = std::filesystem::file_size(path, ec);
    if (ec || size != expected) {
        std::printf("Warning: Depth file %s does not hold %d x %d floats, frame %d skipped\n",
                    path.c_str(), W, H, i);
        return nullptr;
    }
    if (!frame->LoadDepthFile() || frame->dspImg == nullptr) {
        frame->ReleaseMaps();
        std::printf("Warning: Can not load depth file %s, frame %d skipped\n", path.c_str(), i);
        return nullptr;
    }
    auto view = std::make_unique<FrameView>();
    view->index = i;
    view->camera = frame->camera;
    view->useScaledK = CZelVideoFrame::reduced;
    view->width = W;
    view->height = H;
    view->disparity.resize(static_cast<size_t>(W) * static_cast<size_t>(H));
    for (int y = 0; y < H; y++) {
        for (int x = 0; x < W; x++) {
            view->disparity[static_cast<size_t>(y) * W + x] = frame->dspImg->At(x, y, 0);
        }
    }
    frame->ReleaseMaps();
    return view;
}

// Reads frame view.index's confidence file (DATA/_conf<i>.raw, the depth files' layout) into
// the view; false with a warning when it is missing or not of the map's size.
bool LoadConfidence(FrameView& view) {
    const std::string path = zelio::ConfidenceFilePath(CZelVideoFrame::dataDir, view.index);
    const size_t n = static_cast<size_t>(view.width) * static_cast<size_t>(view.height);
    if (!zelio::ReadRawFloats(path, n, view.confidence)) {
        std::printf("Warning: No confidence file of %d x %d floats for frame %d, skipped: %s\n",
                    view.width, view.height, view.index, path.c_str());
        return false;
    }
    return true;
}

// Gives the view its frame's colours, or mid grey (with a warning) without a readable image.
void LoadColors(CZelVideoSequence& sequence, FrameView& view) {
    CZelVideoFrame* frame = sequence.GetFrame(view.index);
    frame->LoadColorImage();
    const size_t n = static_cast<size_t>(view.width) * static_cast<size_t>(view.height);
    const ZImage<unsigned char>* image = frame->colorImg;
    if (image == nullptr || image->GetWidth() != view.width || image->GetHeight() != view.height) {
        std::printf("Warning: No colour image for frame %d (%s), its points are grey\n", view.index,
                    frame->imageFile.c_str());
        view.rgb.assign(n * 3, 128);
    } else {
        view.rgb.resize(n * 3);
        for (int y = 0; y < view.height; y++) {
            for (int x = 0; x < view.width; x++) {
                for (int c = 0; c < 3; c++) {
                    view.rgb[(static_cast<size_t>(y) * view.width + x) * 3 + c] =
                        image->At(x, y, c);
                }
            }
        }
    }
    frame->ReleaseMaps();
}

// Writes the PLY file as the frames come: a header of fixed length with the count left open,
// the vertices, then the header again with the final count.
class PlyWriter {
  public:
    bool Open(const std::string& path, std::string* error) {
        path_ = path;
        file_ = zelio::OpenForWriting(path, error);
        return file_ != nullptr && Put(PlyHeader(0, HeaderLength()));
    }
    bool Append(const std::vector<PlyPoint>& points) {
        buffer_.clear();
        AppendPlyVertices(points, &buffer_);
        count_ += points.size();
        return Put(buffer_);
    }
    bool Finish(std::string* error) {
        const bool ok =
            std::fseek(file_, 0, SEEK_SET) == 0 && Put(PlyHeader(count_, HeaderLength()));
        const bool closed = zelio::CloseWritten(file_, path_, error);
        file_ = nullptr;
        return ok && closed;
    }
    ~PlyWriter() {
        if (file_ != nullptr) {
            std::fclose(file_);
        }
    }

  private:
    static size_t HeaderLength() { return PlyHeader(UINT64_MAX).size() + 40; }
    bool Put(const std::string& bytes) {
        return std::fwrite(bytes.data(), 1, bytes.size(), file_) == bytes.size();
    }
    std::string path_;
    std::FILE* file_ = nullptr;
    std::string buffer_;
    uint64_t count_ = 0;
};

struct Totals {
    int framesUsed = 0;
    int framesSkipped = 0;
    FrameResult points;
};

// The fusion loop over frames first..last with a sliding window of loaded depth maps.
bool FuseRange(CZelVideoSequence& sequence, const Options& o, PlyWriter& writer, Totals& totals) {
    const int radius = std::max(o.minViews - 1, 1);
    std::map<int, std::unique_ptr<FrameView>> window;  // null: no usable depth file
    const int count = o.last - o.first + 1;
    for (int i = o.first; i <= o.last; i++) {
        window.erase(window.begin(), window.lower_bound(i - radius));
        for (int j = std::max(o.first, i - radius); j <= std::min(o.last, i + radius); j++) {
            if (window.find(j) == window.end()) {
                window[j] = LoadView(sequence, j);
            }
        }
        FrameView* reference = window[i].get();
        if (reference == nullptr || (o.minConfidence > 0.0 && !LoadConfidence(*reference))) {
            totals.framesSkipped++;
            continue;
        }
        std::vector<const FrameView*> neighbours;
        for (int d = 1; d <= radius; d++) {
            for (int j : {i - d, i + d}) {
                auto it = window.find(j);
                if (it != window.end() && it->second != nullptr) {
                    neighbours.push_back(it->second.get());
                }
            }
        }
        LoadColors(sequence, *reference);
        std::vector<PlyPoint> points;
        const FrameResult r =
            FuseFrame(*reference, neighbours, o.minViews, o.tolerance, &points, o.minConfidence);
        reference->rgb.clear();
        reference->confidence.clear();
        reference->rgb.shrink_to_fit();
        if (!writer.Append(points)) {
            return false;
        }
        totals.framesUsed++;
        totals.points.pointsIn += r.pointsIn;
        totals.points.kept += r.kept;
        totals.points.fewViews += r.fewViews;
        totals.points.duplicates += r.duplicates;
        totals.points.unsure += r.unsure;
        std::fprintf(stderr, "Frame %d (%d of %d): %zu points, %zu kept\n", i, i - o.first + 1,
                     count, r.pointsIn, r.kept);
    }
    return true;
}

}  // namespace

bool Agrees(const FrameView& other, const double X[3], double tolerance) {
    float u = 0.0f;
    float v = 0.0f;
    float predicted = 0.0f;
    Vector3d point;
    for (int i = 0; i < 3; i++) {
        point[i] = X[i];
    }
    other.camera->WorldToPixel(u, v, predicted, point, other.useScaledK);
    const float W = static_cast<float>(other.width);
    const float H = static_cast<float>(other.height);
    // Pixel footprints reach half a pixel beyond the outer pixel centres.
    if (!(predicted > 0.0f) || !(u >= -0.5f && u <= W - 0.5f) || !(v >= -0.5f && v <= H - 0.5f)) {
        return false;  // behind the camera or outside the picture
    }
    u = std::clamp(u, 0.0f, W - 1);
    v = std::clamp(v, 0.0f, H - 1);
    const int x0 = static_cast<int>(u);
    const int y0 = static_cast<int>(v);
    const int x1 = std::min(x0 + 1, other.width - 1);
    const int y1 = std::min(y0 + 1, other.height - 1);
    const float* map = other.disparity.data();
    const size_t w = static_cast<size_t>(other.width);
    const float s00 = map[static_cast<size_t>(y0) * w + x0];
    const float s10 = map[static_cast<size_t>(y0) * w + x1];
    const float s01 = map[static_cast<size_t>(y1) * w + x0];
    const float s11 = map[static_cast<size_t>(y1) * w + x1];
    for (float s : {s00, s10, s01, s11}) {
        if (!(std::isfinite(s) && s > 0.0f)) {
            return false;  // the other frame has no depth there
        }
    }
    const double dx = static_cast<double>(u) - x0;
    const double dy = static_cast<double>(v) - y0;
    const double stored = (s00 * (1 - dx) + s10 * dx) * (1 - dy) + (s01 * (1 - dx) + s11 * dx) * dy;
    return std::fabs(static_cast<double>(predicted) - stored) <= tolerance * stored;
}

FrameResult FuseFrame(const FrameView& reference, const std::vector<const FrameView*>& neighbours,
                      int minViews, double tolerance, std::vector<PlyPoint>* out,
                      double minConfidence) {
    FrameResult r;
    const bool sure = reference.confidence.size() == reference.disparity.size();
    const bool hasColor = reference.rgb.size() == reference.disparity.size() * 3;
    for (int y = 0; y < reference.height; y++) {
        for (int x = 0; x < reference.width; x++) {
            const size_t k = static_cast<size_t>(y) * reference.width + x;
            const float d = reference.disparity[k];
            if (!(std::isfinite(d) && d > 0.0f)) {
                continue;
            }
            r.pointsIn++;
            if (sure && !(reference.confidence[k] >= minConfidence)) {
                r.unsure++;
                continue;
            }
            Vector3d world;
            reference.camera->PixelToWorld(x, y, static_cast<double>(d), world,
                                           reference.useScaledK);
            const double X[3] = {world[0], world[1], world[2]};
            int agreeing = 0;
            bool seenBefore = false;
            for (const FrameView* other : neighbours) {
                if (Agrees(*other, X, tolerance)) {
                    agreeing++;
                    seenBefore = seenBefore || other->index < reference.index;
                }
            }
            if (agreeing < minViews - 1) {
                r.fewViews++;
            } else if (seenBefore) {
                r.duplicates++;
            } else {
                static const unsigned char kGrey[3] = {128, 128, 128};
                const unsigned char* c = hasColor ? &reference.rgb[k * 3] : kGrey;
                out->push_back(PlyPoint{static_cast<float>(X[0]), static_cast<float>(X[1]),
                                        static_cast<float>(X[2]), c[0], c[1], c[2]});
                r.kept++;
            }
        }
    }
    return r;
}

std::string PlyHeader(uint64_t count, size_t length) {
    const std::string head = "ply\nformat binary_little_endian 1.0\n";
    const std::string comment = "written by zel_fuse\n";
    const std::string tail = "element vertex " + std::to_string(count) +
                             "\nproperty float x\nproperty float y\nproperty float z\n"
                             "property uchar red\nproperty uchar green\nproperty uchar blue\n"
                             "end_header\n";
    const size_t bare = head.size() + 8 + comment.size() + tail.size();  // "comment " + text
    const size_t spaces = length > bare ? length - bare : 0;
    return head + "comment " + std::string(spaces, ' ') + comment + tail;
}

void AppendPlyVertices(const std::vector<PlyPoint>& points, std::string* out) {
    out->reserve(out->size() + points.size() * 15);
    for (const PlyPoint& p : points) {
        for (float f : {p.x, p.y, p.z}) {
            zelio::AppendLeFloat(*out, f);
        }
        out->push_back(static_cast<char>(p.r));
        out->push_back(static_cast<char>(p.g));
        out->push_back(static_cast<char>(p.b));
    }
}

int FuseMain(int argc, const char* const argv[]) {
    Options o;
    const zeltool::CommandLine line = Arguments(o);
    const int status = ParseArguments(argc, argv, o, line);
    if (status >= 0) {
        return status;
    }
    zeltool::Project project;
    if (!zeltool::LoadProject(o.project.c_str(), project, stdout, zeltool::ParserLines::kStdout)) {
        return 1;
    }
    project.parser.reset();
    CZelVideoSequence& sequence = project.sequence;
    const int frames = sequence.GetFrameCount();
    if (!o.hasRange) {
        o.first = 0;
        o.last = frames - 1;
    } else if (o.last >= frames) {
        return line.Usage("--frames " + std::to_string(o.first) + ":" + std::to_string(o.last) +
                          " lies outside the project's frames 0 to " + std::to_string(frames - 1));
    }
    if (o.out.empty()) {
        o.out = CZelVideoFrame::dataDir + "fused.ply";
    }

    Totals totals;
    auto write = [&](const std::string& partial, std::string* reason) {
        PlyWriter writer;
        if (!writer.Open(partial, reason)) {
            return false;
        }
        if (!FuseRange(sequence, o, writer, totals)) {
            *reason = "can not write " + partial;
            return false;
        }
        if (totals.framesUsed == 0) {
            *reason = "no frame has a usable depth file";
            return false;
        }
        return writer.Finish(reason);
    };
    std::string error;
    if (!zelio::WriteWhole(o.out, write, &error)) {
        std::printf("ERROR: No point cloud written to %s: %s\n", o.out.c_str(), error.c_str());
        return 1;
    }
    const FrameResult& p = totals.points;
    std::printf(
        "Fused frames %d to %d (%d with depth files, %d skipped): %zu points in, %zu out "
        "(%zu seen by fewer than %d views, %zu duplicates of earlier frames)\nWrote %s\n",
        o.first, o.last, totals.framesUsed, totals.framesSkipped, p.pointsIn, p.kept, p.fewViews,
        o.minViews, p.duplicates, o.out.c_str());
    if (o.minConfidence > 0.0) {
        std::printf("%zu points left out below confidence %g\n", p.unsure, o.minConfidence);
    }
    return 0;
}

}  // namespace zelfuse
