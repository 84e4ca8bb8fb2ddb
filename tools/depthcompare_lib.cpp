#include "tools/depthcompare_lib.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <string>
#include <system_error>

#include "sequence/videoframe.h"
#include "sequence/videosequence.h"
#include "tools/deptheval_lib.h"
#include "tools/toolsupport.h"

namespace zeleval {

namespace {

const char kUsageLine[] =
    "Usage: zel_depth_compare <project file> <ground-truth dir> <frame> <out.png> [--scale S]";

void PrintHelp() {
    std::printf(
        "%s\n"
        "\n"
        "Writes one PNG with three panels side by side: the frame's colour image, its true\n"
        "disparity <ground-truth dir>/_depth<frame>.raw and its recovered disparity\n"
        "DATA/_depth<frame>.raw (beside the project's images). Both disparity panels use the\n"
        "same colours: the viridis map, dark purple (far) to yellow (near), over the 2nd to 98th\n"
        "percentile of the true disparities; missing values are black. <frame> is the 0-based\n"
        "position in the sequence.\n"
        "\n"
        "  --scale S   multiply the true disparities by S > 0 first (for reconstructions known\n"
        "              only up to scale)\n"
        "\n"
        "Exit status: 0 when the picture was written, 1 when an input cannot be read or the\n"
        "picture cannot be written, 2 for bad arguments.\n",
        kUsageLine);
}

// Copies one panel of width x height RGB bytes into the picture at column x0.
void PutPanel(std::vector<unsigned char>& picture, int pictureWidth, int x0,
              const unsigned char* panel, int width, int height) {
    for (int y = 0; y < height; y++) {
        const size_t from = static_cast<size_t>(y) * static_cast<size_t>(width) * 3;
        const size_t to =
            (static_cast<size_t>(y) * static_cast<size_t>(pictureWidth) + static_cast<size_t>(x0)) *
            3;
        std::copy(panel + from, panel + from + static_cast<size_t>(width) * 3,
                  picture.begin() + static_cast<ptrdiff_t>(to));
    }
}

}  // namespace

std::vector<unsigned char> ComposeComparison(const unsigned char* colour, const float* truth,
                                             const float* recovered, int width, int height,
                                             double scale, zelview::DisparityRange* range) {
    const size_t n = static_cast<size_t>(width) * static_cast<size_t>(height);
    // Scaled truth; what is not a usable true disparity shows as missing.
    std::vector<float> scaled(n);
    for (size_t k = 0; k < n; k++) {
        const double g = static_cast<double>(truth[k]) * scale;
        scaled[k] = std::isfinite(g) && g > 0.0 ? static_cast<float>(g)
                                                : std::numeric_limits<float>::quiet_NaN();
    }
    const zelview::DisparityRange truthRange = zelview::RobustRange(scaled.data(), n);
    const std::vector<unsigned char> truthRgb =
        zelview::ColorizeDisparity(scaled.data(), width, height, truthRange);
    const std::vector<unsigned char> recoveredRgb =
        zelview::ColorizeDisparity(recovered, width, height, truthRange);

    const int pictureWidth = 3 * width + 2 * kPanelGap;
    std::vector<unsigned char> picture(
        static_cast<size_t>(pictureWidth) * static_cast<size_t>(height) * 3, 255);
    PutPanel(picture, pictureWidth, 0, colour, width, height);
    PutPanel(picture, pictureWidth, width + kPanelGap, truthRgb.data(), width, height);
    PutPanel(picture, pictureWidth, 2 * (width + kPanelGap), recoveredRgb.data(), width, height);
    if (range != nullptr) {
        *range = truthRange;
    }
    return picture;
}

namespace {

// The frame's colour image at the working size, RGB row 0 first; false after an "ERROR..." line
// when it cannot be loaded.
bool ReadColour(CZelVideoFrame& frame, int frameNumber, std::vector<unsigned char>& colour) {
    const int W = CZelVideoFrame::GetWorkingWidth();
    const int H = CZelVideoFrame::GetWorkingHeight();
    frame.LoadColorImage();
    const ZImage<unsigned char>* image = frame.colorImg;
    if (image == nullptr || image->GetWidth() != W || image->GetHeight() != H) {
        std::fprintf(stderr, "ERROR: Can not load the image of frame %d: %s\n", frameNumber,
                     frame.imageFile.c_str());
        frame.ReleaseMaps();
        return false;
    }
    colour.assign(static_cast<size_t>(W) * static_cast<size_t>(H) * 3, 0);
    for (int y = 0; y < H; y++) {
        for (int x = 0; x < W; x++) {
            for (int c = 0; c < 3; c++) {
                colour[(static_cast<size_t>(y) * static_cast<size_t>(W) + x) * 3 + c] =
                    image->At(x, y, c);
            }
        }
    }
    frame.ReleaseMaps();
    return true;
}

}  // namespace

int DepthCompareMain(int argc, const char* const argv[]) {
    double scale = 1.0;
    const zeltool::CommandLine line = EvalCommandLine("zel_depth_compare", &scale, PrintHelp);
    std::vector<std::string> positional;
    const int status = line.Parse(argc, argv, positional);
    if (status >= 0) {
        return status;
    }
    const auto UsageError = [&line](const std::string& message) { return line.Usage(message); };
    if (positional.size() != 4) {
        return UsageError(positional.size() < 4 ? "Too few arguments" : "Too many arguments");
    }
    int frameNumber = 0;
    if (!zeltool::ParseFrameNumber(positional[2].c_str(), frameNumber)) {
        return UsageError("Not a frame number: " + positional[2] + " (frames are counted from 0)");
    }
    const std::string& projectPath = positional[0];
    std::string truthDir = positional[1];
    const std::string& outPath = positional[3];
    if (!zeltool::OpenDirectoryArgument(truthDir, "ground-truth directory", stderr)) {
        return 1;
    }

    zeltool::Project project;
    if (!zeltool::LoadProject(projectPath.c_str(), project, stderr,
                              zeltool::ParserLines::kStderr)) {
        return 1;
    }
    CZelVideoSequence& sequence = project.sequence;
    if (frameNumber >= sequence.GetFrameCount()) {
        std::fprintf(stderr, "ERROR: Frame %d is not in the project (it has %d frames, 0 to %d)\n",
                     frameNumber, sequence.GetFrameCount(), sequence.GetFrameCount() - 1);
        return 1;
    }
    const int W = CZelVideoFrame::GetWorkingWidth();
    const int H = CZelVideoFrame::GetWorkingHeight();
    CZelVideoFrame* frame = sequence.GetFrame(frameNumber);

    std::vector<float> truth;
    std::vector<float> recovered;
    std::string error;
    if (!zeltool::ReadDisparityFile(zeltool::DepthFileName(truthDir, frame->index),
                                    "ground-truth file", frameNumber, W, H, truth, &error) ||
        !zeltool::ReadDisparityFile(zeltool::DepthFileName(CZelVideoFrame::dataDir, frame->index),
                                    "depth file", frameNumber, W, H, recovered, &error)) {
        std::fprintf(stderr, "ERROR: %s\n", error.c_str());
        return 1;
    }

    std::vector<unsigned char> colour;
    if (!ReadColour(*frame, frameNumber, colour)) {
        return 1;
    }

    zelview::DisparityRange range;
    const std::vector<unsigned char> picture =
        ComposeComparison(colour.data(), truth.data(), recovered.data(), W, H, scale, &range);
    if (!zelview::WriteRgbPng(outPath, 3 * W + 2 * kPanelGap, H, picture, &error)) {
        std::fprintf(stderr, "ERROR: Can not write picture %s: %s\n", outPath.c_str(),
                     error.c_str());
        return 1;
    }
    size_t missing = 0;
    for (float d : recovered) {
        missing += !std::isfinite(d);
    }
    std::printf(
        "Frame %d: %s, %d x %d: colour, true disparity, recovered disparity (disparity %g to %g "
        "in both; %zu recovered values missing, shown black)\n",
        frameNumber, outPath.c_str(), 3 * W + 2 * kPanelGap, H, range.low, range.high, missing);
    return 0;
}

}  // namespace zeleval
