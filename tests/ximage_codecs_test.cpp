// CxImage loading PNG and JPEG: every colour type the decoders convert, and broken streams.
// The files are made here with libpng and libjpeg themselves. Both formats are optional parts of
// a build: without one, its cases are skipped and the committed sample files of that format must
// be refused with kFormatNotBuilt.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "imagelib/ximage.h"
#include "tests/support/bmp.h"
#include "tests/support/encode.h"
#include "tests/test_util.h"

namespace {

#if ZEL_HAVE_PNG
using testutil::EncodePng;
#endif
#if ZEL_HAVE_JPEG
using testutil::EncodeJpeg;
#endif

constexpr int kW = 13;
constexpr int kH = 9;

// The reference picture: a smooth gradient with an alpha ramp.
struct Rgba {
    int r, g, b, a;
};
Rgba Reference(int x, int y) {
    return {x * 19, y * 28, 120 + (x - y) * 5, 255 - x * 9 - y * 3};
}
int Grey(int x, int y) {
    return (x * 19 + y * 3) % 256;
}

// A BMP whose pixel data is a whole PNG (compression 5) or JPEG (4) stream of width x kH.
[[maybe_unused]] std::string InBmp(const std::string& stream, uint32_t compression,
                                   int width = kW) {
    testutil::Bmp b;
    b.width = width;
    b.height = kH;
    b.bitCount = 0;
    b.compression = compression;
    b.pixels = stream;
    return testutil::BuildBmp(b);
}

struct FormatCase {
    const char* name;
    int format;  // CXIMAGE_FORMAT_PNG or CXIMAGE_FORMAT_JPG
    std::string file;
    bool lossy;                              // JPEG: compare within a tolerance
    std::function<Rgba(int, int)> expected;  // top row is y = 0
    bool alpha;
};

void PrintTo(const FormatCase& c, std::ostream* os) {
    *os << c.name;
}

[[maybe_unused]] std::vector<int> RgbOf(int x, int y) {
    const Rgba p = Reference(x, y);
    return {p.r, p.g, p.b};
}
Rgba Opaque(int x, int y) {
    Rgba p = Reference(x, y);
    p.a = -1;
    return p;
}
[[maybe_unused]] Rgba GreyPixel(int x, int y) {
    const int v = Grey(x, y);
    return {v, v, v, -1};
}

std::vector<FormatCase> FormatCases() {
    std::vector<FormatCase> cases;
#if ZEL_HAVE_PNG
    cases.push_back({"PngRgb8", CXIMAGE_FORMAT_PNG,
                     EncodePng(kW, kH, PNG_COLOR_TYPE_RGB, 8, false, RgbOf), false, Opaque, false});
    const std::string rgba =
        EncodePng(kW, kH, PNG_COLOR_TYPE_RGB_ALPHA, 8, false, [](int x, int y) {
            const Rgba p = Reference(x, y);
            return std::vector<int>{p.r, p.g, p.b, p.a};
        });
    cases.push_back({"PngRgba8", CXIMAGE_FORMAT_PNG, rgba, false, Reference, true});
    cases.push_back({"BmpEmbeddedPng", CXIMAGE_FORMAT_PNG, InBmp(rgba, 5), false, Reference, true});
    cases.push_back({"PngRgb16Interlaced", CXIMAGE_FORMAT_PNG,
                     EncodePng(kW, kH, PNG_COLOR_TYPE_RGB, 16, true,
                               [](int x, int y) {
                                   const Rgba p = Reference(x, y);
                                   return std::vector<int>{p.r * 257, p.g * 257, p.b * 257};
                               }),
                     false, Opaque, false});
    cases.push_back({"PngGrey8", CXIMAGE_FORMAT_PNG,
                     EncodePng(kW, kH, PNG_COLOR_TYPE_GRAY, 8, false,
                               [](int x, int y) { return std::vector<int>{Grey(x, y)}; }),
                     false, GreyPixel, false});
    cases.push_back({"PngGrey1", CXIMAGE_FORMAT_PNG,
                     EncodePng(kW, kH, PNG_COLOR_TYPE_GRAY, 1, false,
                               [](int x, int y) { return std::vector<int>{(x + y) & 1}; }),
                     false,
                     [](int x, int y) {
                         const int v = ((x + y) & 1) * 255;
                         return Rgba{v, v, v, -1};
                     },
                     false});
    cases.push_back(
        {"PngGreyAlpha16", CXIMAGE_FORMAT_PNG,
         EncodePng(kW, kH, PNG_COLOR_TYPE_GRAY_ALPHA, 16, false,
                   [](int x, int y) {
                       return std::vector<int>{Grey(x, y) * 257, Reference(x, y).a * 257};
                   }),
         false,
         [](int x, int y) {
             const int v = Grey(x, y);
             return Rgba{v, v, v, Reference(x, y).a};
         },
         true});
    // Four-bit palette of five colours; the last two entries are partly transparent.
    const std::vector<png_color> palette = {
        {255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {10, 20, 30}, {200, 100, 50}};
    const std::vector<png_byte> trns = {255, 255, 255, 128, 0};
    cases.push_back(
        {"PngPalette4Transparency", CXIMAGE_FORMAT_PNG,
         EncodePng(
             kW, kH, PNG_COLOR_TYPE_PALETTE, 4, false,
             [](int x, int y) { return std::vector<int>{(x + 2 * y) % 5}; }, palette, trns),
         false,
         [palette, trns](int x, int y) {
             const int i = (x + 2 * y) % 5;
             return Rgba{palette[i].red, palette[i].green, palette[i].blue, trns[i]};
         },
         true});
#else
    cases.push_back({"Png", CXIMAGE_FORMAT_PNG, "", false, Opaque, false});
#endif

#if ZEL_HAVE_JPEG
    const std::string baseline = EncodeJpeg(kW, kH, JCS_RGB, 3, 95, false, RgbOf);
    cases.push_back({"JpegBaseline", CXIMAGE_FORMAT_JPG, baseline, true, Opaque, false});
    cases.push_back(
        {"BmpEmbeddedJpeg", CXIMAGE_FORMAT_JPG, InBmp(baseline, 4), true, Opaque, false});
    cases.push_back({"JpegProgressive", CXIMAGE_FORMAT_JPG,
                     EncodeJpeg(kW, kH, JCS_RGB, 3, 95, true, RgbOf), true, Opaque, false});
    cases.push_back({"JpegGrey", CXIMAGE_FORMAT_JPG,
                     EncodeJpeg(kW, kH, JCS_GRAYSCALE, 1, 95, false,
                                [](int x, int y) { return std::vector<int>{Grey(x, y)}; }),
                     true, GreyPixel, false});
    // libjpeg marks CMYK files as Adobe's, whose samples are stored inverted (255 = no ink): the
    // samples (r, g, b, 255) therefore mean the colour (r, g, b).
    cases.push_back({"JpegAdobeCmyk", CXIMAGE_FORMAT_JPG,
                     EncodeJpeg(kW, kH, JCS_CMYK, 4, 95, false,
                                [](int x, int y) {
                                    const Rgba p = Reference(x, y);
                                    return std::vector<int>{p.r, p.g, p.b, 255};
                                }),
                     true, Opaque, false});
#else
    cases.push_back({"Jpeg", CXIMAGE_FORMAT_JPG, "", true, Opaque, false});
#endif
    return cases;
}

class CxImageFormats : public testing::TestWithParam<FormatCase> {};

TEST_P(CxImageFormats, LoadsWhateverTheTypeCode) {
    const FormatCase& c = GetParam();
    if (!CxImage::CanLoad(c.format)) {
        GTEST_SKIP() << "this build has no " << c.name << " support (library not found)";
    }
    ASSERT_FALSE(c.file.empty());
    const std::string path = testutil::TempPath(std::string(c.name) + ".img");
    testutil::WriteFile(path, c.file);
    for (int typeCode : {0, 1}) {
        CxImage img;
        ASSERT_TRUE(img.Load(path.c_str(), typeCode)) << ImageErrorText(img.GetLastError());
        ASSERT_EQ(img.GetWidth(), unsigned(kW));
        ASSERT_EQ(img.GetHeight(), unsigned(kH));
        ASSERT_EQ(img.AlphaIsValid(), c.alpha);
        const int tolerance = c.lossy ? 16 : 0;  // chroma subsampling blurs the edges
        for (int y = 0; y < kH; ++y) {
            for (int x = 0; x < kW; ++x) {
                const Rgba want = c.expected(x, y);
                const RGBQUAD got = img.GetPixelColor(x, kH - 1 - y, true);
                const int diff =
                    std::max({std::abs(got.rgbRed - want.r), std::abs(got.rgbGreen - want.g),
                              std::abs(got.rgbBlue - want.b)});
                EXPECT_LE(diff, tolerance) << "pixel " << x << "," << y << " (top row 0)";
                if (c.alpha) {
                    EXPECT_EQ(got.rgbReserved, want.a) << "alpha at " << x << "," << y;
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(PngAndJpeg, CxImageFormats, testing::ValuesIn(FormatCases()),
                         [](const testing::TestParamInfo<FormatCase>& param) {
                             return std::string(param.param.name);
                         });

#if ZEL_HAVE_PNG
// Big-endian 32-bit value at a position of a string.
void PutBe32(std::string& s, size_t at, uint32_t v) {
    s[at] = char(v >> 24);
    s[at + 1] = char(v >> 16);
    s[at + 2] = char(v >> 8);
    s[at + 3] = char(v);
}
uint32_t Crc32(const std::string& s, size_t from, size_t n) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = from; i < from + n; ++i) {
        crc ^= uint8_t(s[i]);
        for (int k = 0; k < 8; ++k) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    }
    return ~crc;
}
#endif

struct BrokenCase {
    const char* name;
    int format;
    std::string file;
    ImageError reason;
};

void PrintTo(const BrokenCase& c, std::ostream* os) {
    *os << c.name;
}

std::vector<BrokenCase> BrokenCases() {
    std::vector<BrokenCase> cases;
#if ZEL_HAVE_PNG
    const std::string png = EncodePng(kW, kH, PNG_COLOR_TYPE_RGB, 8, false, RgbOf);
    const size_t idat = png.find("IDAT");
    cases.push_back(
        {"PngCutInHeader", CXIMAGE_FORMAT_PNG, png.substr(0, 20), ImageError::kTruncatedHeader});
    cases.push_back({"PngCutInPixels", CXIMAGE_FORMAT_PNG, png.substr(0, idat + 30),
                     ImageError::kTruncatedPixels});
    cases.push_back({"PngWithoutEnd", CXIMAGE_FORMAT_PNG, png.substr(0, png.size() - 12),
                     ImageError::kTruncatedPixels});
    std::string flipped = png;
    flipped[idat + 10] = char(flipped[idat + 10] ^ 0x55);
    cases.push_back({"PngBadChecksum", CXIMAGE_FORMAT_PNG, flipped, ImageError::kBadPixelData});
    // IHDR starts at byte 8: length, "IHDR", width, height, ..., CRC over type and data.
    std::string huge = png;
    PutBe32(huge, 16, 20000);
    PutBe32(huge, 20, 20000);
    PutBe32(huge, 29, Crc32(huge, 12, 17));
    cases.push_back({"PngOverLimit", CXIMAGE_FORMAT_PNG, huge, ImageError::kTooLarge});
#else
    cases.push_back({"Png", CXIMAGE_FORMAT_PNG, "", ImageError::kNone});
#endif

#if ZEL_HAVE_JPEG
    const std::string jpeg = EncodeJpeg(kW, kH, JCS_RGB, 3, 95, false, RgbOf);
    const size_t sos = jpeg.find("\xFF\xDA");
    cases.push_back(
        {"JpegCutInHeader", CXIMAGE_FORMAT_JPG, jpeg.substr(0, 100), ImageError::kTruncatedHeader});
    cases.push_back({"JpegCutInPixels", CXIMAGE_FORMAT_JPG, jpeg.substr(0, sos + 40),
                     ImageError::kTruncatedPixels});
    const std::string progressive = EncodeJpeg(kW, kH, JCS_RGB, 3, 95, true, RgbOf);
    cases.push_back({"JpegProgressiveCut", CXIMAGE_FORMAT_JPG,
                     progressive.substr(0, progressive.size() * 2 / 3),
                     ImageError::kTruncatedPixels});
    // The start-of-frame segment: FF C0, length, precision, height, width.
    std::string big = jpeg;
    const size_t sof = big.find("\xFF\xC0");
    big[sof + 5] = big[sof + 7] = 0x7F;  // 32767 x 32767: within libjpeg's limit, not ours
    big[sof + 6] = big[sof + 8] = char(0xFF);
    cases.push_back({"JpegOverLimit", CXIMAGE_FORMAT_JPG, big, ImageError::kTooLarge});
    std::string zero = jpeg;
    zero[sof + 5] = zero[sof + 6] = 0;
    cases.push_back({"JpegZeroHeight", CXIMAGE_FORMAT_JPG, zero, ImageError::kBadPixelData});
#endif
#if ZEL_HAVE_PNG && ZEL_HAVE_JPEG
    // Streams inside a BMP: the header's size must agree, the stream must be whole.
    cases.push_back({"BmpEmbeddedPngOtherWidth", CXIMAGE_FORMAT_PNG, InBmp(png, 5, kW + 1),
                     ImageError::kEmbeddedSizeMismatch});
    cases.push_back({"BmpEmbeddedJpegOtherWidth", CXIMAGE_FORMAT_JPG, InBmp(jpeg, 4, kW - 1),
                     ImageError::kEmbeddedSizeMismatch});
    const std::string inBmp = InBmp(jpeg, 4);
    cases.push_back({"BmpEmbeddedJpegCut", CXIMAGE_FORMAT_JPG, inBmp.substr(0, inBmp.size() - 10),
                     ImageError::kTruncatedPixels});
    cases.push_back(
        {"BmpEmbeddedPngBroken", CXIMAGE_FORMAT_PNG, InBmp(flipped, 5), ImageError::kBadPixelData});
#endif
#if !ZEL_HAVE_JPEG
    cases.push_back({"Jpeg", CXIMAGE_FORMAT_JPG, "", ImageError::kNone});
#endif
    return cases;
}

class CxImageBrokenStream : public testing::TestWithParam<BrokenCase> {};

TEST_P(CxImageBrokenStream, FailsWithReasonAndEmptyPicture) {
    const BrokenCase& c = GetParam();
    if (!CxImage::CanLoad(c.format)) {
        GTEST_SKIP() << "this build has no " << c.name << " support (library not found)";
    }
    const std::string path = testutil::TempPath(std::string(c.name) + ".img");
    testutil::WriteFile(path, c.file);
    CxImage img;
    ASSERT_TRUE(img.Create(3, 3, 32, 0));
    EXPECT_FALSE(img.Load(path.c_str(), 0));
    EXPECT_EQ(img.GetLastError(), c.reason) << "got " << ImageErrorText(img.GetLastError());
    EXPECT_EQ(img.GetWidth(), 0u);
    EXPECT_EQ(img.GetHeight(), 0u);
    EXPECT_EQ(img.GetBits(), nullptr);
    EXPECT_FALSE(img.AlphaIsValid());
}

INSTANTIATE_TEST_SUITE_P(Kinds, CxImageBrokenStream, testing::ValuesIn(BrokenCases()),
                         [](const testing::TestParamInfo<BrokenCase>& param) {
                             return std::string(param.param.name);
                         });

// The build's formats: BMP always, PNG and JPEG as configured. A committed sample of each
// optional format loads when the format is built in, and is otherwise refused with its own reason
// and an empty picture.
TEST(CxImageOptionalFormats, LoadOrRefuseAsTheBuildSays) {
    EXPECT_TRUE(CxImage::CanLoad(CXIMAGE_FORMAT_BMP));
    EXPECT_EQ(CxImage::CanLoad(CXIMAGE_FORMAT_PNG), ZEL_HAVE_PNG != 0);
    EXPECT_EQ(CxImage::CanLoad(CXIMAGE_FORMAT_JPG), ZEL_HAVE_JPEG != 0);
    EXPECT_FALSE(CxImage::CanLoad(CXIMAGE_FORMAT_UNKNOWN));
    EXPECT_FALSE(CxImage::CanLoad(42));
    const struct {
        const char* file;
        int format;
    } samples[] = {{"png_rgb8.png", CXIMAGE_FORMAT_PNG},
                   {"png_rgb8_truncated.png", CXIMAGE_FORMAT_PNG},
                   {"jpeg_rgb.jpg", CXIMAGE_FORMAT_JPG},
                   {"jpeg_truncated_header.jpg", CXIMAGE_FORMAT_JPG}};
    for (const auto& sample : samples) {
        SCOPED_TRACE(sample.file);
        const std::string path =
            std::string(ZEL_SOURCE_DIR) + "/fuzz/corpus/fuzz_image/" + sample.file;
        CxImage img;
        ASSERT_TRUE(img.Create(3, 3, 24, 0));
        const bool loaded = img.Load(path.c_str(), sample.format);
        if (CxImage::CanLoad(sample.format)) {
            EXPECT_NE(img.GetLastError(), ImageError::kFormatNotBuilt);
            EXPECT_EQ(loaded, std::string(sample.file).find("truncated") == std::string::npos);
        } else {
            EXPECT_FALSE(loaded);
            EXPECT_EQ(img.GetLastError(), ImageError::kFormatNotBuilt);
            EXPECT_STREQ(ImageErrorText(img.GetLastError()), "format not built into this library");
            EXPECT_EQ(img.GetWidth(), 0u);
            EXPECT_EQ(img.GetBits(), nullptr);
        }
    }
}

}  // namespace
