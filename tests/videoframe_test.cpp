// The video frame: working sizes, bilinear colour and disparity sampling, colour loading, map
// release and the camera pass-throughs.
#include <gtest/gtest.h>

#include <string>
#include <type_traits>

#include "sequence/videoframe.h"
#include "tests/frame_settings.h"
#include "tests/matrix_util.h"
#include "tests/test_util.h"

using testutil::kExact;
using testutil::Mat3;
using testutil::Vec;
using testutil::VectorNear;

static_assert(!std::is_copy_constructible<CZelVideoFrame>::value, "frames are not copyable");
static_assert(!std::is_copy_assignable<CZelVideoFrame>::value, "frames are not assignable");

namespace {

// Sampling weights of 1/2 and 1/4 on small integers are exact in double.
constexpr double kSampleTolerance = 1e-12;

class FrameTest : public testing::Test {
  protected:
    // A W x H colour grid, all black but pixel (lx, ly), which is (200, 100, 40).
    void LightOnePixel(int W, int H, int lx, int ly) {
        CZelVideoFrame::SetImageSize(W, H);
        CZelVideoFrame::SetReduced(false);
        frame.colorImg = new ZImage<unsigned char>(W, H, 3);
        for (int y = 0; y < H; y++) {
            for (int x = 0; x < W; x++) {
                for (int c = 0; c < 3; c++) {
                    frame.colorImg->At(x, y, c) = 0;
                }
            }
        }
        frame.colorImg->At(lx, ly, 0) = 200;
        frame.colorImg->At(lx, ly, 1) = 100;
        frame.colorImg->At(lx, ly, 2) = 40;
    }

    // A W x H disparity map whose element (x, y) is value(x, y).
    template <class F>
    void MakeDisparity(int W, int H, F value) {
        CZelVideoFrame::SetImageSize(W, H);
        CZelVideoFrame::SetReduced(false);
        frame.dspImg = new ZImage<float>(W, H, 1);
        for (int y = 0; y < H; y++) {
            for (int x = 0; x < W; x++) {
                frame.SetDisparity(x, y, value(x, y));
            }
        }
    }

    Vector3d Color(double x, double y) {
        Vector3d rgb;
        frame.GetColor(x, y, rgb);
        return rgb;
    }

    testutil::FrameSettingsGuard settings;
    CZelVideoFrame frame;
};

}  // namespace

TEST_F(FrameTest, WorkingSizeFollowsTheReducedSwitch) {
    CZelVideoFrame::SetImageSize(641, 480);
    CZelVideoFrame::reduceScale = 0.5f;
    CZelVideoFrame::SetReduced(false);
    EXPECT_EQ(CZelVideoFrame::GetWorkingWidth(), 641);
    EXPECT_EQ(CZelVideoFrame::GetWorkingHeight(), 480);

    CZelVideoFrame::SetReduced(true);
    EXPECT_EQ(CZelVideoFrame::GetWorkingWidth(), 321);  // 320.5 + 0.5, truncated
    EXPECT_EQ(CZelVideoFrame::GetWorkingHeight(), 240);
    CZelVideoFrame::reduceScale = 0.0f;
    EXPECT_EQ(CZelVideoFrame::GetWorkingWidth(), 0);
    EXPECT_EQ(CZelVideoFrame::GetWorkingHeight(), 0);
}

TEST_F(FrameTest, GetColorReturnsPixelsAtIntegralPositions) {
    CZelVideoFrame::SetImageSize(3, 2);
    frame.colorImg = new ZImage<unsigned char>(3, 2, 3);
    for (int y = 0; y < 2; y++) {
        for (int x = 0; x < 3; x++) {
            frame.colorImg->At(x, y, 0) = static_cast<unsigned char>(10 * x + y);
            frame.colorImg->At(x, y, 1) = static_cast<unsigned char>(100 + y);
            frame.colorImg->At(x, y, 2) = static_cast<unsigned char>(200 - x);
        }
    }
    for (int y = 0; y < 2; y++) {
        for (int x = 0; x < 3; x++) {
            EXPECT_TRUE(VectorNear(Color(x, y), Vec(10 * x + y, 100 + y, 200 - x), kExact))
                << "pixel (" << x << ", " << y << ")";
        }
    }
    // x = W - 0.5: both horizontal neighbours are the last column, blended only vertically.
    EXPECT_TRUE(VectorNear(Color(2.5, 0.5), Vec(20.5, 100.5, 198), kSampleTolerance));
    // y = H - 0.5 likewise in the other direction.
    EXPECT_TRUE(VectorNear(Color(0.5, 1.5), Vec(6, 101, 199.5), kSampleTolerance));
}

TEST_F(FrameTest, GetColorBlendsOneLitPixelByHand) {
    LightOnePixel(3, 3, 1, 1);
    const Vector3d full = Vec(200, 100, 40);
    const Vector3d half = Vec(100, 50, 20);
    const Vector3d quarter = Vec(50, 25, 10);
    EXPECT_TRUE(VectorNear(Color(1, 1), full, kExact));
    EXPECT_TRUE(VectorNear(Color(0.5, 1), half, kSampleTolerance));
    EXPECT_TRUE(VectorNear(Color(1.5, 1), half, kSampleTolerance));
    EXPECT_TRUE(VectorNear(Color(1, 0.5), half, kSampleTolerance));
    EXPECT_TRUE(VectorNear(Color(1, 1.5), half, kSampleTolerance));
    EXPECT_TRUE(VectorNear(Color(0.5, 0.5), quarter, kSampleTolerance));
    EXPECT_TRUE(VectorNear(Color(1.5, 1.5), quarter, kSampleTolerance));
    EXPECT_TRUE(VectorNear(Color(1.25, 1), Vec(150, 75, 30), kSampleTolerance));
    EXPECT_TRUE(VectorNear(Color(0, 0), Vec(0, 0, 0), kExact));

    // A lit corner pixel at (W - 1, H - 1) is reached whole from W - 0.5, H - 0.5.
    delete frame.colorImg;
    LightOnePixel(2, 2, 1, 1);
    EXPECT_TRUE(VectorNear(Color(1.5, 1.5), full, kSampleTolerance));
    EXPECT_TRUE(VectorNear(Color(1.5, 0.5), half, kSampleTolerance));
}

TEST_F(FrameTest, GetDisparityBlendsAndStaysInsideTheMap) {
    MakeDisparity(3, 2, [](int x, int y) { return static_cast<float>(2 + 2 * x + 10 * y); });
    // Elements 2.0 at (0, 0) and 4.0 at (1, 0).
    EXPECT_EQ(frame.GetDisparity(0.5, 0), 3.0);
    EXPECT_EQ(frame.GetDisparity(1, 1), 14.0);
    // The last element: its neighbours beyond the map are itself (ASan sees any read past it).
    EXPECT_EQ(frame.GetDisparity(2, 1), 16.0);
    EXPECT_NEAR(frame.GetDisparity(2, 0.5), 11.0, kSampleTolerance);
    EXPECT_NEAR(frame.GetDisparity(1.5, 1), 15.0, kSampleTolerance);
    EXPECT_NEAR(frame.GetDisparity(0.5, 0.5), 8.0, kSampleTolerance);

    delete frame.dspImg;
    MakeDisparity(3, 3, [](int x, int y) { return x == 1 && y == 1 ? 8.0f : 0.0f; });
    EXPECT_NEAR(frame.GetDisparity(0.5, 1), 4.0, kSampleTolerance);
    EXPECT_NEAR(frame.GetDisparity(1, 0.5), 4.0, kSampleTolerance);
    EXPECT_NEAR(frame.GetDisparity(0.5, 0.5), 2.0, kSampleTolerance);
    EXPECT_NEAR(frame.GetDisparity(1.5, 1.5), 2.0, kSampleTolerance);
    EXPECT_EQ(frame.dspImg->At(1, 1, 0), 8.0f);
}

TEST_F(FrameTest, ReleaseMapsDeletesBothMapsAndIsHarmlessWithout) {
    frame.ReleaseMaps();
    EXPECT_EQ(frame.colorImg, nullptr);
    EXPECT_EQ(frame.dspImg, nullptr);
    frame.colorImg = new ZImage<unsigned char>(2, 2, 3);
    frame.dspImg = new ZImage<float>(2, 2, 1);
    frame.ReleaseMaps();  // leak checking reports a map left behind
    EXPECT_EQ(frame.colorImg, nullptr);
    EXPECT_EQ(frame.dspImg, nullptr);
}

TEST_F(FrameTest, ReleaseColorImageKeepsTheDisparityMap) {
    CZelVideoFrame::SetImageSize(3, 2);
    CZelVideoFrame::SetReduced(false);
    frame.colorImg = new ZImage<unsigned char>(3, 2, 3);
    ASSERT_TRUE(frame.CreateDisparityMap(0.25f));
    frame.ReleaseColorImage();
    EXPECT_EQ(frame.colorImg, nullptr);
    ASSERT_NE(frame.dspImg, nullptr);
    EXPECT_EQ(frame.dspImg->GetWidth(), 3);
    EXPECT_EQ(frame.dspImg->GetHeight(), 2);
    for (int y = 0; y < 2; y++) {
        for (int x = 0; x < 3; x++) {
            EXPECT_EQ(frame.GetDisparity(x, y), 0.25);
        }
    }
    frame.ReleaseColorImage();  // harmless without an image

    // A working size that cannot be allocated leaves the frame without a map.
    CZelVideoFrame::SetImageSize(-1, 5);
    EXPECT_FALSE(frame.CreateDisparityMap(0.0f));
    EXPECT_EQ(frame.dspImg, nullptr);
}

TEST_F(FrameTest, PrintCameraWritesKRAndTInFixedFormats) {
    frame.index = 3;
    frame.SetK(Mat3(500, 0, 0, 0, 500, 0, 0, 0, 1));
    frame.SetScaledK(Mat3(9, 9, 9, 9, 9, 9, 9, 9, 9));  // never printed
    for (int r = 0; r < 3; r++) {
        for (int c = 0; c < 3; c++) {
            frame.SetRotation(r, c, r == c ? 1.0 : 0.0);
        }
    }
    frame.SetRotation(2, 0, -0.25);
    frame.SetTranslation(0, 1.0);
    frame.SetTranslation(1, -2.0);
    frame.SetTranslation(2, 0.5);
    const std::string out = testutil::CaptureStdout([&] { frame.PrintCamera(); });
    EXPECT_EQ(out,
              "Frame 3\n"
              "500.0000000\t0.0000000\t0.0000000\t\n"
              "0.0000000\t500.0000000\t0.0000000\t\n"
              "0.0000000\t0.0000000\t1.0000000\t\n"
              "1.0000000\t0.0000000\t0.0000000\t\n"
              "0.0000000\t1.0000000\t0.0000000\t\n"
              "-0.2500000\t0.0000000\t1.0000000\t\n"
              "1.000000\t-2.000000\t0.500000\t\n\n");
}

TEST_F(FrameTest, CameraParametersPackKOrScaledKThenRThenT) {
    frame.SetK(Mat3(1, 2, 3, 4, 5, 6, 7, 8, 9));
    frame.SetScaledK(Mat3(-1, -2, -3, -4, -5, -6, -7, -8, -9));
    for (int r = 0; r < 3; r++) {
        for (int c = 0; c < 3; c++) {
            frame.SetRotation(r, c, 10 + 3 * r + c);
        }
        frame.SetTranslation(r, 0.1 * (r + 1));
    }
    float out[22];
    out[21] = 12345.0f;  // must stay: exactly 21 values are written
    CZelVideoFrame::SetReduced(false);
    frame.GetCameraParameters(out);
    for (int i = 0; i < 9; i++) {
        EXPECT_EQ(out[i], static_cast<float>(i + 1)) << "K entry " << i;
        EXPECT_EQ(out[9 + i], static_cast<float>(10 + i)) << "R entry " << i;
    }
    EXPECT_EQ(out[18], static_cast<float>(0.1));
    EXPECT_EQ(out[20], static_cast<float>(0.1 * 3));
    EXPECT_EQ(out[21], 12345.0f);

    CZelVideoFrame::SetReduced(true);
    frame.GetCameraParameters(out);
    EXPECT_EQ(out[0], -1.0f);
    EXPECT_EQ(out[8], -9.0f);
    EXPECT_EQ(out[9], 10.0f);
}

TEST_F(FrameTest, DepthOfIsCameraSpaceZAfterInversion) {
    // World-to-camera as read: X maps to X + (0, 0, 5); after inversion the camera sits at -5.
    for (int r = 0; r < 3; r++) {
        for (int c = 0; c < 3; c++) {
            frame.SetRotation(r, c, r == c ? 1.0 : 0.0);
        }
        frame.SetTranslation(r, r == 2 ? 5.0 : 0.0);
    }
    frame.InvertCameraPose();
    EXPECT_EQ(frame.DepthOf(Vec(1, 1, 2)), 7.0f);
    EXPECT_EQ(frame.DepthOf(Vec(0, 0, -5)), 0.0f);
}

TEST_F(FrameTest, LoadColorImageReadsOnceTopRowFirst) {
    const std::string dir = testutil::FreshTestDir();
    testutil::WriteBmp24(dir + "pic.bmp", 3, 2, testutil::DistinctPixels(3, 2));
    CZelVideoFrame::SetImageSize(3, 2);
    CZelVideoFrame::SetReduced(false);
    frame.imageFile = dir + "pic.bmp";
    frame.LoadColorImage();
    ASSERT_NE(frame.colorImg, nullptr);
    ASSERT_EQ(frame.colorImg->GetWidth(), 3);
    ASSERT_EQ(frame.colorImg->GetHeight(), 2);
    ASSERT_EQ(frame.colorImg->GetChannels(), 3);
    for (int y = 0; y < 2; y++) {
        for (int x = 0; x < 3; x++) {
            EXPECT_TRUE(VectorNear(Color(x, y), Vec(10 * x + y, 100 + y, 200 - x), kExact))
                << "pixel (" << x << ", " << y << ")";
        }
    }

    // A second call keeps the first grid, even when the file has changed meanwhile.
    ZImage<unsigned char>* first = frame.colorImg;
    first->At(0, 0, 0) = 77;
    frame.LoadColorImage();
    EXPECT_EQ(frame.colorImg, first);
    EXPECT_EQ(frame.colorImg->At(0, 0, 0), 77);

    // After ReleaseMaps the file is read again.
    frame.ReleaseMaps();
    EXPECT_EQ(frame.colorImg, nullptr);
    frame.LoadColorImage();
    ASSERT_NE(frame.colorImg, nullptr);
    EXPECT_EQ(frame.colorImg->At(0, 0, 0), 0);
}

TEST_F(FrameTest, LoadColorImageBringsAReadablePictureToTheWorkingSize) {
    const std::string dir = testutil::FreshTestDir();
    testutil::WriteBmp24(dir + "pic.bmp", 3, 2, testutil::DistinctPixels(3, 2));
    frame.imageFile = dir + "pic.bmp";

    // Same width, different height: resampled too, so that sampling over the working size
    // never reads outside the grid.
    CZelVideoFrame::SetImageSize(3, 5);
    frame.LoadColorImage();
    ASSERT_NE(frame.colorImg, nullptr);
    EXPECT_EQ(frame.colorImg->GetWidth(), 3);
    EXPECT_EQ(frame.colorImg->GetHeight(), 5);
    Vector3d rgb;
    frame.GetColor(2.0, 4.0, rgb);  // the last working pixel lies inside the grid
    frame.ReleaseMaps();

    // A different width brings the picture to the whole working size.
    CZelVideoFrame::SetImageSize(6, 4);
    frame.LoadColorImage();
    ASSERT_NE(frame.colorImg, nullptr);
    EXPECT_EQ(frame.colorImg->GetWidth(), 6);
    EXPECT_EQ(frame.colorImg->GetHeight(), 4);
    frame.ReleaseMaps();

    // The working size itself: the pixels are taken as they are.
    CZelVideoFrame::SetImageSize(3, 2);
    frame.LoadColorImage();
    ASSERT_NE(frame.colorImg, nullptr);
    EXPECT_EQ(frame.colorImg->GetWidth(), 3);
    EXPECT_EQ(frame.colorImg->GetHeight(), 2);
}

TEST_F(FrameTest, UnreadableImageGivesAnEmptyGridSilently) {
    CZelVideoFrame::SetImageSize(4, 4);
    frame.imageFile = testutil::TempPath("no_such_picture.bmp");
    const std::string out = testutil::CaptureStdout([&] { frame.LoadColorImage(); });
    EXPECT_EQ(out, "");
    ASSERT_NE(frame.colorImg, nullptr);
    EXPECT_EQ(frame.colorImg->GetWidth(), 0);
    EXPECT_EQ(frame.colorImg->GetHeight(), 0);
}
