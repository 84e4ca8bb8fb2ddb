#include "tools/depthview_lib.h"

#if ZEL_HAVE_PNG
#include <png.h>
#endif

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "parser/trackfileparser.h"
#include "platform/platform.h"
#include "sequence/videoframe.h"
#include "sequence/videosequence.h"

namespace zelview {

namespace {

// Polynomial fit of the viridis colour map: channel = sum_k c_k t^k, k = 0..6, t in [0, 1].
// Within about 1/100 of the tabulated map everywhere.
constexpr double kViridis[7][3] = {
    {0.2777273272234177, 0.005407344544966578, 0.3340998053353061},
    {0.1050930431085774, 1.404613529898575, 1.384590162594685},
    {-0.3308618287255563, 0.214847559468213, 0.09509516302823659},
    {-4.634230498983486, -5.799100973351585, -19.33244095627987},
    {6.228269936347081, 14.17993336680509, 56.69055260068105},
    {4.776384997670288, -13.74514537774601, -65.35303263337234},
    {-5.435455855934631, 4.645852612178535, 26.3124352495832},
};

unsigned char ToByte(double c) {
    const double v = std::round(std::clamp(c, 0.0, 1.0) * 255.0);
    return static_cast<unsigned char>(v);
}

void PrintUsage() {
    std::printf(
        "Usage: zel_depthview <project file> [frame ...]\n"
        "\n"
        "Reads the project file, then for each given frame (0-based position in the sequence;\n"
        "all frames when none is given) loads its depth file DATA/_depth<frame>.raw beside the\n"
        "images and writes DATA/_depth<frame>.png: disparities clipped to their 2nd..98th\n"
        "percentiles and coloured from dark purple (low) to yellow (high); values that are not\n"
        "finite are black. The file must hold width x height little-endian floats of the\n"
        "project's working size.\n"
        "\n"
        "Exit status: 0 when every requested picture was written, 1 otherwise.\n");
}

// A frame number: decimal digits only, within int.
bool ParseFrameNumber(const char* text, int& out) {
    const char* end = text + std::strlen(text);
    if (text == end) {
        return false;
    }
    const auto result = std::from_chars(text, end, out);
    return result.ec == std::errc() && result.ptr == end && out >= 0;
}

void Silent(const char*) {}

// Writes the picture of one frame. Returns true when the PNG was written.
bool ViewFrame(CZelVideoSequence& sequence, int frameNumber) {
    const int frameCount = sequence.GetFrameCount();
    if (frameNumber >= frameCount) {
        std::printf("ERROR: Frame %d is not in the project (it has %d frames, 0 to %d)\n",
                    frameNumber, frameCount, frameCount - 1);
        return false;
    }
    CZelVideoFrame* frame = sequence.GetFrame(frameNumber);
    const std::string rawPath =
        CZelVideoFrame::dataDir + "_depth" + std::to_string(frame->index) + ".raw";
    const std::string pngPath =
        CZelVideoFrame::dataDir + "_depth" + std::to_string(frame->index) + ".png";

    // A depth file has no header: its size is the only check that it belongs to this working
    // size, and it must be made before LoadDepthFile, which reads whatever is there.
    const int W = CZelVideoFrame::GetWorkingWidth();
    const int H = CZelVideoFrame::GetWorkingHeight();
    const uintmax_t expected = static_cast<uintmax_t>(W) * static_cast<uintmax_t>(H) * 4u;
    std::error_code ec;
    if (!std::filesystem::is_regular_file(rawPath, ec)) {
        std::printf("ERROR: No depth file for frame %d: %s\n", frameNumber, rawPath.c_str());
        return false;
    }
    const uintmax_t actual = std::filesystem::file_size(rawPath, ec);
    if (ec) {
        std::printf("ERROR: Can not read the size of depth file: %s\n", rawPath.c_str());
        return false;
    }
    if (actual != expected) {
        std::printf(
            "ERROR: Depth file %s has %ju bytes, but the working size %d x %d needs %ju "
            "(%d x %d floats of 4 bytes)\n",
            rawPath.c_str(), actual, W, H, expected, W, H);
        return false;
    }

    if (!frame->LoadDepthFile() || frame->dspImg == nullptr) {
        std::printf("ERROR: Can not load depth file: %s\n", rawPath.c_str());
        frame->ReleaseMaps();
        return false;
    }
    std::vector<float> values(static_cast<size_t>(W) * static_cast<size_t>(H));
    for (int y = 0; y < H; y++) {
        for (int x = 0; x < W; x++) {
            values[static_cast<size_t>(y) * static_cast<size_t>(W) + static_cast<size_t>(x)] =
                frame->dspImg->At(x, y, 0);
        }
    }
    frame->ReleaseMaps();

    const DisparityRange range = RobustRange(values.data(), values.size());
    const std::vector<unsigned char> rgb = ColorizeDisparity(values.data(), W, H, range);
    std::string error;
    if (!WriteRgbPng(pngPath, W, H, rgb, &error)) {
        std::printf("ERROR: Can not write picture %s: %s\n", pngPath.c_str(), error.c_str());
        return false;
    }
    if (range.finite == 0) {
        std::printf("Frame %d: %s, no finite disparity (%zu missing values shown black)\n",
                    frameNumber, pngPath.c_str(), range.missing);
    } else {
        std::printf(
            "Frame %d: %s, disparity %g to %g (2nd to 98th percentile of %zu finite values; "
            "%zu missing shown black)\n",
            frameNumber, pngPath.c_str(), range.low, range.high, range.finite, range.missing);
    }
    return true;
}

}  // namespace

double Percentile(const std::vector<float>& sorted, double p) {
    const double clamped = std::clamp(p, 0.0, 100.0);
    const double pos = clamped / 100.0 * static_cast<double>(sorted.size() - 1);
    const size_t i = static_cast<size_t>(pos);
    if (i + 1 >= sorted.size()) {
        return sorted.back();
    }
    const double frac = pos - static_cast<double>(i);
    return static_cast<double>(sorted[i]) * (1.0 - frac) +
           static_cast<double>(sorted[i + 1]) * frac;
}

DisparityRange RobustRange(const float* values, size_t count, double lowPercent,
                           double highPercent) {
    DisparityRange range;
    std::vector<float> finite;
    finite.reserve(count);
    for (size_t i = 0; i < count; i++) {
        if (std::isfinite(values[i])) {
            finite.push_back(values[i]);
        }
    }
    range.finite = finite.size();
    range.missing = count - finite.size();
    if (finite.empty()) {
        return range;
    }
    if (!(lowPercent <= highPercent)) {
        std::swap(lowPercent, highPercent);
    }
    std::sort(finite.begin(), finite.end());
    range.low = Percentile(finite, lowPercent);
    range.high = Percentile(finite, highPercent);
    return range;
}

Rgb Viridis(double t) {
    const double x = std::isnan(t) ? 0.0 : std::clamp(t, 0.0, 1.0);
    double c[3];
    for (int ch = 0; ch < 3; ch++) {
        double v = kViridis[6][ch];
        for (int k = 5; k >= 0; k--) {
            v = v * x + kViridis[k][ch];
        }
        c[ch] = v;
    }
    return Rgb{ToByte(c[0]), ToByte(c[1]), ToByte(c[2])};
}

Rgb DisparityColor(float v, double low, double high) {
    if (!std::isfinite(v)) {
        return Rgb{0, 0, 0};
    }
    if (!(high > low)) {
        return Viridis(0.5);
    }
    return Viridis((static_cast<double>(v) - low) / (high - low));
}

std::vector<unsigned char> ColorizeDisparity(const float* values, int width, int height,
                                             const DisparityRange& range) {
    const size_t n =
        width > 0 && height > 0 ? static_cast<size_t>(width) * static_cast<size_t>(height) : 0;
    std::vector<unsigned char> rgb(n * 3);
    for (size_t i = 0; i < n; i++) {
        const Rgb c = DisparityColor(values[i], range.low, range.high);
        rgb[3 * i] = c.r;
        rgb[3 * i + 1] = c.g;
        rgb[3 * i + 2] = c.b;
    }
    return rgb;
}

bool WriteRgbPng(const std::string& path, int width, int height,
                 const std::vector<unsigned char>& rgb, std::string* error) {
    if (width <= 0 || height <= 0 ||
        rgb.size() != static_cast<size_t>(width) * static_cast<size_t>(height) * 3) {
        if (error != nullptr) {
            *error = "picture size does not match its pixels";
        }
        return false;
    }
#if ZEL_HAVE_PNG
    png_image image;
    std::memset(&image, 0, sizeof(image));
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(width);
    image.height = static_cast<png_uint_32>(height);
    image.format = PNG_FORMAT_RGB;
    // The simplified writer takes the rows top first when the stride is positive.
    const int ok = png_image_write_to_file(&image, path.c_str(), 0, rgb.data(), width * 3, nullptr);
    if (ok == 0) {
        if (error != nullptr) {
            *error = image.message;
        }
        png_image_free(&image);
        return false;
    }
    return true;
#else
    if (error != nullptr) {
        *error = "this build has no PNG support (libpng was not found when it was configured)";
    }
    static_cast<void>(path);
    return false;
#endif
}

bool CanWritePng() {
    return ZEL_HAVE_PNG != 0;
}

int DepthViewMain(int argc, const char* const argv[]) {
    const char* projectPath = nullptr;
    std::vector<int> frameNumbers;
    for (int i = 1; i < argc; i++) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            PrintUsage();
            return 0;
        }
        if (arg[0] == '-' && arg[1] != '\0') {
            std::printf("ERROR: Unknown option %s (zel_depthview --help lists the usage)\n", arg);
            return 1;
        }
        if (projectPath == nullptr) {
            projectPath = arg;
            continue;
        }
        int number = 0;
        if (!ParseFrameNumber(arg, number)) {
            std::printf("ERROR: Not a frame number: %s (frames are counted from 0)\n", arg);
            return 1;
        }
        frameNumbers.push_back(number);
    }
    if (projectPath == nullptr) {
        std::printf(
            "ERROR: No project file given\nUsage: zel_depthview <project file> [frame ...]\n");
        return 1;
    }

    std::error_code ec;
    if (!std::filesystem::is_regular_file(projectPath, ec)) {
        std::printf("ERROR: Can not find the project file: %s\n", projectPath);
        return 1;
    }

    // The text reader's traces are of no use here; keep standard error quiet.
    SetDiagnosticSink(Silent);
    CZelVideoSequence sequence;
    bool parsed = false;
    {
        CTrackFileParser parser(&sequence);
        parsed = parser.Parse(projectPath);
    }
    SetDiagnosticSink(nullptr);
    if (!parsed) {
        std::printf("ERROR: Can not read the project file: %s\n", projectPath);
        return 1;
    }
    const int W = CZelVideoFrame::GetWorkingWidth();
    const int H = CZelVideoFrame::GetWorkingHeight();
    if (sequence.GetFrameCount() <= 0 || W <= 0 || H <= 0) {
        std::printf("ERROR: The project has no frames or no image size (%d frames, %d x %d)\n",
                    sequence.GetFrameCount(), W, H);
        return 1;
    }

    if (frameNumbers.empty()) {
        for (int i = 0; i < sequence.GetFrameCount(); i++) {
            frameNumbers.push_back(i);
        }
    }
    std::printf("Working size %d x %d, depth files in %s\n", W, H, CZelVideoFrame::dataDir.c_str());
    int failed = 0;
    for (int frameNumber : frameNumbers) {
        if (!ViewFrame(sequence, frameNumber)) {
            failed++;
        }
    }
    if (failed > 0) {
        std::printf("%d of %zu frames failed\n", failed, frameNumbers.size());
        return 1;
    }
    return 0;
}

}  // namespace zelview
