// ZImage: stride, layout and the two bridges to the image layer (row flips, conversions,
// clamping, the alpha plane).

#include "zimage/zimage.h"

#include <gtest/gtest.h>

#include <string>
#include <type_traits>

#include "imagelib/ximage.h"
#include "tests/test_util.h"

namespace {

template <class T>
ptrdiff_t OffsetOf(ZImage<T>& img, int x, int y, int c) {
    return reinterpret_cast<unsigned char*>(&img.At(x, y, c)) - img.GetData();
}

static_assert(!std::is_copy_constructible<ZImage<int>>::value, "grids must not be copied");
static_assert(!std::is_copy_assignable<ZImage<float>>::value, "grids must not be assigned");
static_assert(std::has_virtual_destructor<ZImage<unsigned char>>::value, "deleted through bases");

TEST(ZImageLayout, StrideByteSizeAndOffsets) {
    ZImage<unsigned char> rgb(5, 2, 3);
    EXPECT_EQ(rgb.GetWidth(), 5);
    EXPECT_EQ(rgb.GetHeight(), 2);
    EXPECT_EQ(rgb.GetChannels(), 3);
    EXPECT_EQ(rgb.stride, 16);
    EXPECT_EQ(rgb.GetByteSize(), 32);
    EXPECT_EQ(OffsetOf(rgb, 4, 1, 2), 30);
    EXPECT_EQ(OffsetOf(rgb, 0, 1, 0), 16) << "row 1 starts after the padded row 0";

    ZImage<unsigned char> grey(4, 2, 1);
    EXPECT_EQ(grey.stride, 4);
    EXPECT_EQ(grey.GetByteSize(), 8);

    ZImage<float> depth(5, 2, 1);
    EXPECT_EQ(depth.stride, 20);
    EXPECT_EQ(depth.GetByteSize(), 40);
    EXPECT_EQ(OffsetOf(depth, 1, 1, 0), 24);

    ZImage<int> labels(3, 3, 4);
    EXPECT_EQ(labels.stride, 48);
    EXPECT_EQ(OffsetOf(labels, 2, 1, 3), 48 + (2 * 4 + 3) * 4);

    auto* empty = new ZImage<unsigned char>(0, 0, 3);
    EXPECT_EQ(empty->stride, 0);
    EXPECT_EQ(empty->GetByteSize(), 0);
    delete empty;  // harmless

    ZImage<int> negative(-4, 3, 1);
    EXPECT_EQ(negative.GetByteSize(), 0);
    EXPECT_EQ(negative.GetData(), nullptr);
}

// Renders a grid and reads the picture back through the public pixel interface.
TEST(ZImageToCxImage, ClampsScaledSamplesToGrey) {
    ZImage<int> grid(4, 1, 1);
    const int values[4] = {200, -3, 127, 0};
    for (int x = 0; x < 4; ++x) {
        grid.At(x, 0, 0) = values[x];
    }
    CxImage img;
    ZImageToCxImage(&grid, &img, 2.0f);
    ASSERT_EQ(img.GetWidth(), 4u);
    ASSERT_EQ(img.GetHeight(), 1u);
    EXPECT_FALSE(img.AlphaIsValid());
    const int expected[4] = {255, 0, 254, 0};
    for (int x = 0; x < 4; ++x) {
        const RGBQUAD c = img.GetPixelColor(x, 0, true);
        EXPECT_EQ(c.rgbRed, expected[x]) << "x " << x;
        EXPECT_EQ(c.rgbGreen, expected[x]) << "x " << x;
        EXPECT_EQ(c.rgbBlue, expected[x]) << "x " << x;
    }

    // Truncation toward zero, not rounding: 0.3 * 5 = 1.5 -> 1, 0.3 * 3 = 0.9 -> 0.
    grid.At(0, 0, 0) = 5;
    grid.At(1, 0, 0) = 3;
    CxImage scaled;
    ZImageToCxImage(&grid, &scaled, 0.3f);
    EXPECT_EQ(scaled.GetPixelColor(0, 0).rgbRed, 1);
    EXPECT_EQ(scaled.GetPixelColor(1, 0).rgbRed, 0);
}

TEST(ZImageToCxImage, ColourChannelsAndAlphaPlane) {
    ZImage<int> rgb(1, 2, 3);
    rgb.At(0, 0, 0) = 10;  // top row
    rgb.At(0, 0, 1) = 20;
    rgb.At(0, 0, 2) = 30;
    rgb.At(0, 1, 0) = 1;  // bottom row
    rgb.At(0, 1, 1) = 2;
    rgb.At(0, 1, 2) = 3;
    CxImage img;
    ZImageToCxImage(&rgb, &img, 1.0f);
    EXPECT_FALSE(img.AlphaIsValid()) << "three channels give no alpha plane";
    const RGBQUAD top = img.GetPixelColor(0, 1);
    EXPECT_EQ(top.rgbRed, 10);
    EXPECT_EQ(top.rgbGreen, 20);
    EXPECT_EQ(top.rgbBlue, 30);
    EXPECT_EQ(img.GetPixelColor(0, 0).rgbBlue, 3) << "grid row 1 is the picture's bottom row";

    ZImage<int> rgba(2, 1, 4);
    for (int x = 0; x < 2; ++x) {
        rgba.At(x, 0, 0) = 50;
        rgba.At(x, 0, 1) = 60;
        rgba.At(x, 0, 2) = 70;
    }
    rgba.At(0, 0, 3) = 128;
    rgba.At(1, 0, 3) = 400;  // clamped like the colours
    CxImage withAlpha;
    ZImageToCxImage(&rgba, &withAlpha, 1.0f);
    ASSERT_TRUE(withAlpha.AlphaIsValid());
    EXPECT_EQ(withAlpha.GetPixelColor(0, 0, true).rgbReserved, 128);
    EXPECT_EQ(withAlpha.GetPixelColor(1, 0, true).rgbReserved, 255);
    EXPECT_EQ(withAlpha.GetPixelColor(1, 0, true).rgbGreen, 60);

    ZImage<int> none(0, 0, 1);
    CxImage blank;
    ZImageToCxImage(&none, &blank, 1.0f);
    EXPECT_EQ(blank.GetWidth(), 0u);
    ZImageToCxImage(nullptr, &blank, 1.0f);  // no crash
}

TEST(CxImageToZImage, ThreeChannelsScaledAndGreyAverage) {
    CxImage img;
    ASSERT_TRUE(img.Create(2, 2, 24, 0));
    img.SetPixelColor(0, 1, RGBQUAD{31, 20, 10, 0});   // top-left: red 10, green 20, blue 31
    img.SetPixelColor(1, 0, RGBQUAD{255, 101, 7, 0});  // bottom-right

    ZImage<unsigned char> rgb(2, 2, 3);
    CxImageToZImage(img, &rgb, 1.0f);
    EXPECT_EQ(rgb.At(0, 0, 0), 10);
    EXPECT_EQ(rgb.At(0, 0, 1), 20);
    EXPECT_EQ(rgb.At(0, 0, 2), 31);
    EXPECT_EQ(rgb.At(1, 1, 0), 7);
    EXPECT_EQ(rgb.At(1, 1, 2), 255);
    EXPECT_EQ(rgb.At(1, 0, 1), 0);

    ZImage<unsigned char> half(2, 2, 3);
    CxImageToZImage(img, &half, 0.5f);
    EXPECT_EQ(half.At(1, 1, 2), 127) << "127.5 truncates";
    EXPECT_EQ(half.At(1, 1, 1), 50);

    ZImage<unsigned char> grey(2, 2, 1);
    CxImageToZImage(img, &grey, 2.0f);  // the scale does not apply to grey
    EXPECT_EQ(grey.At(0, 0, 0), 20);    // (10 + 20 + 31) / 3 = 20
    EXPECT_EQ(grey.At(1, 1, 0), 121);   // (7 + 101 + 255) / 3
    EXPECT_EQ(grey.At(1, 0, 0), 0);

    // A grid smaller than the picture receives only what fits.
    ZImage<unsigned char> small(1, 1, 3);
    CxImageToZImage(img, &small, 1.0f);
    EXPECT_EQ(small.At(0, 0, 0), 10);
}

// Grid -> picture -> BMP file -> picture -> grid: every corner stays where it was, and the
// grid's top row is the top row of the saved picture.
TEST(ZImageRoundTrip, FourCornersSurviveAFile) {
    const int colours[2][2][3] = {{{255, 0, 0}, {0, 255, 0}}, {{0, 0, 255}, {255, 255, 0}}};
    ZImage<int> grid(2, 2, 3);
    for (int y = 0; y < 2; ++y) {
        for (int x = 0; x < 2; ++x) {
            for (int c = 0; c < 3; ++c) {
                grid.At(x, y, c) = colours[y][x][c];
            }
        }
    }
    const std::string path = testutil::TempPath("corners.bmp");
    {
        CxImage img;
        ZImageToCxImage(&grid, &img, 1.0f);
        ASSERT_TRUE(img.Save(path.c_str(), 1));
    }
    // The last stored row of a bottom-up BMP is the top of the picture: red, then green.
    const std::string file = testutil::ReadFile(path);
    ASSERT_EQ(file.size(), 54u + 2 * 8);
    EXPECT_EQ(uint8_t(file[54 + 8 + 2]), 255) << "top-left is red";
    EXPECT_EQ(uint8_t(file[54 + 8 + 4]), 255) << "top-right is green";

    CxImage loaded;
    ASSERT_TRUE(loaded.Load(path.c_str(), 0));
    ZImage<unsigned char> back(2, 2, 3);
    CxImageToZImage(loaded, &back, 1.0f);
    for (int y = 0; y < 2; ++y) {
        for (int x = 0; x < 2; ++x) {
            for (int c = 0; c < 3; ++c) {
                EXPECT_EQ(back.At(x, y, c), colours[y][x][c]) << x << "," << y << " ch " << c;
            }
        }
    }
}

}  // namespace
