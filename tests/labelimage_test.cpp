// Label and disparity pictures: names, grey levels, orientation and the refused inputs. Pictures
// are read back through the project's own BMP loader.
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "imagelib/ximage.h"
#include "sequence/videoframe.h"
#include "tests/frame_settings.h"
#include "tests/test_util.h"

namespace {

// Sets the class-wide frame settings for one test and restores them afterwards.
class LabelImageTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = testutil::FreshTestDir() + "TMP/";
        std::filesystem::create_directories(dir);
        CZelVideoFrame::tmpDir = dir;
        frame.name = "img0005";
    }
    // Rows of grey values of a saved picture, top row first; fails the test when a pixel is not
    // grey.
    static std::vector<std::vector<int>> ReadGrey(const std::string& path) {
        std::vector<std::vector<int>> rows;
        CxImage picture(0);
        EXPECT_TRUE(picture.Load(path.c_str(), CXIMAGE_FORMAT_BMP)) << path;
        const long W = static_cast<long>(picture.GetWidth());
        const long H = static_cast<long>(picture.GetHeight());
        for (long i = 0; i < H; ++i) {
            std::vector<int> row;
            for (long x = 0; x < W; ++x) {
                const RGBQUAD c = picture.GetPixelColor(x, H - 1 - i, false);
                EXPECT_TRUE(c.rgbRed == c.rgbGreen && c.rgbGreen == c.rgbBlue)
                    << "pixel " << x << "," << i << " is not grey";
                row.push_back(c.rgbRed);
            }
            rows.push_back(row);
        }
        return rows;
    }
    static void SetRow(ZImage<int>& grid, int y, const std::vector<int>& labels) {
        for (size_t x = 0; x < labels.size(); ++x) {
            grid.At(static_cast<int>(x), y, 0) = labels[x];
        }
    }
    void MakeMap(int W, int H, const std::vector<float>& values) {
        CZelVideoFrame::SetImageSize(W, H);
        delete frame.dspImg;
        frame.dspImg = new ZImage<float>(W, H, 1);
        for (size_t k = 0; k < values.size(); ++k) {
            frame.SetDisparity(static_cast<int>(k) % W, static_cast<int>(k) / W, values[k]);
        }
    }
    bool DirEmpty() const { return std::filesystem::is_empty(dir); }

    testutil::FrameSettingsGuard settings;  // restores the class-wide settings afterwards
    std::string dir;
    CZelVideoFrame frame;
};

TEST_F(LabelImageTest, GreysFollowTheSinglePrecisionScaleAndClamp) {
    struct Case {
        int levels;
        std::vector<int> labels;
        std::vector<int> greys;
    };
    const std::vector<Case> cases = {
        {3, {0, 1, 2}, {0, 127, 255}},
        {4, {0, 1, 2, 3}, {0, 85, 170, 255}},
        {8, {0, 1, 7}, {0, 36, 254}},  // 255/7 rounds down in float: 7 * 36.42857 < 255
        {12, {11}, {254}},
        {15, {14}, {254}},
        {4, {4, 100, -1, -100}, {255, 255, 0, 0}},  // outside 0..levels-1
    };
    for (const Case& c : cases) {
        ZImage<int> grid(static_cast<int>(c.labels.size()), 1, 1);
        SetRow(grid, 0, c.labels);
        EXPECT_EQ(testutil::CaptureStdout([&] { frame.SaveLabelImage(&grid, 0, c.levels); }), "");
        const auto rows = ReadGrey(dir + "1_Init_img0005.bmp");
        ASSERT_EQ(rows.size(), 1u) << c.levels << " levels";
        EXPECT_EQ(rows[0], c.greys) << c.levels << " levels";
    }
}

TEST_F(LabelImageTest, GridRowZeroIsThePictureTopRowOfA24BitBmp) {
    ZImage<int> grid(3, 2, 1);
    SetRow(grid, 0, {0, 1, 2});
    SetRow(grid, 1, {2, 2, 1});
    frame.SaveLabelImage(&grid, 1, 3);
    const std::string path = dir + "2_BO_img0005.bmp";
    const std::string raw = testutil::ReadFile(path);
    ASSERT_GE(raw.size(), 30u);
    EXPECT_EQ(raw.substr(0, 2), "BM");
    EXPECT_EQ(static_cast<unsigned char>(raw[28]) | static_cast<unsigned char>(raw[29]) << 8, 24);
    const auto rows = ReadGrey(path);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0], (std::vector<int>{0, 127, 255}));
    EXPECT_EQ(rows[1], (std::vector<int>{255, 255, 127}));
}

TEST_F(LabelImageTest, ASecondSaveReplacesTheFirstPicture) {
    ZImage<int> first(4, 3, 1);
    for (int y = 0; y < 3; ++y) {
        SetRow(first, y, {0, 0, 0, 0});
    }
    frame.SaveLabelImage(&first, 0, 4);
    ZImage<int> second(2, 1, 1);
    SetRow(second, 0, {3, 1});
    frame.SaveLabelImage(&second, 0, 4);
    const auto rows = ReadGrey(dir + "1_Init_img0005.bmp");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0], (std::vector<int>{255, 85}));
}

TEST_F(LabelImageTest, DisparitiesMapLinearlyOntoGreysTopRowFirst) {
    MakeMap(3, 2, {1.0f, 2.0f, 3.0f, 0.5f, 7.0f, -1.0f});
    EXPECT_EQ(testutil::CaptureStdout([&] { frame.SaveDisparityImage(1, 1.0, 3.0); }), "");
    const std::string path = dir + "2_BO_img0005.bmp";
    const std::string raw = testutil::ReadFile(path);
    ASSERT_GE(raw.size(), 30u);
    EXPECT_EQ(static_cast<unsigned char>(raw[28]) | static_cast<unsigned char>(raw[29]) << 8, 24);
    const auto rows = ReadGrey(path);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0], (std::vector<int>{0, 127, 255}));
    EXPECT_EQ(rows[1], (std::vector<int>{0, 255, 0}));

    // Reversed bounds invert the ramp.
    frame.SaveDisparityImage(0, 3.0, 1.0);
    EXPECT_EQ(ReadGrey(dir + "1_Init_img0005.bmp")[0], (std::vector<int>{255, 127, 0}));
}

TEST_F(LabelImageTest, NonFiniteDisparitiesAndBoundsGiveDefinedGreys) {
    struct Case {
        float d;
        double minD;
        double maxD;
        int grey;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const std::vector<Case> cases = {
        {std::numeric_limits<float>::quiet_NaN(), 0.0, 1.0, 0},
        // Sampling weighs an infinite element's neighbours (itself, at the edge) by 0, which
        // gives NaN: infinities show as 0 too.
        {inf, 0.0, 1.0, 0},
        {-inf, 0.0, 1.0, 0},
        {0.5f, nan, 1.0, 0},
        {0.5f, 0.0, nan, 0},
    };
    for (const Case& c : cases) {
        MakeMap(1, 1, {c.d});
        frame.SaveDisparityImage(0, c.minD, c.maxD);
        const auto rows = ReadGrey(dir + "1_Init_img0005.bmp");
        ASSERT_EQ(rows.size(), 1u);
        EXPECT_EQ(rows[0], (std::vector<int>{c.grey})) << c.d << " in " << c.minD << ".." << c.maxD;
    }
}

TEST_F(LabelImageTest, UnknownLabelTypePrintsTheErrorAndWritesNothing) {
    const std::string line = "ERROR:Can not find save labelImg because the label type is unkown!\n";
    ZImage<int> grid(2, 2, 1);
    SetRow(grid, 0, {0, 1});
    SetRow(grid, 1, {1, 0});
    EXPECT_EQ(testutil::CaptureStdout([&] { frame.SaveLabelImage(&grid, 2, 2); }), line);
    EXPECT_EQ(testutil::CaptureStdout([&] { frame.SaveLabelImage(&grid, -1, 2); }), line);
    MakeMap(2, 2, {1, 2, 3, 4});
    EXPECT_EQ(testutil::CaptureStdout([&] { frame.SaveDisparityImage(2, 0.0, 1.0); }), line);
    EXPECT_TRUE(DirEmpty());
}

TEST_F(LabelImageTest, UnusableInputsPrintAnErrorAndWriteNothing) {
    ZImage<int> grid(2, 1, 1);
    SetRow(grid, 0, {0, 1});
    for (int levels : {1, 0, -5, std::numeric_limits<int>::min()}) {
        const std::string out =
            testutil::CaptureStdout([&] { frame.SaveLabelImage(&grid, 0, levels); });
        EXPECT_EQ(out.rfind("ERROR", 0), 0u) << levels << " levels: " << out;
    }
    EXPECT_EQ(
        testutil::CaptureStdout([&] { frame.SaveLabelImage(nullptr, 0, 4); }).rfind("ERROR", 0),
        0u);

    CZelVideoFrame::SetImageSize(2, 2);
    EXPECT_EQ(
        testutil::CaptureStdout([&] { frame.SaveDisparityImage(0, 0.0, 1.0); }).rfind("ERROR", 0),
        0u);  // no map
    MakeMap(2, 2, {1, 2, 3, 4});
    EXPECT_EQ(
        testutil::CaptureStdout([&] { frame.SaveDisparityImage(0, 2.0, 2.0); }).rfind("ERROR", 0),
        0u);  // equal bounds
    CZelVideoFrame::SetImageSize(3, 2);
    EXPECT_EQ(
        testutil::CaptureStdout([&] { frame.SaveDisparityImage(1, 0.0, 1.0); }).rfind("ERROR", 0),
        0u);  // map smaller than the working size
    EXPECT_TRUE(DirEmpty());
}

TEST_F(LabelImageTest, PictureThatCannotBeWrittenIsReportedAndLeavesNothing) {
    CZelVideoFrame::tmpDir = dir + "missing/";
    ZImage<int> grid(2, 1, 1);
    SetRow(grid, 0, {0, 1});
    MakeMap(2, 1, {1, 2});
    const std::string path = dir + "missing/2_BO_img0005.bmp";
    std::string error;
    bool ok = true;
    EXPECT_EQ(testutil::CaptureStdout([&] { ok = frame.WriteLabelImage(&grid, 1, 2, error); }), "");
    EXPECT_FALSE(ok);
    EXPECT_EQ(error.rfind("ERROR: Can not write picture: " + path, 0), 0u) << error;
    error.clear();
    EXPECT_FALSE(frame.WriteDisparityImage(1, 0.0, 4.0, error));
    EXPECT_EQ(error.rfind("ERROR: Can not write picture: " + path, 0), 0u) << error;
    // The printing forms print that line.
    EXPECT_EQ(testutil::CaptureStdout([&] { frame.SaveLabelImage(&grid, 1, 2); }), error + "\n");
    EXPECT_TRUE(DirEmpty());

    // Written, nothing is left under the temporary name.
    CZelVideoFrame::tmpDir = dir;
    EXPECT_TRUE(frame.WriteDisparityImage(1, 0.0, 4.0, error));
    EXPECT_TRUE(std::filesystem::exists(dir + "2_BO_img0005.bmp"));
    EXPECT_FALSE(std::filesystem::exists(dir + "2_BO_img0005.bmp.part"));
}

}  // namespace
