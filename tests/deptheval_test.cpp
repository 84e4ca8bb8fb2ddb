// The depth evaluator and the comparison picture: their figures on hand-made maps, and both
// programs run as processes on a small project whose depth files the test writes itself.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "tests/process_util.h"
#include "tests/support/encode.h"
#include "tests/test_util.h"
#include "tools/depthcompare_lib.h"
#include "tools/deptheval_lib.h"
#include "tools/depthview_lib.h"

namespace fs = std::filesystem;

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// Little-endian raw floats, the depth-file layout, whatever the host.
std::string RawBytes(const std::vector<float>& values) {
    std::string bytes;
    for (float v : values) {
        uint32_t bits = 0;
        std::memcpy(&bits, &v, 4);
        for (int b = 0; b < 4; b++) {
            bytes.push_back(static_cast<char>((bits >> (8 * b)) & 0xff));
        }
    }
    return bytes;
}

// Truth and recovered values of a hand-made frame with known figures: 100 counted pixels whose
// relative errors are 0.5 % (40 of them), 1.5 % (20), 3 % (10), 10 % (10), NaN (10), +inf (5)
// and -inf (5), and 4 pixels whose truth does not count (0, negative, NaN, +inf).
struct HandMade {
    std::vector<float> truth;
    std::vector<float> recovered;
};

HandMade MakeHandMade() {
    HandMade m;
    auto add = [&m](int n, float g, float d) {
        for (int k = 0; k < n; k++) {
            m.truth.push_back(g);
            m.recovered.push_back(d);
        }
    };
    add(40, 0.5f, 0.5f * 1.005f);
    add(20, 0.25f, 0.25f * (1.0f - 0.015f));
    add(10, 0.2f, 0.2f * 1.03f);
    add(10, 0.1f, 0.1f * 1.1f);
    add(10, 0.4f, kNaN);
    add(5, 0.4f, kInf);
    add(5, 0.4f, -kInf);
    add(1, 0.0f, 0.3f);
    add(1, -0.5f, 0.3f);
    add(1, kNaN, 0.3f);
    add(1, kInf, 0.3f);
    return m;
}

TEST(DepthEvalScore, CountsSharesMissingAndErrorsOnAHandMadeMap) {
    const HandMade m = MakeHandMade();
    ASSERT_EQ(m.truth.size(), 104u);
    zeleval::ErrorHistogram histogram;
    const zeleval::Score s =
        zeleval::ScoreFrame(m.recovered.data(), m.truth.data(), m.truth.size(), 1.0, &histogram);
    EXPECT_EQ(s.pixels, 100u);
    EXPECT_EQ(s.within1, 40u);
    EXPECT_EQ(s.within2, 60u);
    EXPECT_EQ(s.within5, 70u);
    EXPECT_EQ(s.missing, 20u);
    EXPECT_DOUBLE_EQ(s.Share(s.within5), 0.70);
    EXPECT_DOUBLE_EQ(s.Share(s.missing), 0.20);
    // Mean and median over the 80 pixels that are not missing.
    EXPECT_NEAR(s.Mean(), (40 * 0.005 + 20 * 0.015 + 10 * 0.03 + 10 * 0.1) / 80, 1e-6);
    // The middle two of the 80 sorted errors are the last 0.5 % and the first 1.5 %.
    EXPECT_NEAR(s.median, 0.01, 1e-6);
    EXPECT_EQ(histogram.Count(), 80u);
    EXPECT_NEAR(histogram.Median(), 0.01, 1e-5);

    // An even count takes the mean of the two middle errors: 1 % and 3 % give 2 %.
    const float truth[4] = {1.0f, 1.0f, 1.0f, 1.0f};
    const float recovered[4] = {1.0f, 1.01f, 1.03f, 1.5f};
    EXPECT_NEAR(zeleval::ScoreFrame(recovered, truth, 4, 1.0).median, 0.02, 1e-6);

    // No counted pixel and no estimate: zeros, not NaN.
    const float none[2] = {0.0f, kNaN};
    const zeleval::Score empty = zeleval::ScoreFrame(none, none, 2, 1.0);
    EXPECT_EQ(empty.pixels, 0u);
    EXPECT_EQ(empty.Share(empty.within1), 0.0);
    EXPECT_EQ(empty.Mean(), 0.0);
}

TEST(DepthEvalScore, ScaleMultipliesTheTruth) {
    // Recovered at twice the true scale: all wrong unless the truth is scaled by 2.
    std::vector<float> truth{0.1f, 0.2f, 0.3f, 0.4f};
    std::vector<float> recovered{0.2f, 0.4f, 0.6f, 0.8f};
    const zeleval::Score plain = zeleval::ScoreFrame(recovered.data(), truth.data(), 4, 1.0);
    EXPECT_EQ(plain.within5, 0u);
    EXPECT_NEAR(plain.Mean(), 1.0, 1e-6);
    const zeleval::Score scaled = zeleval::ScoreFrame(recovered.data(), truth.data(), 4, 2.0);
    EXPECT_EQ(scaled.within1, 4u);
    EXPECT_NEAR(scaled.Mean(), 0.0, 1e-6);
    // A scale that makes the truth negative leaves nothing to count.
    EXPECT_EQ(zeleval::ScoreFrame(recovered.data(), truth.data(), 4, -1.0).pixels, 0u);
}

TEST(DepthEvalScore, HistogramMedianIsCloseToTheExactOne) {
    zeleval::ErrorHistogram histogram;
    EXPECT_EQ(histogram.Median(), 0.0);
    // 2001 errors spread over six decades, added out of order.
    std::vector<double> errors;
    for (int k = 0; k <= 2000; k++) {
        errors.push_back(1e-5 * std::pow(10.0, 6.0 * ((k * 7919) % 2001) / 2000.0));
    }
    for (double e : errors) {
        histogram.Add(e);
    }
    std::sort(errors.begin(), errors.end());
    EXPECT_NEAR(histogram.Median(), errors[1000], errors[1000] * 5e-4);
    // Huge errors stay above everything else and do not break the median.
    for (int k = 0; k < 3000; k++) {
        histogram.Add(1e300);
    }
    EXPECT_TRUE(std::isinf(histogram.Median()) || histogram.Median() > 1e38);
}

// A project of `frames` frames of width x height over distinct-coloured pictures, with DATA/ and
// a ground-truth directory beside it.
struct Project {
    std::string dir;
    std::string path;
    std::string data;
    std::string truth;
};

Project WriteProject(const std::string& name, int width, int height, int frames) {
    Project p;
    p.dir = testutil::TempPath(name);
    fs::remove_all(p.dir);
    fs::create_directories(p.dir + "/gt");
    for (int i = 0; i < frames; i++) {
        char image[32];
        std::snprintf(image, sizeof(image), "/img%04d.bmp", i);
        testutil::WriteBmp24(p.dir + image, width, height, testutil::DistinctPixels(width, height));
    }
    std::string text =
        "#camera track project file\n<Image Sequence>\nSequence:./img0000.bmp\nstart:0\nstep:1\n"
        "end:" +
        std::to_string(frames - 1) +
        "\n</Image Sequence>\n<intrinsic parameter>\n100 100 2 1 0\n</intrinsic parameter>\n"
        "<Camera Track>\n";
    for (int i = 0; i < frames; i++) {
        text += "<FRAME" + std::to_string(i) + ">\n100 1 0 0 0 0 1 0 0 0 0 1 " + std::to_string(i) +
                "\n</FRAME" + std::to_string(i) + ">\n";
    }
    text += "</Camera Track>\n";
    p.path = p.dir + "/project.txt";
    testutil::WriteFile(p.path, text);
    p.data = p.dir + "/DATA";
    p.truth = p.dir + "/gt";
    return p;
}

void WriteMap(const std::string& path, const std::vector<float>& values) {
    testutil::WriteFile(path, RawBytes(values));
}

std::string Depth(const std::string& dir, int i) {
    return dir + "/_depth" + std::to_string(i) + ".raw";
}

testutil::ProcessResult Eval(const std::vector<std::string>& args) {
    return testutil::RunProcess(ZEL_DEPTH_EVAL_EXE, args);
}

// The hand-made map is 104 values: a 13 x 8 project holds it as one frame.
class DepthEvalTool : public testing::Test {
  protected:
    void SetUp() override {
        project =
            WriteProject(testing::UnitTest::GetInstance()->current_test_info()->name(), 13, 8, 3);
        const HandMade m = MakeHandMade();
        for (int i = 0; i < 3; i++) {
            WriteMap(Depth(project.truth, i), m.truth);
        }
        fs::create_directories(project.data);
        WriteMap(Depth(project.data, 0), m.recovered);
        WriteMap(Depth(project.data, 1), m.truth);  // exact
    }
    Project project;
};

TEST_F(DepthEvalTool, PrintsATableRowPerFrameAndTheTotal) {
    const auto run = Eval({project.path, project.truth, "0:1"});
    ASSERT_EQ(run.status, 0) << run.err;
    // Standard output holds the table only; the parser's own line goes to standard error.
    EXPECT_EQ(
        run.out.rfind(
            "Depth accuracy of " + project.data + "/ against " + project.truth + "/ (13 x 8)\n", 0),
        0u)
        << run.out;
    EXPECT_NE(run.err.find("Total frame count:3"), std::string::npos) << run.err;
    EXPECT_NE(run.out.find("    0       100     40.00%     60.00%     70.00%   20.00%"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("    1       100    100.00%    100.00%    100.00%    0.00%      "
                           "0.000%        0.000%"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("total       200     70.00%     80.00%     85.00%   10.00%"),
              std::string::npos)
        << run.out;
}

TEST_F(DepthEvalTool, CsvAndScale) {
    // Frame 2 recovered at twice the truth: scale 2 makes it exact.
    std::vector<float> doubled = MakeHandMade().truth;
    for (float& v : doubled) {
        v *= 2.0f;
    }
    WriteMap(Depth(project.data, 2), doubled);
    auto run = Eval({project.path, project.truth, "2", "--csv", "--scale", "2"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out,
              "frame,pixels,within_1pct,within_2pct,within_5pct,missing,mean_rel_error,"
              "median_rel_error\n"
              "2,100,1.000000,1.000000,1.000000,0.000000,0,0\n"
              "total,100,1.000000,1.000000,1.000000,0.000000,0,0\n");
    run = Eval({project.path, project.truth, "2", "--csv", "--scale=1"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("\n2,100,0.000000,0.000000,0.000000,0.000000,1,1\n"), std::string::npos)
        << run.out;
}

TEST_F(DepthEvalTool, SkipsMissingAndMisSizedFilesWithExitOne) {
    // Frame 2 has no recovered file; frame 1's truth has the wrong size.
    WriteMap(Depth(project.truth, 1), std::vector<float>(50, 1.0f));
    const auto run = Eval({project.path, project.truth});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("ERROR: No depth file for frame 2: " + Depth(project.data, 2)),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("ERROR: Ground-truth file " + project.truth +
                           "/_depth1.raw has 200 bytes, but the working size 13 x 8 needs 416"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("ERROR: 2 of 3 frames skipped"), std::string::npos) << run.err;
    // The frame that could be read is still scored, and the total is its own.
    EXPECT_NE(run.out.find("\n    0       100"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\ntotal       100"), std::string::npos) << run.out;

    const auto beyond = Eval({project.path, project.truth, "0", "2:9"});
    EXPECT_EQ(beyond.status, 1);
    EXPECT_NE(beyond.err.find("ERROR: Frames 3 to 9 are not in the project (it has 3 frames"),
              std::string::npos)
        << beyond.err;
    EXPECT_NE(beyond.err.find("ERROR: 8 of 9 frames skipped"), std::string::npos) << beyond.err;
}

TEST_F(DepthEvalTool, UsageErrorsAndUnreadableInputs) {
    for (const std::vector<std::string>& args : {std::vector<std::string>{},
                                                 {project.path},
                                                 {project.path, project.truth, "x"},
                                                 {project.path, project.truth, "3:1"},
                                                 {project.path, project.truth, "--scale", "0"},
                                                 {project.path, project.truth, "--scale", "nan"},
                                                 {project.path, project.truth, "--scale=2x"},
                                                 {project.path, project.truth, "--scale"},
                                                 {project.path, project.truth, "--frames"}}) {
        const auto run = Eval(args);
        EXPECT_EQ(run.status, 2) << testing::PrintToString(args);
        EXPECT_EQ(run.err.rfind("ERROR: ", 0), 0u) << run.err;
        EXPECT_NE(run.err.find("zel_depth_eval --help"), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "");
    }
    auto run = Eval({"--help"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out.rfind("Usage: zel_depth_eval <project file> <ground-truth dir>", 0), 0u);

    run = Eval({project.dir + "/none.txt", project.truth});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "ERROR: Can not find the project file: " + project.dir + "/none.txt\n");
    run = Eval({project.path, project.dir + "/nogt"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("ERROR: Can not find the ground-truth directory"), std::string::npos);
}

// --- The comparison picture ---

struct Picture {
    int width = 0;
    int height = 0;
    std::vector<unsigned char> rgb;
    zelview::Rgb At(int x, int y) const {
        const size_t i = (static_cast<size_t>(y) * static_cast<size_t>(width) + x) * 3;
        return zelview::Rgb{rgb[i], rgb[i + 1], rgb[i + 2]};
    }
};

bool ReadPng(const std::string& path, Picture& pic) {
    return testutil::ReadPngRgb(path, pic.width, pic.height, pic.rgb);
}

bool Same(const zelview::Rgb& a, const zelview::Rgb& b) {
    return a.r == b.r && a.g == b.g && a.b == b.b;
}

TEST(DepthCompare, PanelsShareOneColourMapping) {
    // 2 x 2: the truth 1, 2, 3, 4 (one not positive in the last pixel), recovered equal to the
    // truth but NaN in pixel 1 and twice the truth in pixel 2.
    const unsigned char colour[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    const float truth[4] = {1.0f, 2.0f, 3.0f, -1.0f};
    const float recovered[4] = {1.0f, kNaN, 6.0f, 4.0f};
    zelview::DisparityRange range;
    const std::vector<unsigned char> rgb =
        zeleval::ComposeComparison(colour, truth, recovered, 2, 2, 1.0, &range);
    const int width = 3 * 2 + 2 * zeleval::kPanelGap;
    ASSERT_EQ(rgb.size(), static_cast<size_t>(width * 2 * 3));
    Picture pic{width, 2, rgb};
    EXPECT_TRUE(Same(pic.At(1, 1), zelview::Rgb{10, 11, 12}));
    EXPECT_TRUE(Same(pic.At(2, 0), zelview::Rgb{255, 255, 255}));  // the gap
    const int t = 2 + zeleval::kPanelGap;
    const int r = 2 * t;
    EXPECT_TRUE(Same(pic.At(t, 0), pic.At(r, 0)));               // equal values, equal colours
    EXPECT_TRUE(Same(pic.At(t + 1, 1), zelview::Rgb{0, 0, 0}));  // truth not positive
    EXPECT_TRUE(Same(pic.At(r + 1, 0), zelview::Rgb{0, 0, 0}));  // recovered NaN
    // The range is the truth's: a recovered value beyond it is clipped to the brightest colour.
    EXPECT_LT(range.high, 3.0 + 1e-9);
    EXPECT_TRUE(Same(pic.At(r, 1), zelview::Viridis(1.0)));
    // Scaled by 2, the truth's 2 becomes 4 and shows in the colour of the recovered 4.
    const Picture scaled{width, 2,
                         zeleval::ComposeComparison(colour, truth, recovered, 2, 2, 2.0, &range)};
    EXPECT_NEAR(range.low, 2.0, 0.1);
    EXPECT_TRUE(Same(scaled.At(t + 1, 0), scaled.At(r + 1, 1)));
    EXPECT_FALSE(Same(scaled.At(t + 1, 0), zelview::Viridis(0.0)));
}

TEST(DepthCompare, WritesThePictureOrFailsWithoutOne) {
    if (!zelview::CanWritePng()) {
        GTEST_SKIP() << "this build writes no PNG (libpng not found at configure time)";
    }
    const Project p = WriteProject("compare", 5, 4, 2);
    std::vector<float> truth;
    for (int k = 0; k < 20; k++) {
        truth.push_back(0.1f + 0.01f * static_cast<float>(k));
    }
    WriteMap(Depth(p.truth, 1), truth);
    WriteMap(Depth(p.data, 1), truth);
    const std::string out = p.dir + "/compare.png";
    auto run = testutil::RunProcess(ZEL_DEPTH_COMPARE_EXE, {p.path, p.truth, "1", out});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("Frame 1: " + out + ", 23 x 4"), std::string::npos) << run.out;
    Picture pic;
    ASSERT_TRUE(ReadPng(out, pic));
    ASSERT_EQ(pic.width, 23);
    ASSERT_EQ(pic.height, 4);
    const std::vector<testutil::Rgb> image = testutil::DistinctPixels(5, 4);
    for (int y = 0; y < 4; y++) {
        for (int x = 0; x < 5; x++) {
            const testutil::Rgb& c = image[static_cast<size_t>(y * 5 + x)];
            EXPECT_TRUE(Same(pic.At(x, y), zelview::Rgb{c.r, c.g, c.b})) << x << "," << y;
            EXPECT_TRUE(Same(pic.At(9 + x, y), pic.At(18 + x, y))) << x << "," << y;
        }
    }
    // Row 3 holds the largest disparities, so it is brighter than row 0.
    EXPECT_GT(pic.At(9, 3).g, pic.At(9, 0).g);

    // No recovered file for frame 0: no picture; bad arguments: exit 2.
    const std::string none = p.dir + "/none.png";
    WriteMap(Depth(p.truth, 0), truth);
    run = testutil::RunProcess(ZEL_DEPTH_COMPARE_EXE, {p.path, p.truth, "0", none});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("ERROR: No depth file for frame 0"), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(none));
    EXPECT_EQ(testutil::RunProcess(ZEL_DEPTH_COMPARE_EXE, {p.path, p.truth, "5", none}).status, 1);
    EXPECT_EQ(testutil::RunProcess(ZEL_DEPTH_COMPARE_EXE, {p.path, p.truth, "1"}).status, 2);
    EXPECT_EQ(testutil::RunProcess(ZEL_DEPTH_COMPARE_EXE, {p.path, p.truth, "a", none}).status, 2);
    EXPECT_EQ(testutil::RunProcess(ZEL_DEPTH_COMPARE_EXE, {"--help"}).status, 0);
}

}  // namespace
