#include "tools/depthview_lib.h"

#if ZEL_HAVE_PNG
#include <png.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "io/depthfile.h"
#include "io/depthformats.h"
#include "io/writewhole.h"
#include "sequence/videoframe.h"
#include "sequence/videosequence.h"
#include "tools/frontend.h"
#include "tools/toolsupport.h"

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
        "       zel_depthview <project file> --format png|pfm|png16 [frame ...]\n"
        "\n"
        "Reads the project file, then for each given frame (0-based position in the sequence;\n"
        "all frames when none is given) loads its depth file DATA/_depth<frame>.raw beside the\n"
        "images and writes beside it, by --format:\n"
        "  png    (default) DATA/_depth<frame>.png: disparities clipped to their 2nd..98th\n"
        "         percentiles and coloured from dark purple (low) to yellow (high); values\n"
        "         that are not finite are black.\n"
        "  pfm    DATA/_depth<frame>.pfm: the disparities as a grey little-endian PFM.\n"
        "  png16  DATA/_depth<frame>_16.png: depth (1 / disparity) as a 16-bit grey PNG,\n"
        "         depth = value / Scale (Scale in the PNG's text chunk), 0 = no depth.\n"
        "The depth file must hold width x height little-endian floats of the project's\n"
        "working size.\n"
        "\n"
        "Exit status: 0 when every requested file was written, 1 otherwise, 2 for a usage\n"
        "error.\n");
}

bool ParseFormat(const char* text, OutputFormat& out) {
    if (std::strcmp(text, "png") == 0) {
        out = OutputFormat::kColorPng;
    } else if (std::strcmp(text, "pfm") == 0) {
        out = OutputFormat::kPfm;
    } else if (std::strcmp(text, "png16") == 0) {
        out = OutputFormat::kPng16;
    } else {
        return false;
    }
    return true;
}

std::string OutputPath(int frameIndex, OutputFormat format) {
    const std::string& dir = CZelVideoFrame::dataDir;
    switch (format) {
        case OutputFormat::kPfm:
            return zelio::DepthFilePath(dir, frameIndex, zelio::DepthFormat::kPfm);
        case OutputFormat::kPng16:
            return zelio::DepthFilePath(dir, frameIndex, zelio::DepthFormat::kPng16);
        case OutputFormat::kColorPng:
            break;
    }
    return zelio::DepthFileStem(dir, frameIndex) + ".png";
}

#if ZEL_HAVE_PNG
#endif

// Writes the chosen file of one frame and prints what it wrote.
bool WriteOutput(int frameNumber, const std::vector<float>& values, int W, int H,
                 OutputFormat format, const std::string& path) {
    std::string error;
    if (format == OutputFormat::kPfm) {
        if (!zelio::WritePfm(path, W, H, values, &error)) {
            std::printf("ERROR: Can not write %s: %s\n", path.c_str(), error.c_str());
            return false;
        }
        std::printf("Frame %d: %s, disparities as 32-bit floats\n", frameNumber, path.c_str());
        return true;
    }
    double scale = 0.0;
    if (!zelio::WriteDepthPng16(path, W, H, values, &scale, &error)) {
        std::printf("ERROR: Can not write %s: %s\n", path.c_str(), error.c_str());
        return false;
    }
    std::printf("Frame %d: %s, depth = value / %.9g (0 = no depth)\n", frameNumber, path.c_str(),
                scale);
    return true;
}

// Writes the picture of one frame. Returns true when the file was written.
bool ViewFrame(CZelVideoSequence& sequence, int frameNumber, OutputFormat format) {
    const int frameCount = sequence.GetFrameCount();
    if (frameNumber >= frameCount) {
        std::printf("ERROR: Frame %d is not in the project (it has %d frames, 0 to %d)\n",
                    frameNumber, frameCount, frameCount - 1);
        return false;
    }
    const CZelVideoFrame* frame = sequence.GetFrame(frameNumber);
    const std::string rawPath = zelio::DepthFilePath(CZelVideoFrame::dataDir, frame->index);
    const std::string pngPath = OutputPath(frame->index, format);

    const int W = CZelVideoFrame::GetWorkingWidth();
    const int H = CZelVideoFrame::GetWorkingHeight();
    std::vector<float> values;
    std::string error;
    if (!zelio::ReadDepthFile(rawPath, "depth file", frameNumber, W, H, values, &error)) {
        std::printf("ERROR: %s\n", error.c_str());
        return false;
    }
    if (format != OutputFormat::kColorPng) {
        return WriteOutput(frameNumber, values, W, H, format, pngPath);
    }

    const DisparityRange range = RobustRange(values.data(), values.size());
    const std::vector<unsigned char> rgb = ColorizeDisparity(values.data(), W, H, range);
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
    auto write = [&](const std::string& partial, std::string* reason) {
        if (png_image_write_to_file(&image, partial.c_str(), 0, rgb.data(), width * 3, nullptr) ==
            0) {
            *reason = image.message;
            png_image_free(&image);
            return false;
        }
        return true;
    };
    return zelio::WriteWhole(path, write, error);
#else
    if (error != nullptr) {
        *error = zelio::NoPngReason();
    }
    static_cast<void>(path);
    return false;
#endif
}

bool CanWritePng() {
    return zelio::CanWritePng();
}

namespace {

// What the command line asks for.
struct ViewOptions {
    std::string projectPath;
    std::vector<int> frameNumbers;  // empty: every frame
    OutputFormat format = OutputFormat::kColorPng;
};

// Reads the command line into options. Returns -1 to go on, or the exit status to end with
// (0 after --help, 2 after a usage error).
int ParseArguments(int argc, const char* const argv[], ViewOptions& options) {
    zeltool::UsageStyle style = zeltool::ErrorStyle(" (zel_depthview --help lists the usage)");
    style.missingValue = "--format takes png, pfm or png16";
    zeltool::CommandLine line(style, PrintUsage);
    line.Custom("--format", "png|pfm|png16",
                [&options](const char* v) { return ParseFormat(v, options.format); })
        .BadValue("--format takes png, pfm or png16");
    std::vector<std::string> frames;
    const int status = line.ParseProject(argc, argv, options.projectPath, frames);
    if (status >= 0) {
        return status;
    }
    for (const std::string& frame : frames) {
        int number = 0;
        if (!zeltool::ParseFrameNumber(frame.c_str(), number)) {
            return line.Usage("Not a frame number: " + frame + " (frames are counted from 0)");
        }
        options.frameNumbers.push_back(number);
    }
    return -1;
}

}  // namespace

int DepthViewMain(int argc, const char* const argv[]) {
    ViewOptions options;
    const int status = ParseArguments(argc, argv, options);
    if (status >= 0) {
        return status;
    }

    zeltool::Project project;
    if (!zeltool::LoadProject(options.projectPath.c_str(), project, stdout,
                              zeltool::ParserLines::kStdout)) {
        return 1;
    }
    CZelVideoSequence& sequence = project.sequence;
    const int W = CZelVideoFrame::GetWorkingWidth();
    const int H = CZelVideoFrame::GetWorkingHeight();
    if (options.frameNumbers.empty()) {
        for (int i = 0; i < sequence.GetFrameCount(); i++) {
            options.frameNumbers.push_back(i);
        }
    }
    std::printf("Working size %d x %d, depth files in %s\n", W, H, CZelVideoFrame::dataDir.c_str());
    int failed = 0;
    for (int frameNumber : options.frameNumbers) {
        if (!ViewFrame(sequence, frameNumber, options.format)) {
            failed++;
        }
    }
    if (failed > 0) {
        std::printf("%d of %zu frames failed\n", failed, options.frameNumbers.size());
        return 1;
    }
    return 0;
}

}  // namespace zelview
