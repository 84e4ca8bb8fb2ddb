// The file and format layer: little-endian numbers, depth files and their other formats, writing
// files whole, the project-file writer.
#include <gtest/gtest.h>

#if ZEL_HAVE_PNG
#include <png.h>
#endif

#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "io/byteorder.h"
#include "io/depthfile.h"
#include "io/depthformats.h"
#include "io/projectfile.h"
#include "io/writewhole.h"
#include "tests/test_util.h"

namespace fs = std::filesystem;

TEST(ByteOrder, NumbersRoundTripLeastSignificantByteFirst) {
    unsigned char b[4] = {};
    zelio::WriteLe16(b, 0xBEEF);
    EXPECT_EQ(b[0], 0xEF);
    EXPECT_EQ(b[1], 0xBE);
    EXPECT_EQ(zelio::ReadLe16(b), 0xBEEF);
    zelio::WriteLe32(b, 0x12345678u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(b), 4), "\x78\x56\x34\x12");
    EXPECT_EQ(zelio::ReadLe32(b), 0x12345678u);
    zelio::WriteLe32(b, 0xFFFFFFFEu);
    EXPECT_EQ(zelio::ReadLe32(b), 0xFFFFFFFEu);

    std::string out;
    zelio::AppendLe(out, 0x0102030405060708ull, 8);
    EXPECT_EQ(out, "\x08\x07\x06\x05\x04\x03\x02\x01");
    EXPECT_EQ(zelio::ReadLe(reinterpret_cast<const unsigned char*>(out.data()), 8),
              0x0102030405060708ull);

    // IEEE-754 1.0f is 0x3F800000; NaN payloads and infinities pass unchanged.
    const std::vector<float> values{1.0f, -2.5f, std::numeric_limits<float>::infinity(),
                                    std::numeric_limits<float>::denorm_min(), -0.0f};
    std::vector<unsigned char> bytes(values.size() * 4);
    zelio::FloatsToLe(values.data(), values.size(), bytes.data());
    EXPECT_EQ(zelio::ReadLe32(bytes.data()), 0x3F800000u);
    std::vector<float> back(values.size());
    zelio::FloatsFromLe(bytes.data(), values.size(), back.data());
    EXPECT_EQ(std::memcmp(back.data(), values.data(), bytes.size()), 0);
    std::string appended;
    zelio::AppendLeFloat(appended, -2.5f);
    EXPECT_EQ(appended, std::string(reinterpret_cast<char*>(bytes.data()) + 4, 4));
}

TEST(DepthFiles, NamesAndRawRoundTrip) {
    EXPECT_EQ(zelio::DepthFilePath("d/", 7), "d/_depth7.raw");
    EXPECT_EQ(zelio::DepthFilePath("d/", 12, zelio::DepthFormat::kPfm), "d/_depth12.pfm");
    EXPECT_EQ(zelio::DepthFilePath("", 0, zelio::DepthFormat::kPng16), "_depth0_16.png");
    EXPECT_EQ(zelio::ConfidenceFilePath("d/", 3), "d/_conf3.raw");

    const std::string path = testutil::TempPath("raw/_depth1.raw");
    fs::create_directories(fs::path(path).parent_path());
    const std::vector<float> values{0.5f, 0.25f, -1.0f, 3.0f, 0.125f, 8.0f};
    std::string reason;
    ASSERT_EQ(zelio::WriteRawFloats(path, values.data(), values.size(), reason),
              zelio::RawWrite::kSaved);
    EXPECT_EQ(testutil::ReadFile(path).substr(0, 4), std::string("\0\0\0\x3f", 4));
    std::vector<float> read;
    std::string error;
    ASSERT_TRUE(zelio::ReadDepthFile(path, "depth file", 1, 3, 2, read, &error)) << error;
    EXPECT_EQ(read, values);
    // The working size must match the file's: checked before anything is read.
    EXPECT_FALSE(zelio::ReadDepthFile(path, "depth file", 1, 4, 2, read, &error));
    EXPECT_EQ(error.rfind("Depth file " + path + " has 24 bytes, but the working size 4 x 2", 0),
              0u);
    EXPECT_FALSE(zelio::ReadRawFloats(path, 7, read));
    // The lenient reader takes the leading whole elements and leaves the rest.
    testutil::WriteFile(path, testutil::ReadFile(path).substr(0, 9));
    std::vector<float> some(3, 9.0f);
    EXPECT_EQ(zelio::ReadRawFloatsUpTo(path, some.data(), some.size()), 2);
    EXPECT_EQ(some, (std::vector<float>{0.5f, 0.25f, 9.0f}));
    EXPECT_EQ(zelio::ReadRawFloatsUpTo(path + ".none", some.data(), some.size()), -1);
}

TEST(DepthFormats, PfmHasItsHeaderAndRowsBottomFirst) {
    const std::string path = testutil::TempPath("formats/map.pfm");
    fs::create_directories(fs::path(path).parent_path());
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<float> values{1.0f, 2.0f, 3.0f, nan, 5.0f, 6.0f};  // 3 x 2, top row first
    std::string error;
    ASSERT_TRUE(zelio::WritePfm(path, 3, 2, values, &error)) << error;
    const std::string bytes = testutil::ReadFile(path);
    const std::string header = "Pf\n3 2\n-1\n";
    ASSERT_EQ(bytes.size(), header.size() + 24);
    EXPECT_EQ(bytes.substr(0, header.size()), header);
    std::vector<float> rows(6);
    zelio::FloatsFromLe(reinterpret_cast<const unsigned char*>(bytes.data()) + header.size(), 6,
                        rows.data());
    EXPECT_TRUE(std::isnan(rows[0]));  // the bottom row comes first
    EXPECT_EQ(rows[1], 5.0f);
    EXPECT_EQ(rows[5], 3.0f);
    EXPECT_FALSE(zelio::WritePfm(path, 4, 2, values, &error));
}

TEST(DepthFormats, Png16HoldsScaledDepth) {
    // Disparities 0.5 and 0.25: depths 2 and 4, the farthest at 65535; 0 and NaN have no depth.
    const std::vector<float> disparities{0.5f, 0.25f, 0.0f,
                                         std::numeric_limits<float>::quiet_NaN()};
    EXPECT_DOUBLE_EQ(zelio::DepthPngScale(disparities), 65535.0 / 4.0);
    const std::string path = testutil::TempPath("formats/depth_16.png");
    fs::create_directories(fs::path(path).parent_path());
    double scale = 0.0;
    std::string error;
    const bool written = zelio::WriteDepthPng16(path, 2, 2, disparities, &scale, &error);
    ASSERT_EQ(written, zelio::CanWritePng()) << error;
    if (!written) {
        EXPECT_EQ(error, zelio::NoPngReason());
        EXPECT_FALSE(fs::exists(path));
        return;
    }
    const std::string bytes = testutil::ReadFile(path);
    ASSERT_GT(bytes.size(), 26u);
    EXPECT_EQ(bytes.substr(12, 4), "IHDR");
    EXPECT_EQ(bytes[24], 16);  // bit depth
    EXPECT_EQ(bytes[25], 0);   // grey
#if ZEL_HAVE_PNG
    png_image image;
    std::memset(&image, 0, sizeof(image));
    image.version = PNG_IMAGE_VERSION;
    ASSERT_NE(png_image_begin_read_from_file(&image, path.c_str()), 0);
    image.format = PNG_FORMAT_LINEAR_Y;  // 16-bit samples as they are
    std::vector<uint16_t> samples(4);
    ASSERT_NE(png_image_finish_read(&image, nullptr, samples.data(), 0, nullptr), 0);
    EXPECT_EQ(samples, (std::vector<uint16_t>{32768, 65535, 0, 0}));  // round(2 * 16383.75)
#endif
}

TEST(WriteWhole, AFailedWriteLeavesNothingBehind) {
    const std::string path = testutil::TempPath("whole/out.txt");
    fs::create_directories(fs::path(path).parent_path());
    testutil::WriteFile(path, "old");
    std::string error;
    auto halfThenFail = [](const std::string& partial, std::string* reason) {
        testutil::WriteFile(partial, "half");
        *reason = "stopped half-way";
        return false;
    };
    EXPECT_FALSE(zelio::WriteWhole(path, halfThenFail, &error));
    EXPECT_EQ(error, "stopped half-way");
    EXPECT_EQ(testutil::ReadFile(path), "old");
    EXPECT_FALSE(fs::exists(zelio::PartialName(path)));

    EXPECT_TRUE(zelio::WriteBytesWhole(path, "new", 3, &error));
    EXPECT_EQ(testutil::ReadFile(path), "new");
    const std::string missing = testutil::TempPath("whole/no/such/dir/x.raw");
    const float one = 1.0f;
    EXPECT_EQ(zelio::WriteRawFloats(missing, &one, 1, error), zelio::RawWrite::kCannotCreate);
    EXPECT_FALSE(fs::exists(missing));
}

TEST(ProjectFile, StylesLayOutTheSameContent) {
    zelio::ProjectContent p;
    p.sequence = "./img0000.bmp";
    p.end = 1;
    p.f = p.fy = 300.0;
    p.cx = 160.0;
    p.cy = 0.1;
    p.tracks.push_back({4, 0, {1.0, 2.0, 3.5}, {{0, 10.0, 20.0}, {1, 11.5, 20.0}}});
    p.frames.resize(2);
    p.frames[1].t[0] = -0.25;
    p.frames[0].focal = p.frames[1].focal = 300.0;
    EXPECT_EQ(zelio::FormatProjectFile(p),
              "#camera track project file\n<Image Sequence>\nSequence:./img0000.bmp\nstart:0\n"
              "step:1\nend:1\n</Image Sequence>\n<intrinsic parameter>\n300 300 160 "
              "0.10000000000000001 0\n</intrinsic parameter>\n<Feature Tracks>\n1\n"
              "2 4 0 1 2 3.5\n0 10 20\n1 11.5 20\n</Feature Tracks>\n<Camera Track>\n"
              "<FRAME0>\n300\n1 0 0 0\n0 1 0 0\n0 0 1 0\n</FRAME0>\n<FRAME1>\n300\n"
              "1 0 0 -0.25\n0 1 0 0\n0 0 1 0\n</FRAME1>\n</Camera Track>\n");
    zelio::ProjectFileStyle style;
    style.comment = "x";
    style.blankLines = true;
    style.observationsInline = true;
    style.intrinsics = {'f', 2};
    style.extraIntrinsics = {1.0};
    const std::string text = zelio::FormatProjectFile(p, style);
    EXPECT_EQ(text.rfind("#x\n", 0), 0u);
    EXPECT_NE(text.find("</Image Sequence>\n\n<intrinsic parameter>\n300.00 300.00 160.00 0.10 "
                        "0.00 1.00\n</intrinsic parameter>\n\n"),
              std::string::npos);
    EXPECT_NE(text.find("\n2 4 0 1 2 3.5  0 10 20  1 11.5 20\n</Feature Tracks>\n\n"),
              std::string::npos);
}
