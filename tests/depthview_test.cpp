// The depth-file viewer: its range and colour code, and the tool run on a small project whose
// depth files are written by SaveDepthFile. The pictures are read back with libpng; a build
// without it checks that the tool reports the missing format instead.
#if ZEL_HAVE_PNG
#include <png.h>
#endif

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "parser/trackfileparser.h"
#include "sequence/videoframe.h"
#include "sequence/videosequence.h"
#include "tests/process_util.h"
#include "tests/support/encode.h"
#include "tests/test_util.h"
#include "tools/depthview_lib.h"

// The cases that read the written pictures back need PNG support in this build.
#define ZEL_REQUIRE_PNG()                                                                \
    if (!zelview::CanWritePng()) {                                                       \
        GTEST_SKIP() << "this build writes no PNG (libpng not found at configure time)"; \
    }

namespace fs = std::filesystem;
using zelview::Rgb;

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

bool SameColor(const Rgb& a, const Rgb& b) {
    return a.r == b.r && a.g == b.g && a.b == b.b;
}

void ExpectNear(const Rgb& c, int r, int g, int b, int tolerance, const char* what) {
    EXPECT_NEAR(c.r, r, tolerance) << what;
    EXPECT_NEAR(c.g, g, tolerance) << what;
    EXPECT_NEAR(c.b, b, tolerance) << what;
}

double Luminance(const Rgb& c) {
    return 0.2126 * c.r + 0.7152 * c.g + 0.0722 * c.b;
}

// A project of `frames` frames over a width x height reference image, in its own directory.
std::string WriteProject(const std::string& dir, int width, int height, int frames) {
    fs::remove_all(dir);
    fs::create_directories(dir);
    testutil::WriteBmp24(dir + "/img0000.bmp", width, height,
                         std::vector<testutil::Rgb>(size_t(width * height), {128, 128, 128}));
    std::string text =
        "#camera track project file\n"
        "<Image Sequence>\n"
        "Sequence:./img0000.bmp\n"
        "start:0\n"
        "step:1\n"
        "end:" +
        std::to_string(frames - 1) +
        "\n"
        "</Image Sequence>\n"
        "<intrinsic parameter>\n"
        "100 100 2 1 0\n"
        "</intrinsic parameter>\n"
        "<Camera Track>\n";
    for (int i = 0; i < frames; i++) {
        text += "<FRAME" + std::to_string(i) + ">\n100 1 0 0 0 0 1 0 0 0 0 1 " + std::to_string(i) +
                "\n</FRAME" + std::to_string(i) + ">\n";
    }
    text += "</Camera Track>\n";
    const std::string path = dir + "/project.txt";
    testutil::WriteFile(path, text);
    return path;
}

// Reads the project and saves, for each listed frame, the map value(x, y) with SaveDepthFile.
template <class F>
void SaveDepthFiles(const std::string& project, const std::vector<int>& frames, F value) {
    CZelVideoSequence sequence;
    CTrackFileParser parser(&sequence);
    bool parsed = false;
    testutil::CaptureStdout([&] { parsed = parser.Parse(project.c_str()); });
    ASSERT_TRUE(parsed) << project;
    const int W = CZelVideoFrame::GetWorkingWidth();
    const int H = CZelVideoFrame::GetWorkingHeight();
    for (int i : frames) {
        CZelVideoFrame* frame = sequence.GetFrame(i);
        delete frame->dspImg;
        frame->dspImg = new ZImage<float>(W, H, 1);
        for (int y = 0; y < H; y++) {
            for (int x = 0; x < W; x++) {
                frame->SetDisparity(x, y, value(i, x, y));
            }
        }
        frame->SaveDepthFile();
    }
}

struct ToolRun {
    int status;
    std::string out;
    std::string err;
};

ToolRun View(const std::vector<std::string>& args) {
    std::vector<const char*> argv{"zel_depthview"};
    for (const std::string& a : args) {
        argv.push_back(a.c_str());
    }
    ToolRun run{0, "", ""};
    testing::internal::CaptureStderr();
    run.out = testutil::CaptureStdout(
        [&] { run.status = zelview::DepthViewMain(static_cast<int>(argv.size()), argv.data()); });
    run.err = testing::internal::GetCapturedStderr();
    return run;
}

struct Picture {
    int width = 0;
    int height = 0;
    std::vector<unsigned char> rgb;
    Rgb At(int x, int y) const {
        const size_t i = (static_cast<size_t>(y) * static_cast<size_t>(width) + x) * 3;
        return Rgb{rgb[i], rgb[i + 1], rgb[i + 2]};
    }
};

bool ReadPng(const std::string& path, Picture& pic) {
    return testutil::ReadPngRgb(path, pic.width, pic.height, pic.rgb);
}

#if ZEL_HAVE_PNG
// A 16-bit grey PNG read through libpng: samples top row first, and its text chunks.
struct Grey16 {
    int width = 0;
    int height = 0;
    int bitDepth = 0;
    int colorType = -1;
    std::vector<uint16_t> samples;
    std::vector<std::pair<std::string, std::string>> texts;
};

bool ReadGrey16(const std::string& path, Grey16& out) {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return false;
    }
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        std::fclose(file);
        return false;
    }
    png_init_io(png, file);
    png_read_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
    out.width = static_cast<int>(png_get_image_width(png, info));
    out.height = static_cast<int>(png_get_image_height(png, info));
    out.bitDepth = png_get_bit_depth(png, info);
    out.colorType = png_get_color_type(png, info);
    png_bytepp rows = png_get_rows(png, info);
    for (int y = 0; y < out.height && out.bitDepth == 16; y++) {
        for (int x = 0; x < out.width; x++) {
            out.samples.push_back(static_cast<uint16_t>(rows[y][2 * x] << 8 | rows[y][2 * x + 1]));
        }
    }
    png_textp text = nullptr;
    const int count = png_get_text(png, info, &text, nullptr);
    for (int i = 0; i < count; i++) {
        out.texts.emplace_back(text[i].key, text[i].text);
    }
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(file);
    return true;
}
#endif

}  // namespace

TEST(DepthViewRange, PercentilesInterpolateBetweenRanks) {
    const std::vector<float> sorted{1.0f, 2.0f, 3.0f, 4.0f};
    EXPECT_DOUBLE_EQ(zelview::Percentile(sorted, 0.0), 1.0);
    EXPECT_DOUBLE_EQ(zelview::Percentile(sorted, 100.0), 4.0);
    EXPECT_DOUBLE_EQ(zelview::Percentile(sorted, 50.0), 2.5);
    EXPECT_DOUBLE_EQ(zelview::Percentile(sorted, 150.0), 4.0);
    EXPECT_DOUBLE_EQ(zelview::Percentile(sorted, -5.0), 1.0);
    EXPECT_DOUBLE_EQ(zelview::Percentile(std::vector<float>{7.0f}, 98.0), 7.0);
}

TEST(DepthViewRange, ClipsOutliersAndIgnoresNonFiniteValues) {
    // 0.01 .. 1.00 in steps of 0.01, plus one huge outlier at each end and non-finite values.
    std::vector<float> values;
    for (int i = 1; i <= 100; i++) {
        values.push_back(static_cast<float>(i) / 100.0f);
    }
    values.push_back(1e6f);
    values.push_back(-1e6f);
    values.push_back(kNaN);
    values.push_back(kInf);
    values.push_back(-kInf);
    const zelview::DisparityRange range = zelview::RobustRange(values.data(), values.size());
    EXPECT_EQ(range.finite, 102u);
    EXPECT_EQ(range.missing, 3u);
    // 102 finite values: the 2nd percentile lies at rank 2.02, the 98th at rank 98.98.
    EXPECT_NEAR(range.low, 0.0202, 1e-6);
    EXPECT_NEAR(range.high, 0.9898, 1e-6);

    const zelview::DisparityRange swapped =
        zelview::RobustRange(values.data(), values.size(), 98.0, 2.0);
    EXPECT_DOUBLE_EQ(swapped.low, range.low);
    EXPECT_DOUBLE_EQ(swapped.high, range.high);

    const float none[3] = {kNaN, kInf, kNaN};
    const zelview::DisparityRange empty = zelview::RobustRange(none, 3);
    EXPECT_EQ(empty.finite, 0u);
    EXPECT_EQ(empty.missing, 3u);
}

TEST(DepthViewColor, ViridisMatchesItsAnchorsAndBrightensSteadily) {
    ExpectNear(zelview::Viridis(0.0), 68, 1, 84, 4, "t = 0");
    ExpectNear(zelview::Viridis(0.25), 59, 82, 139, 4, "t = 0.25");
    ExpectNear(zelview::Viridis(0.5), 33, 145, 140, 4, "t = 0.5");
    ExpectNear(zelview::Viridis(0.75), 94, 201, 98, 4, "t = 0.75");
    ExpectNear(zelview::Viridis(1.0), 253, 231, 37, 4, "t = 1");
    double previous = -1.0;
    for (int i = 0; i <= 32; i++) {
        const Rgb c = zelview::Viridis(i / 32.0);
        EXPECT_GT(Luminance(c), previous) << "step " << i;
        EXPECT_FALSE(SameColor(c, Rgb{0, 0, 0})) << "step " << i;
        previous = Luminance(c);
    }
    EXPECT_TRUE(SameColor(zelview::Viridis(-3.0), zelview::Viridis(0.0)));
    EXPECT_TRUE(SameColor(zelview::Viridis(7.0), zelview::Viridis(1.0)));
    EXPECT_TRUE(SameColor(zelview::Viridis(std::nan("")), zelview::Viridis(0.0)));
}

TEST(DepthViewColor, NonFiniteIsBlackAndValuesAreClippedToTheRange) {
    const Rgb black{0, 0, 0};
    EXPECT_TRUE(SameColor(zelview::DisparityColor(kNaN, 1.0, 2.0), black));
    EXPECT_TRUE(SameColor(zelview::DisparityColor(kInf, 1.0, 2.0), black));
    EXPECT_TRUE(SameColor(zelview::DisparityColor(-kInf, 1.0, 2.0), black));
    EXPECT_TRUE(SameColor(zelview::DisparityColor(0.5f, 1.0, 2.0), zelview::Viridis(0.0)));
    EXPECT_TRUE(SameColor(zelview::DisparityColor(9.0f, 1.0, 2.0), zelview::Viridis(1.0)));
    EXPECT_TRUE(SameColor(zelview::DisparityColor(1.5f, 1.0, 2.0), zelview::Viridis(0.5)));
    // A flat map (equal bounds) shows the middle colour rather than dividing by zero.
    EXPECT_TRUE(SameColor(zelview::DisparityColor(3.0f, 3.0, 3.0), zelview::Viridis(0.5)));

    const float values[4] = {1.0f, kNaN, 2.0f, 1.5f};
    zelview::DisparityRange range;
    range.low = 1.0;
    range.high = 2.0;
    const std::vector<unsigned char> rgb = zelview::ColorizeDisparity(values, 2, 2, range);
    ASSERT_EQ(rgb.size(), 12u);
    EXPECT_EQ(rgb[3] + rgb[4] + rgb[5], 0);
    const Rgb last{rgb[9], rgb[10], rgb[11]};
    EXPECT_TRUE(SameColor(last, zelview::Viridis(0.5)));
}

TEST(DepthViewPng, WritesRowsTopFirstAndRefusesBadInput) {
    ZEL_REQUIRE_PNG();
    const std::string path = testutil::TempPath("png/rows.png");
    fs::create_directories(fs::path(path).parent_path());
    // 3 x 2: the top row red, green, blue; the bottom row white, black, grey.
    const std::vector<unsigned char> rgb{255, 0,   0,   0, 255, 0, 0,   0,   255,
                                         255, 255, 255, 0, 0,   0, 128, 128, 128};
    std::string error;
    ASSERT_TRUE(zelview::WriteRgbPng(path, 3, 2, rgb, &error)) << error;
    Picture pic;
    ASSERT_TRUE(ReadPng(path, pic));
    ASSERT_EQ(pic.width, 3);
    ASSERT_EQ(pic.height, 2);
    EXPECT_EQ(pic.rgb, rgb);

    EXPECT_FALSE(zelview::WriteRgbPng(path, 4, 2, rgb, &error));
    EXPECT_FALSE(
        zelview::WriteRgbPng(testutil::TempPath("png/no/such/dir/x.png"), 3, 2, rgb, &error));
    EXPECT_FALSE(error.empty());
}

class DepthViewTool : public testing::Test {
  protected:
    // 21 x 10 frames (a width that is not a multiple of 4; enough values for the 2nd and 98th
    // percentiles to leave a single outlier out), three of them.
    static constexpr int kW = 21;
    static constexpr int kH = 10;

    void SetUp() override {
        dir = testutil::TempPath(testing::UnitTest::GetInstance()->current_test_info()->name());
        project = WriteProject(dir, kW, kH, 3);
        data = dir + "/DATA/";
    }

    std::string dir;
    std::string project;
    std::string data;
};

TEST_F(DepthViewTool, WritesEveryFrameWithRowZeroOnTopAndNonFiniteBlack) {
    ZEL_REQUIRE_PNG();
    // Frame i holds 1 + x + 30 y, with a NaN at (1, 0), +inf at (2, 2) and a far outlier in the
    // last pixel.
    SaveDepthFiles(project, {0, 1, 2}, [](int, int x, int y) {
        if (x == 1 && y == 0) {
            return kNaN;
        }
        if (x == 2 && y == 2) {
            return kInf;
        }
        if (x == kW - 1 && y == kH - 1) {
            return 1e9f;
        }
        return static_cast<float>(1 + x + 30 * y);
    });
    ASSERT_EQ(fs::file_size(data + "_depth0.raw"), static_cast<uintmax_t>(kW * kH * 4));

    const ToolRun run = View({project});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("Working size 21 x 10"), std::string::npos) << run.out;
    for (int i = 0; i < 3; i++) {
        const std::string png = data + "_depth" + std::to_string(i) + ".png";
        EXPECT_NE(run.out.find("Frame " + std::to_string(i) + ": " + png), std::string::npos)
            << run.out;
        Picture pic;
        ASSERT_TRUE(ReadPng(png, pic)) << png;
        ASSERT_EQ(pic.width, kW);
        ASSERT_EQ(pic.height, kH);
        EXPECT_TRUE(SameColor(pic.At(1, 0), Rgb{0, 0, 0})) << "NaN, frame " << i;
        EXPECT_TRUE(SameColor(pic.At(2, 2), Rgb{0, 0, 0})) << "inf, frame " << i;
        // Row 0 holds the smallest values (darkest), the last row the largest; the outlier is
        // clipped to the brightest colour instead of squeezing everything else into the dark.
        EXPECT_TRUE(SameColor(pic.At(0, 0), zelview::Viridis(0.0))) << "frame " << i;
        EXPECT_TRUE(SameColor(pic.At(kW - 1, kH - 1), zelview::Viridis(1.0))) << "frame " << i;
        EXPECT_GT(Luminance(pic.At(0, 9)), Luminance(pic.At(0, 5)) + 20.0) << "frame " << i;
        EXPECT_GT(Luminance(pic.At(0, 5)), Luminance(pic.At(0, 0)) + 20.0) << "frame " << i;
    }
    EXPECT_NE(run.out.find("of 208 finite values; 2 missing"), std::string::npos) << run.out;
}

// PFM and 16-bit PNG of one map with known values and missing ones: disparity 0.5 + x / 4 (depth
// 2 at x = 0), NaN, +inf, -inf, 0 and a negative value.
TEST_F(DepthViewTool, PfmAndPng16RoundTrip) {
    auto value = [](int, int x, int y) {
        const float special[] = {kNaN, kInf, -kInf, 0.0f, -1.0f};
        if (y == 3 && x < 5) {
            return special[x];
        }
        return 0.5f + static_cast<float>(x) / 4 + static_cast<float>(y) / 64;
    };
    SaveDepthFiles(project, {1}, value);

    ToolRun run = View({project, "--format", "pfm", "1"});
    ASSERT_EQ(run.status, 0) << run.out;
    const std::string pfm = testutil::ReadFile(data + "_depth1.pfm");
    const std::string header = "Pf\n21 10\n-1\n";
    ASSERT_EQ(pfm.size(), header.size() + kW * kH * 4);
    EXPECT_EQ(pfm.substr(0, header.size()), header);
    for (int row = 0; row < kH; row++) {
        for (int x = 0; x < kW; x++) {
            const int y = kH - 1 - row;  // the file's first row is the picture's bottom row
            float v = 0.0f;
            std::memcpy(&v, pfm.data() + header.size() + (row * kW + x) * 4, 4);  // little-endian
            const float want = value(1, x, y);
            if (std::isnan(want)) {
                EXPECT_TRUE(std::isnan(v)) << x << "," << y;
            } else {
                EXPECT_EQ(v, want) << x << "," << y;
            }
        }
    }

#if ZEL_HAVE_PNG
    run = View({project, "--format", "png16", "1"});
    ASSERT_EQ(run.status, 0) << run.out;
    Grey16 png;
    ASSERT_TRUE(ReadGrey16(data + "_depth1_16.png", png));
    ASSERT_EQ(png.width, kW);
    ASSERT_EQ(png.height, kH);
    EXPECT_EQ(png.bitDepth, 16);
    EXPECT_EQ(png.colorType, PNG_COLOR_TYPE_GRAY);
    double scale = 0.0;
    for (const auto& [key, text] : png.texts) {
        if (key == "Scale") {
            scale = std::atof(text.c_str());
        }
    }
    // The farthest point (depth 1 / 0.5 = 2) takes the largest sample.
    EXPECT_NEAR(scale, 65535.0 / 2.0, 1e-3);
    EXPECT_NE(run.out.find("depth = value / 32767.5"), std::string::npos) << run.out;
    for (int y = 0; y < kH; y++) {
        for (int x = 0; x < kW; x++) {
            const float d = value(1, x, y);
            const uint16_t got = png.samples[static_cast<size_t>(y * kW + x)];
            if (!(std::isfinite(d) && d > 0.0f)) {
                EXPECT_EQ(got, 0) << "missing at " << x << "," << y;
            } else {
                EXPECT_NEAR(got / scale, 1.0 / d, 0.5 / scale) << x << "," << y;
            }
        }
    }
    EXPECT_EQ(png.samples[0], 65535);
    EXPECT_FALSE(fs::exists(data + "_depth1_16.png.part"));

#endif
    EXPECT_EQ(View({project, "--format", "tiff", "1"}).status, 2);
    EXPECT_EQ(View({project, "--format"}).status, 2);
}

TEST_F(DepthViewTool, ReportsAMissingFileAndASizeMismatchAndStillWritesTheRest) {
    // Without PNG support the good frame fails too, at the write; the checks before it are the
    // same.
    const bool png = zelview::CanWritePng();
    SaveDepthFiles(project, {0}, [](int, int x, int y) { return static_cast<float>(x + y); });
    // Frame 1: a map of another working size (20 x 10 floats); frame 2: no file at all.
    testutil::WriteFile(data + "_depth1.raw", std::string(20 * 10 * 4, '\0'));

    const ToolRun run = View({project, "2", "1", "0"});
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_NE(run.out.find("ERROR: No depth file for frame 2: " + data + "_depth2.raw"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("ERROR: Depth file " + data +
                           "_depth1.raw has 800 bytes, but the working size 21 x 10 needs 840"),
              std::string::npos)
        << run.out;
    // The size is checked before the file is loaded, so the loader says nothing.
    EXPECT_EQ(run.out.find("Warning"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(png ? "2 of 3 frames failed" : "3 of 3 frames failed"),
              std::string::npos)
        << run.out;
    EXPECT_FALSE(fs::exists(data + "_depth1.png"));
    EXPECT_FALSE(fs::exists(data + "_depth2.png"));
    EXPECT_EQ(fs::exists(data + "_depth0.png"), png);

    // Only the good frame requested: success.
    EXPECT_EQ(View({project, "0"}).status, png ? 0 : 1);
    // A longer file is refused as well.
    testutil::WriteFile(data + "_depth1.raw", std::string(kW * kH * 4 + 4, '\0'));
    EXPECT_EQ(View({project, "1"}).status, 1);
}

TEST_F(DepthViewTool, AllMissingValuesGiveABlackPicture) {
    ZEL_REQUIRE_PNG();
    SaveDepthFiles(project, {1}, [](int, int, int) { return kNaN; });
    const ToolRun run = View({project, "1"});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("no finite disparity (210 missing"), std::string::npos) << run.out;
    Picture pic;
    ASSERT_TRUE(ReadPng(data + "_depth1.png", pic));
    EXPECT_EQ(pic.rgb, std::vector<unsigned char>(kW * kH * 3, 0));
}

TEST_F(DepthViewTool, RefusesBadArgumentsAndProjects) {
    ToolRun run = View({dir + "/nothing.txt"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "ERROR: Can not find the project file: " + dir + "/nothing.txt\n");

    testutil::WriteFile(dir + "/notaproject.txt", "hello\n");
    run = View({dir + "/notaproject.txt"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find("ERROR: Can not read the project file: " + dir + "/notaproject.txt"),
              std::string::npos)
        << run.out;

    // Usage errors: one line on standard error, exit status 2.
    run = View({});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err.rfind("ERROR: No project file given", 0), 0u) << run.err;

    run = View({project, "1x"});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.rfind("ERROR: Not a frame number: 1x", 0), 0u) << run.err;
    EXPECT_EQ(View({project, "-1"}).status, 2);
    EXPECT_EQ(View({project, "99999999999"}).status, 2);
    EXPECT_EQ(View({"--frames", project}).status, 2);

    run = View({project, "3"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find("ERROR: Frame 3 is not in the project (it has 3 frames, 0 to 2)"),
              std::string::npos)
        << run.out;

    run = View({project, "--help"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out.rfind("Usage: zel_depthview <project file> [frame ...]\n", 0), 0u);
}

TEST_F(DepthViewTool, WithoutPngSupportEveryFrameFailsWithTheReason) {
    if (zelview::CanWritePng()) {
        GTEST_SKIP() << "this build writes PNG; the case is for builds without libpng";
    }
    SaveDepthFiles(project, {0}, [](int, int x, int y) { return static_cast<float>(x + y); });
    const ToolRun run = View({project, "0"});
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_NE(run.out.find("ERROR: Can not write picture " + data +
                           "_depth0.png: this build has no PNG support"),
              std::string::npos)
        << run.out;
    EXPECT_FALSE(fs::exists(data + "_depth0.png"));
    std::string error;
    EXPECT_FALSE(zelview::WriteRgbPng(testutil::TempPath("x.png"), 1, 1, {0, 0, 0}, &error));
    EXPECT_NE(error.find("no PNG support"), std::string::npos) << error;
}

// The installed program itself: exit status and output of a process.
TEST(DepthViewProcess, HelpAndMissingProject) {
    const std::string exe = ZEL_DEPTHVIEW_EXE;
    testutil::ProcessResult run = testutil::RunProcess(exe, {"--help"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("Usage: zel_depthview"), std::string::npos) << run.out;
    run = testutil::RunProcess(exe, {"/no/such/project.txt"});
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_EQ(run.out, "ERROR: Can not find the project file: /no/such/project.txt\n");
}

// The bundled sample project: its true disparities, saved by SaveDepthFile into a copy of the
// project, come out as pictures of the sample's size with ranges inside the true values.
TEST(DepthViewSample, ViewsTheSampleGroundTruth) {
    ZEL_REQUIRE_PNG();
    const fs::path sample = fs::path(ZEL_SAMPLE_PROJECT).parent_path();
    ASSERT_TRUE(fs::exists(sample / "groundtruth" / "_depth0.raw")) << sample;
    const std::string dir = testutil::TempPath("sample");
    fs::remove_all(dir);
    fs::create_directories(dir);
    fs::copy_file(ZEL_SAMPLE_PROJECT, dir + "/project.txt");
    fs::copy_file(sample / "img0000.bmp", dir + "/img0000.bmp");

    const int frames[2] = {0, 29};
    std::vector<std::vector<float>> truth;
    for (int i : frames) {
        const std::string bytes = testutil::ReadFile(
            (sample / "groundtruth" / ("_depth" + std::to_string(i) + ".raw")).string());
        std::vector<float> values(bytes.size() / 4);
        std::memcpy(values.data(), bytes.data(), values.size() * 4);
        truth.push_back(values);
    }
    SaveDepthFiles(dir + "/project.txt", {0, 29}, [&](int i, int x, int y) {
        const std::vector<float>& values = truth[i == 0 ? 0 : 1];
        const size_t k = static_cast<size_t>(y) * CZelVideoFrame::GetWorkingWidth() + x;
        return k < values.size() ? values[k] : kNaN;
    });

    const ToolRun run = View({dir + "/project.txt", "0", "29"});
    ASSERT_EQ(run.status, 0) << run.out;
    for (int slot = 0; slot < 2; slot++) {
        const int i = frames[slot];
        Picture pic;
        ASSERT_TRUE(ReadPng(dir + "/DATA/_depth" + std::to_string(i) + ".png", pic));
        EXPECT_EQ(static_cast<size_t>(pic.width) * pic.height, truth[slot].size()) << i;
        // The printed range lies within the true disparities.
        const std::string key = "Frame " + std::to_string(i) + ": ";
        const size_t at = run.out.find(key);
        ASSERT_NE(at, std::string::npos) << run.out;
        double low = 0.0;
        double high = 0.0;
        ASSERT_EQ(std::sscanf(run.out.c_str() + run.out.find("disparity ", at),
                              "disparity %lf to %lf", &low, &high),
                  2)
            << run.out;
        const auto [lo, hi] = std::minmax_element(truth[slot].begin(), truth[slot].end());
        EXPECT_LE(*lo, low) << i;
        EXPECT_LT(low, high) << i;
        EXPECT_LE(high, *hi) << i;
    }
}
