// CxImage: pixel access, BMP reading (every header and pixel variant) and writing, bad files,
// resampling.

#include "imagelib/ximage.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/bmp.h"
#include "tests/test_util.h"

namespace {

using testutil::Bmp;
using testutil::BuildBmp;
using testutil::Bytes;

// Colours are written 0xRRGGBB in the tables below.
RGBQUAD Quad(uint32_t rgb, uint8_t alpha = 0) {
    return RGBQUAD{uint8_t(rgb), uint8_t(rgb >> 8), uint8_t(rgb >> 16), alpha};
}
uint32_t Rgb(const RGBQUAD& q) {
    return uint32_t(q.rgbRed) << 16 | uint32_t(q.rgbGreen) << 8 | q.rgbBlue;
}
std::vector<std::array<uint8_t, 3>> Palette(std::initializer_list<uint32_t> rgbs) {
    std::vector<std::array<uint8_t, 3>> p;
    for (uint32_t c : rgbs) {
        p.push_back({uint8_t(c), uint8_t(c >> 8), uint8_t(c >> 16)});
    }
    return p;
}

// Every pixel of a picture, bottom row first, as 0xRRGGBB.
std::vector<uint32_t> AllPixels(CxImage& img) {
    std::vector<uint32_t> out;
    for (unsigned y = 0; y < img.GetHeight(); ++y) {
        for (unsigned x = 0; x < img.GetWidth(); ++x) {
            out.push_back(Rgb(img.GetPixelColor(x, y, false)));
        }
    }
    return out;
}

uint32_t FileLe32(const std::string& f, size_t at) {
    uint32_t v = 0;
    std::memcpy(&v, f.data() + at, 4);  // the test machine is little-endian, like the format
    return v;
}

TEST(CxImagePixels, CreateSetGetAndBounds) {
    CxImage img(0);
    EXPECT_EQ(img.GetWidth(), 0u);
    EXPECT_EQ(img.GetBits(), nullptr);
    ASSERT_TRUE(img.Create(3, 2, 24, 0));
    EXPECT_EQ(img.GetWidth(), 3u);
    EXPECT_EQ(img.GetHeight(), 2u);
    EXPECT_FALSE(img.AlphaIsValid());
    EXPECT_EQ(Rgb(img.GetPixelColor(2, 1)), 0u) << "a new picture is black";

    img.SetPixelColor(2, 1, Quad(0x123456, 77), true);  // no alpha plane: alpha ignored
    const RGBQUAD c = img.GetPixelColor(2, 1, true);
    EXPECT_EQ(Rgb(c), 0x123456u);
    EXPECT_EQ(c.rgbReserved, 0);
    // Storage is blue, green, red, bottom row first.
    EXPECT_EQ(img.GetBits()[(1 * 3 + 2) * 3 + 0], 0x56);
    EXPECT_EQ(img.GetBits()[(1 * 3 + 2) * 3 + 2], 0x12);

    // Outside the picture: reads give zero, writes do nothing.
    for (long x : {-1L, 3L, LONG_MAX}) {
        EXPECT_EQ(Rgb(img.GetPixelColor(x, 0)), 0u);
        img.SetPixelColor(x, 0, Quad(0xFFFFFF));
    }
    img.SetPixelColor(0, 2, Quad(0xFFFFFF));
    img.SetPixelColor(0, -1, Quad(0xFFFFFF));
    EXPECT_EQ(AllPixels(img), (std::vector<uint32_t>{0, 0, 0, 0, 0, 0x123456}));

    ASSERT_TRUE(img.AlphaCreate());
    EXPECT_EQ(img.GetPixelColor(0, 0, true).rgbReserved, 255) << "a new alpha plane is opaque";
    img.SetPixelColor(0, 0, Quad(0x010203, 9), false);
    EXPECT_EQ(img.GetPixelColor(0, 0, true).rgbReserved, 255) << "alpha set only when asked";
    img.SetPixelColor(0, 0, Quad(0x010203, 9), true);
    EXPECT_EQ(img.GetPixelColor(0, 0, true).rgbReserved, 9);
    EXPECT_EQ(img.GetPixelColor(0, 0, false).rgbReserved, 0);
}

TEST(CxImagePixels, CreateRejectsBadSizes) {
    CxImage img;
    ASSERT_TRUE(img.Create(2, 2, 32, 0));
    EXPECT_TRUE(img.AlphaIsValid());
    EXPECT_FALSE(img.Create(0, 5, 24, 0));
    EXPECT_EQ(img.GetWidth(), 0u);
    EXPECT_FALSE(img.AlphaIsValid());
    EXPECT_FALSE(img.Create(5, 0, 24, 0));
    EXPECT_FALSE(img.Create(1u << 15, 1u << 14, 24, 0));  // 2^29 pixels
    EXPECT_EQ(img.GetLastError(), ImageError::kBadArgument);
    EXPECT_FALSE(img.Create(2, 2, 7, 0));
    EXPECT_FALSE(img.AlphaCreate());
    EXPECT_EQ(img.GetLastError(), ImageError::kEmptyPicture);
    EXPECT_FALSE(img.Save(testutil::TempPath("never.bmp").c_str(), 1));
}

// Widths 1, 3 and 5 need row padding; 4 does not.
TEST(CxImageBmp, RoundTrip24BitPadsRows) {
    for (unsigned w : {1u, 3u, 4u, 5u}) {
        SCOPED_TRACE("width " + std::to_string(w));
        CxImage img;
        ASSERT_TRUE(img.Create(w, 2, 24, 0));
        for (unsigned y = 0; y < 2; ++y) {
            for (unsigned x = 0; x < w; ++x) {
                img.SetPixelColor(x, y, Quad(0x10000 * (x + 1) + 0x100 * (y + 1) + x * y + 7));
            }
        }
        const std::string path = testutil::TempPath("rt24_" + std::to_string(w) + ".bmp");
        ASSERT_TRUE(img.Save(path.c_str(), 1));
        const std::string f = testutil::ReadFile(path);
        const size_t stride = (w * 3 + 3) / 4 * 4;
        ASSERT_EQ(f.size(), 54 + stride * 2);
        EXPECT_EQ(f.substr(0, 2), "BM");
        EXPECT_EQ(FileLe32(f, 2), f.size());
        EXPECT_EQ(FileLe32(f, 10), 54u);
        EXPECT_EQ(FileLe32(f, 14), 40u);
        EXPECT_EQ(FileLe32(f, 22), 2u) << "positive height: bottom-up rows";
        EXPECT_EQ(f[28], 24);
        EXPECT_EQ(FileLe32(f, 30), 0u) << "uncompressed";
        // The first stored row is the bottom row, blue first.
        EXPECT_EQ(uint8_t(f[54]), 7);
        EXPECT_EQ(uint8_t(f[55]), 1);
        EXPECT_EQ(uint8_t(f[56]), 1);

        CxImage back;
        ASSERT_TRUE(back.Load(path.c_str(), 1));
        EXPECT_FALSE(back.AlphaIsValid());
        EXPECT_EQ(AllPixels(back), AllPixels(img));
    }
}

TEST(CxImageBmp, RoundTrip32BitKeepsAlpha) {
    CxImage img;
    ASSERT_TRUE(img.Create(3, 2, 24, 0));
    ASSERT_TRUE(img.AlphaCreate());
    for (unsigned i = 0; i < 6; ++i) {
        img.SetPixelColor(i % 3, i / 3, Quad(0x102030 * (i + 1), uint8_t(40 * i)), true);
    }
    const std::string path = testutil::TempPath("rt32.bmp");
    ASSERT_TRUE(img.Save(path.c_str(), 1));
    const std::string f = testutil::ReadFile(path);
    ASSERT_EQ(f.size(), 14 + 108 + 3 * 2 * 4u);
    EXPECT_EQ(FileLe32(f, 14), 108u);
    EXPECT_EQ(f[28], 32);
    EXPECT_EQ(FileLe32(f, 30), 3u) << "bit fields";
    EXPECT_EQ(FileLe32(f, 54 + 12), 0xFF000000u) << "alpha mask";

    CxImage back;
    ASSERT_TRUE(back.Load(path.c_str(), 0));
    ASSERT_TRUE(back.AlphaIsValid());
    EXPECT_EQ(AllPixels(back), AllPixels(img));
    for (unsigned i = 0; i < 6; ++i) {
        EXPECT_EQ(back.GetPixelColor(i % 3, i / 3, true).rgbReserved, 40 * i) << "pixel " << i;
    }
}

TEST(CxImageBmp, LoadIgnoresTypeCodeAndReplacesPicture) {
    CxImage img;
    ASSERT_TRUE(img.Create(2, 1, 24, 0));
    img.SetPixelColor(1, 0, Quad(0xABCDEF));
    const std::string path = testutil::TempPath("typecode.bmp");
    ASSERT_TRUE(img.Save(path.c_str(), 1));
    CxImage other;
    ASSERT_TRUE(other.Create(9, 9, 32, 0));
    ASSERT_TRUE(other.Load(path.c_str(), CXIMAGE_FORMAT_JPG));
    EXPECT_EQ(other.GetWidth(), 2u);
    EXPECT_FALSE(other.AlphaIsValid());
    EXPECT_EQ(AllPixels(other), (std::vector<uint32_t>{0, 0xABCDEF}));
}

struct ReadCase {
    const char* name;
    std::string file;
    unsigned width;
    unsigned height;
    std::vector<uint32_t> pixels;  // bottom row first, 0xRRGGBB
    std::vector<int> alpha;        // empty: no alpha plane
};

void PrintTo(const ReadCase& c, std::ostream* os) {
    *os << c.name;
}

std::vector<ReadCase> ReadCases() {
    std::vector<ReadCase> cases;
    const auto rgbw = Palette({0x102030, 0xFF0000, 0x00FF00, 0x0000FF});
    constexpr uint32_t B = 0x000000, W = 0xFFFFFF, P0 = 0x102030, R = 0xFF0000, G = 0x00FF00,
                       U = 0x0000FF;
    {
        Bmp b;
        b.width = 10;
        b.height = 2;
        b.bitCount = 1;
        b.palette = Palette({B, W});
        b.pixels = Bytes({0xAA, 0xC0, 0, 0, 0x00, 0x40, 0, 0});
        cases.push_back({"OneBitPalette",
                         BuildBmp(b),
                         10,
                         2,
                         {W, B, W, B, W, B, W, B, W, W, B, B, B, B, B, B, B, B, B, W},
                         {}});
    }
    {
        Bmp b;
        b.width = 3;
        b.bitCount = 4;
        b.colorsUsed = 3;
        b.palette = Palette({R, G, U});
        b.pixels = Bytes({0x01, 0x20, 0, 0});
        cases.push_back({"FourBitShortPalette", BuildBmp(b), 3, 1, {R, G, U}, {}});
    }
    {
        Bmp b;
        b.width = 2;
        b.height = -2;  // top-down
        b.bitCount = 8;
        b.colorsUsed = 2;
        b.palette = Palette({R, G});
        b.pixels = Bytes({1, 0, 0, 0, 0, 1, 0, 0});
        cases.push_back({"EightBitTopDown", BuildBmp(b), 2, 2, {R, G, G, R}, {}});
    }
    {
        Bmp b;
        b.width = 2;
        b.bitCount = 16;
        b.pixels = Bytes({0x00, 0x7C, 0x10, 0x00});
        cases.push_back({"Sixteen555", BuildBmp(b), 2, 1, {R, 132}, {}});
    }
    {
        Bmp b;
        b.width = 2;
        b.bitCount = 16;
        b.compression = 3;
        b.masks = {0xF800, 0x07E0, 0x001F};
        b.pixels = Bytes({0xE0, 0x07, 0x21, 0x08});
        cases.push_back({"Sixteen565Bitfields", BuildBmp(b), 2, 1, {G, 0x080408}, {}});
        b.infoSize = 52;  // the masks inside the header
        cases.push_back({"Sixteen565InHeader52", BuildBmp(b), 2, 1, {G, 0x080408}, {}});
    }
    {
        Bmp b;
        b.bitCount = 32;
        b.compression = 3;
        b.masks = {0x000000FF, 0x0000FF00, 0x00FF0000};
        b.pixels = Bytes({0x11, 0x22, 0x33, 0x44});
        cases.push_back({"ThirtyTwoBitfieldsRgbx", BuildBmp(b), 1, 1, {0x112233}, {}});
    }
    {
        Bmp b;
        b.infoSize = 124;
        b.width = 2;
        b.bitCount = 32;
        b.compression = 3;
        b.masks = {0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000};
        b.pixels = Bytes({1, 2, 3, 0x80, 4, 5, 6, 0xFF});
        cases.push_back(
            {"ThirtyTwoV5Alpha", BuildBmp(b), 2, 1, {0x030201, 0x060504}, {0x80, 0xFF}});
        b.infoSize = 40;
        b.compression = 0;
        b.masks.clear();
        cases.push_back({"ThirtyTwoPlainNoAlpha", BuildBmp(b), 2, 1, {0x030201, 0x060504}, {}});
    }
    {
        Bmp b;
        b.width = 1;
        b.height = -2;
        b.pixels = Bytes({1, 2, 3, 0, 4, 5, 6, 0});
        cases.push_back({"TwentyFourTopDown", BuildBmp(b), 1, 2, {0x060504, 0x030201}, {}});
    }
    {
        Bmp b;
        b.width = 4;
        b.height = 3;
        b.bitCount = 8;
        b.compression = 1;
        b.palette = rgbw;
        b.pixels = Bytes({3, 1, 0, 0,                    // run of 3, end of line
                          0, 3, 2, 3, 0, 0, 1, 1, 0, 0,  // absolute 2 3 0 (padded), run, eol
                          0, 2, 2, 0, 2, 3, 0, 1});      // delta (+2, +0), run of 2, end
        cases.push_back({"Rle8", BuildBmp(b), 4, 3, {R, R, R, B, G, U, P0, R, B, B, U, U}, {}});
    }
    {
        Bmp b;
        b.width = 5;
        b.height = 2;
        b.bitCount = 4;
        b.compression = 2;
        b.palette = rgbw;
        b.pixels = Bytes({5, 0x12, 0, 0,                // 1 2 1 2 1, end of line
                          0, 3, 0x30, 0x20,             // absolute 3 0 2
                          0, 2, 1, 0, 1, 0x10, 0, 1});  // delta +1, run of one 1, end
        cases.push_back({"Rle4", BuildBmp(b), 5, 2, {R, G, R, G, R, U, P0, G, B, R}, {}});
    }
    {
        Bmp b;
        b.infoSize = 12;
        b.width = 2;
        b.bitCount = 8;
        b.palette = Palette({R, G});
        b.pixels = Bytes({1, 0, 0, 0});
        cases.push_back({"CoreHeaderPalette", BuildBmp(b), 2, 1, {G, R}, {}});
        b.width = 1;
        b.height = 2;
        b.bitCount = 24;
        b.palette.clear();
        b.pixels = Bytes({1, 2, 3, 0, 4, 5, 6, 0});
        cases.push_back({"CoreHeader24", BuildBmp(b), 1, 2, {0x030201, 0x060504}, {}});
    }
    {
        // 16 bits with an alpha mask: 1-5-5-5 in a V4 header, 4-4-4-4 in a V5 header and after
        // a 40-byte header (BI_ALPHABITFIELDS).
        Bmp b;
        b.infoSize = 108;
        b.width = 2;
        b.bitCount = 16;
        b.compression = 3;
        b.masks = {0x7C00, 0x03E0, 0x001F, 0x8000};
        b.pixels = Bytes({0x00, 0xFC, 0x1F, 0x00});
        cases.push_back({"Sixteen1555AlphaV4", BuildBmp(b), 2, 1, {R, U}, {255, 0}});
        b.infoSize = 124;
        b.masks = {0x0F00, 0x00F0, 0x000F, 0xF000};
        b.pixels = Bytes({0x00, 0x8F, 0xF0, 0xF0});
        cases.push_back({"Sixteen4444AlphaV5", BuildBmp(b), 2, 1, {R, G}, {136, 255}});
        b.infoSize = 40;
        b.compression = 6;
        cases.push_back({"Sixteen4444AlphaBitfields", BuildBmp(b), 2, 1, {R, G}, {136, 255}});
    }
    {
        Bmp b;
        b.width = 5;
        b.bitCount = 2;
        b.palette = Palette({R, G, U, W});
        b.pixels = Bytes({0x1B, 0x40, 0, 0});  // 0 1 2 3 | 1
        cases.push_back({"TwoBitPalette", BuildBmp(b), 5, 1, {R, G, U, W, G}, {}});
    }
    {
        // OS/2 2.x: 4-byte palette entries; the 16-byte header ends after the bit count.
        Bmp b;
        b.infoSize = 64;
        b.width = 2;
        b.bitCount = 8;
        b.palette = Palette({R, G});
        b.pixels = Bytes({1, 0, 0, 0});
        cases.push_back({"Os2Header64", BuildBmp(b), 2, 1, {G, R}, {}});
        b.infoSize = 16;
        b.width = 3;
        b.bitCount = 1;
        b.palette = Palette({R, U});
        b.pixels = Bytes({0xA0, 0, 0, 0});
        cases.push_back({"Os2Header16", BuildBmp(b), 3, 1, {U, R, U}, {}});
    }
    return cases;
}

class CxImageBmpRead : public testing::TestWithParam<ReadCase> {};

TEST_P(CxImageBmpRead, DecodesEveryVariant) {
    const ReadCase& c = GetParam();
    const std::string path = testutil::TempPath(std::string(c.name) + ".bmp");
    testutil::WriteFile(path, c.file);
    CxImage img;
    ASSERT_TRUE(img.Load(path.c_str(), 1)) << ImageErrorText(img.GetLastError());
    ASSERT_EQ(img.GetWidth(), c.width);
    ASSERT_EQ(img.GetHeight(), c.height);
    EXPECT_EQ(AllPixels(img), c.pixels);
    ASSERT_EQ(img.AlphaIsValid(), !c.alpha.empty());
    for (size_t i = 0; i < c.alpha.size(); ++i) {
        EXPECT_EQ(img.GetPixelColor(long(i % c.width), long(i / c.width)).rgbReserved, c.alpha[i]);
    }
}

INSTANTIATE_TEST_SUITE_P(Variants, CxImageBmpRead, testing::ValuesIn(ReadCases()),
                         [](const testing::TestParamInfo<ReadCase>& param) {
                             return std::string(param.param.name);
                         });

struct BadCase {
    const char* name;
    std::string file;
    ImageError reason;
};

void PrintTo(const BadCase& c, std::ostream* os) {
    *os << c.name;
}

std::vector<BadCase> BadCases() {
    std::vector<BadCase> cases;
    Bmp good;
    good.width = 2;
    good.height = 2;
    good.pixels = std::string(16, '\x40');
    auto with = [&](auto change) {
        Bmp b = good;
        change(b);
        return BuildBmp(b);
    };
    const std::string valid = BuildBmp(good);
    cases.push_back({"NotAnImage", "GIF89a....", ImageError::kUnknownFormat});
    cases.push_back({"EmptyFile", "", ImageError::kUnknownFormat});
    cases.push_back({"TruncatedFileHeader", valid.substr(0, 10), ImageError::kTruncatedHeader});
    cases.push_back({"TruncatedInfoHeader", valid.substr(0, 30), ImageError::kTruncatedHeader});
    cases.push_back(
        {"UnknownHeaderSize", with([](Bmp& b) { b.infoSize = 20; }), ImageError::kBadHeaderSize});
    cases.push_back({"TwoPlanes", with([](Bmp& b) { b.planes = 2; }), ImageError::kBadPlanes});
    cases.push_back({"ZeroWidth", with([](Bmp& b) { b.width = 0; }), ImageError::kBadSize});
    cases.push_back({"ZeroHeight", with([](Bmp& b) { b.height = 0; }), ImageError::kBadSize});
    cases.push_back({"NegativeWidth", with([](Bmp& b) { b.width = -2; }), ImageError::kBadSize});
    cases.push_back(
        {"MostNegativeHeight", with([](Bmp& b) { b.height = INT32_MIN; }), ImageError::kBadSize});
    cases.push_back(
        {"OverLimit", with([](Bmp& b) { b.width = b.height = 20000; }), ImageError::kTooLarge});
    cases.push_back({"SizesOverflow32Bits", with([](Bmp& b) { b.width = b.height = INT32_MAX; }),
                     ImageError::kTooLarge});
    cases.push_back({"TopDownOverflow", with([](Bmp& b) {
                         b.width = INT32_MAX;
                         b.height = -INT32_MAX;
                         b.bitCount = 32;
                     }),
                     ImageError::kTooLarge});
    cases.push_back({"BitCount7", with([](Bmp& b) { b.bitCount = 7; }), ImageError::kBadBitCount});
    cases.push_back({"BitCount0", with([](Bmp& b) { b.bitCount = 0; }), ImageError::kBadBitCount});
    cases.push_back({"UnknownCompression", with([](Bmp& b) { b.compression = 9; }),
                     ImageError::kBadCompression});
    cases.push_back(
        // Pixel data that is no JPEG stream; a build without JPEG refuses the stream unread.
        {"EmbeddedJpeg", with([](Bmp& b) { b.compression = 4; }),
         CxImage::CanLoad(CXIMAGE_FORMAT_JPG) ? ImageError::kBadPixelData
                                              : ImageError::kFormatNotBuilt});
    cases.push_back({"EmbeddedPngTopDown", with([](Bmp& b) {
                         b.compression = 5;
                         b.height = -2;
                     }),
                     ImageError::kBadCompression});
    cases.push_back({"Os2Huffman1D", with([](Bmp& b) {
                         b.infoSize = 64;
                         b.bitCount = 1;
                         b.compression = 3;
                     }),
                     ImageError::kUnsupportedHuffman1D});
    cases.push_back({"Os2Rle24", with([](Bmp& b) {
                         b.infoSize = 64;
                         b.compression = 4;
                     }),
                     ImageError::kUnsupportedRle24});
    cases.push_back({"Os2AlphaBitfields", with([](Bmp& b) {
                         b.infoSize = 64;
                         b.bitCount = 16;
                         b.compression = 6;
                     }),
                     ImageError::kBadCompression});
    cases.push_back(
        {"Rle8With24Bits", with([](Bmp& b) { b.compression = 1; }), ImageError::kBadCompression});
    cases.push_back({"BitfieldsWith24Bits", with([](Bmp& b) { b.compression = 3; }),
                     ImageError::kBadCompression});
    cases.push_back({"TopDownRle", with([](Bmp& b) {
                         b.height = -2;
                         b.bitCount = 8;
                         b.compression = 1;
                         b.palette = Palette({0});
                     }),
                     ImageError::kBadCompression});
    cases.push_back(
        {"OffsetBeyondFile", with([](Bmp& b) { b.offset = 100000; }), ImageError::kBadOffset});
    cases.push_back(
        {"OffsetInsideHeader", with([](Bmp& b) { b.offset = 20; }), ImageError::kBadOffset});
    cases.push_back(
        {"TruncatedPixels", valid.substr(0, valid.size() - 5), ImageError::kTruncatedPixels});
    cases.push_back({"PaletteIndexBeyondPalette", with([](Bmp& b) {
                         b.bitCount = 8;
                         b.colorsUsed = 2;
                         b.palette = Palette({0, 0xFFFFFF});
                         b.pixels = Bytes({0, 1, 0, 0, 1, 5, 0, 0});
                     }),
                     ImageError::kBadPaletteIndex});
    cases.push_back({"OneBitIndexBeyondPalette", with([](Bmp& b) {
                         b.bitCount = 1;
                         b.colorsUsed = 1;
                         b.palette = Palette({0});
                         b.pixels = Bytes({0x00, 0, 0, 0, 0x40, 0, 0, 0});
                     }),
                     ImageError::kBadPaletteIndex});
    cases.push_back({"RleIndexBeyondPalette", with([](Bmp& b) {
                         b.bitCount = 8;
                         b.compression = 1;
                         b.palette = Palette({0, 0xFFFFFF});
                         b.pixels = Bytes({2, 1, 0, 0, 2, 2, 0, 1});
                     }),
                     ImageError::kBadPaletteIndex});
    cases.push_back({"RleAbsoluteIndexBeyondPalette", with([](Bmp& b) {
                         b.bitCount = 4;
                         b.compression = 2;
                         b.palette = Palette({0, 0xFFFFFF});
                         b.pixels = Bytes({0, 3, 0x01, 0x30, 0, 1});
                     }),
                     ImageError::kBadPaletteIndex});
    cases.push_back({"RleStreamEndsEarly", with([](Bmp& b) {
                         b.bitCount = 8;
                         b.compression = 1;
                         b.palette = Palette({0, 0xFFFFFF});
                         b.pixels = Bytes({2, 1, 0, 0, 0, 4, 1, 1});  // absolute run cut short
                     }),
                     ImageError::kTruncatedPixels});
    cases.push_back({"BitfieldMaskWithGap", with([](Bmp& b) {
                         b.bitCount = 16;
                         b.compression = 3;
                         b.masks = {0x0101, 0x00F0, 0x000E};
                     }),
                     ImageError::kBadBitfields});
    cases.push_back({"TruncatedMasks", with([](Bmp& b) {
                                           b.bitCount = 32;
                                           b.compression = 3;
                                           b.masks = {0xFF0000, 0xFF00, 0xFF};
                                       }).substr(0, 14 + 40 + 6),
                     ImageError::kTruncatedHeader});
    cases.push_back({"TruncatedPalette", with([](Bmp& b) {
                                             b.bitCount = 8;
                                             b.palette = Palette({1, 2, 3});
                                         }).substr(0, 14 + 40 + 5),
                     ImageError::kTruncatedHeader});
    return cases;
}

class CxImageBadFile : public testing::TestWithParam<BadCase> {};

TEST_P(CxImageBadFile, FailsWithReasonAndEmptyPicture) {
    const BadCase& c = GetParam();
    const std::string path = testutil::TempPath(std::string("bad_") + c.name + ".bmp");
    testutil::WriteFile(path, c.file);
    CxImage img;
    ASSERT_TRUE(img.Create(4, 4, 32, 0));  // a previous picture must not survive
    EXPECT_FALSE(img.Load(path.c_str(), 1));
    EXPECT_EQ(img.GetLastError(), c.reason) << "got: " << ImageErrorText(img.GetLastError())
                                            << ", expected " << ImageErrorText(c.reason);
    EXPECT_EQ(img.GetWidth(), 0u);
    EXPECT_EQ(img.GetHeight(), 0u);
    EXPECT_EQ(img.GetBits(), nullptr);
    EXPECT_FALSE(img.AlphaIsValid());
    EXPECT_FALSE(img.Decode(reinterpret_cast<const uint8_t*>(c.file.data()), c.file.size()));
    EXPECT_EQ(img.GetLastError(), c.reason) << "from memory";
}

INSTANTIATE_TEST_SUITE_P(Kinds, CxImageBadFile, testing::ValuesIn(BadCases()),
                         [](const testing::TestParamInfo<BadCase>& param) {
                             return std::string(param.param.name);
                         });

TEST(CxImageBadFile, MissingFile) {
    CxImage img;
    EXPECT_FALSE(img.Load(testutil::TempPath("no/such/file.bmp").c_str(), 0));
    EXPECT_EQ(img.GetLastError(), ImageError::kOpenFailed);
    EXPECT_FALSE(img.Load(nullptr, 0));
    EXPECT_EQ(img.GetWidth(), 0u);
}

// Shrinking averages areas; growing interpolates between pixel centres and holds the edges.
TEST(CxImageResample, ShrinkAveragesAndGrowInterpolates) {
    CxImage img;
    ASSERT_TRUE(img.Create(4, 2, 24, 0));
    const uint32_t reds[2][4] = {{0, 40, 80, 120}, {200, 240, 160, 100}};
    for (int y = 0; y < 2; ++y) {
        for (int x = 0; x < 4; ++x) {
            img.SetPixelColor(x, y, Quad(reds[y][x] << 16 | 7));
        }
    }
    CxImage half;
    ASSERT_TRUE(img.Resample(2, 1, 1, &half));
    EXPECT_EQ(img.GetWidth(), 4u) << "with a destination the source stays";
    ASSERT_EQ(half.GetWidth(), 2u);
    ASSERT_EQ(half.GetHeight(), 1u);
    EXPECT_EQ(half.GetPixelColor(0, 0).rgbRed, 120);  // (0 + 40 + 200 + 240) / 4
    EXPECT_EQ(half.GetPixelColor(1, 0).rgbRed, 115);  // (80 + 120 + 160 + 100) / 4
    EXPECT_EQ(half.GetPixelColor(1, 0).rgbBlue, 7);

    // Three columns from four: each covers 4/3 source columns, weighted by the part covered.
    CxImage third;
    ASSERT_TRUE(img.Resample(3, 2, 1, &third));
    EXPECT_EQ(third.GetPixelColor(0, 0).rgbRed, 10);   // (0 * 1 + 40 / 3) * 3 / 4
    EXPECT_EQ(third.GetPixelColor(1, 0).rgbRed, 60);   // (40 * 2/3 + 80 * 2/3) * 3 / 4
    EXPECT_EQ(third.GetPixelColor(2, 0).rgbRed, 110);  // (80 / 3 + 120) * 3 / 4

    CxImage row;
    ASSERT_TRUE(row.Create(2, 1, 24, 0));
    row.SetPixelColor(0, 0, Quad(0x000000));
    row.SetPixelColor(1, 0, Quad(0xC80000));  // red 200
    ASSERT_TRUE(row.Resample(4, 1));
    ASSERT_EQ(row.GetWidth(), 4u);
    const int expected[4] = {0, 50, 150, 200};  // centres at -0.25 (held), 0.25, 0.75, 1.25
    for (int x = 0; x < 4; ++x) {
        EXPECT_EQ(row.GetPixelColor(x, 0).rgbRed, expected[x]) << "x " << x;
    }
}

// A tall, thin picture brought to a wider, shorter one is resampled along y first, so the
// working buffer stays within the source's size (along x first it would be the new width times
// the old height); the result is the same averaging and interpolation.
TEST(CxImageResample, TallPictureGoesAlongColumnsFirst) {
    CxImage img;
    ASSERT_TRUE(img.Create(2, 4, 24, 0));
    for (int y = 0; y < 4; ++y) {
        for (int x = 0; x < 2; ++x) {
            img.SetPixelColor(x, y, Quad(uint32_t(100 * x + 10 * y) << 16));
        }
    }
    ASSERT_TRUE(img.Resample(4, 2));
    // Rows averaged in pairs (5 and 25 above 100 x), columns interpolated as in the row case.
    const int expected[2][4] = {{5, 30, 80, 105}, {25, 50, 100, 125}};
    for (int y = 0; y < 2; ++y) {
        for (int x = 0; x < 4; ++x) {
            EXPECT_EQ(img.GetPixelColor(x, y).rgbRed, expected[y][x]) << x << ", " << y;
        }
    }

    // One column of a million pixels to 40 x 40: a 480 MB buffer the other way round.
    ASSERT_TRUE(img.Create(1, 1 << 20, 24, 0));
    img.SetPixelColor(0, 0, Quad(0xFF0000));
    ASSERT_TRUE(img.Resample(40, 40));
    EXPECT_EQ(img.GetPixelColor(39, 39).rgbRed, 0);
}

TEST(CxImageResample, KeepsAlphaAndRejectsBadArguments) {
    CxImage img;
    ASSERT_TRUE(img.Create(2, 2, 32, 0));
    img.SetPixelColor(0, 0, Quad(0xFFFFFF, 0), true);
    ASSERT_TRUE(img.Resample(1, 1));
    ASSERT_TRUE(img.AlphaIsValid());
    EXPECT_EQ(img.GetPixelColor(0, 0).rgbReserved, 191);  // (0 + 3 * 255) / 4, rounded
    EXPECT_EQ(img.GetPixelColor(0, 0).rgbRed, 64);

    EXPECT_FALSE(img.Resample(0, 5));
    EXPECT_FALSE(img.Resample(5, -1));
    EXPECT_FALSE(img.Resample(1L << 20, 1L << 20));
    EXPECT_FALSE(img.Resample(2, 2, 0));
    EXPECT_EQ(img.GetLastError(), ImageError::kBadArgument);
    EXPECT_EQ(img.GetWidth(), 1u) << "a refused resample changes nothing";
    CxImage empty;
    EXPECT_FALSE(empty.Resample(2, 2));
    EXPECT_EQ(empty.GetLastError(), ImageError::kEmptyPicture);
}

}  // namespace
