// Depth files: layout, names, round trip and the failure paths of SaveDepthFile / LoadDepthFile.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "sequence/videoframe.h"
#include "tests/frame_settings.h"
#include "tests/test_util.h"

namespace {

int g_waits = 0;
void CountingWait() {
    ++g_waits;
}

uint32_t Bits(float f) {
    uint32_t u = 0;
    std::memcpy(&u, &f, 4);
    return u;
}

// Little-endian float at byte offset `at` of `bytes`.
uint32_t LeWord(const std::string& bytes, size_t at) {
    uint32_t u = 0;
    for (int i = 3; i >= 0; --i) {
        u = (u << 8) | static_cast<unsigned char>(bytes[at + static_cast<size_t>(i)]);
    }
    return u;
}

std::string LeBytes(float f) {
    const uint32_t u = Bits(f);
    std::string s;
    for (int i = 0; i < 4; ++i) {
        s += static_cast<char>((u >> (8 * i)) & 0xFF);
    }
    return s;
}

// Sets the class-wide frame settings for one test and restores them afterwards.
class DepthFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = testutil::FreshTestDir() + "DATA/";
        std::filesystem::create_directories(dir);
        CZelVideoFrame::dataDir = dir;
        CZelVideoFrame::SetImageSize(4, 2);
        g_waits = 0;
        SetWaitForKeyFunction(CountingWait);
    }
    void TearDown() override { SetWaitForKeyFunction(nullptr); }
    // Gives the frame a map of the working size filled with values[k] at element k.
    static void FillMap(CZelVideoFrame& f, const std::vector<float>& values) {
        delete f.dspImg;
        const int W = CZelVideoFrame::GetWorkingWidth();
        f.dspImg = new ZImage<float>(W, CZelVideoFrame::GetWorkingHeight(), 1);
        for (size_t k = 0; k < values.size(); ++k) {
            f.SetDisparity(static_cast<int>(k) % W, static_cast<int>(k) / W, values[k]);
        }
    }
    static bool AllZero(const ZImage<float>& m) {
        for (int y = 0; y < m.GetHeight(); ++y) {
            for (int x = 0; x < m.GetWidth(); ++x) {
                if (Bits(m.At(x, y, 0)) != 0) {
                    return false;
                }
            }
        }
        return true;
    }

    testutil::FrameSettingsGuard settings;  // restores the class-wide settings afterwards
    std::string dir;
};

TEST_F(DepthFileTest, FourByTwoMapIsThirtyTwoLittleEndianBytesRowZeroFirst) {
    CZelVideoFrame f;
    f.index = 3;
    FillMap(f, {1.0f, 2.5f, 3, 4, -5.0f, 6, 7, 8});
    EXPECT_EQ(testutil::CaptureStdout([&] { f.SaveDepthFile(); }), "");
    const std::string bytes = testutil::ReadFile(dir + "_depth3.raw");
    ASSERT_EQ(bytes.size(), 32u);
    EXPECT_EQ(bytes.substr(0, 4), std::string("\x00\x00\x80\x3f", 4));  // 1.0f, little-endian
    EXPECT_EQ(LeWord(bytes, 4), Bits(2.5f));                            // element (1, 0)
    EXPECT_EQ(LeWord(bytes, 16), Bits(-5.0f));                          // element (0, 1)
    EXPECT_EQ(LeWord(bytes, 28), Bits(8.0f));                           // element (3, 1)
}

TEST_F(DepthFileTest, RoundTripKeepsEveryBitIncludingSpecialValues) {
    const float nanPayload = [] {
        const uint32_t u = 0x7fc01234u;
        float v = 0;
        std::memcpy(&v, &u, 4);
        return v;
    }();
    const std::vector<float> values = {-1.5f,
                                       std::numeric_limits<float>::denorm_min(),
                                       std::numeric_limits<float>::max(),
                                       -std::numeric_limits<float>::max(),
                                       std::numeric_limits<float>::infinity(),
                                       -std::numeric_limits<float>::infinity(),
                                       nanPayload,
                                       -0.0f};
    CZelVideoFrame writer;
    writer.index = 5;
    FillMap(writer, values);
    writer.SaveDepthFile();

    CZelVideoFrame reader;
    reader.index = 5;
    ASSERT_TRUE(reader.LoadDepthFile());
    ASSERT_NE(reader.dspImg, nullptr);
    ASSERT_EQ(reader.dspImg->GetWidth(), 4);
    ASSERT_EQ(reader.dspImg->GetHeight(), 2);
    for (int k = 0; k < 8; ++k) {
        EXPECT_EQ(Bits(reader.dspImg->At(k % 4, k / 4, 0)), Bits(values[static_cast<size_t>(k)]))
            << "element " << k;
    }
}

TEST_F(DepthFileTest, NamesUseThePlainIndexAndAnyDirectoryLength) {
    CZelVideoFrame f0;
    f0.index = 0;
    FillMap(f0, {0, 0, 0, 0, 0, 0, 0, 0});
    f0.SaveDepthFile();
    CZelVideoFrame f12;
    f12.index = 12;
    FillMap(f12, {12, 12, 12, 12, 12, 12, 12, 12});
    f12.SaveDepthFile();
    EXPECT_TRUE(std::filesystem::exists(dir + "_depth0.raw"));
    EXPECT_TRUE(std::filesystem::exists(dir + "_depth12.raw"));
    EXPECT_FALSE(std::filesystem::exists(dir + "_depth012.raw"));
    // Frame 12 reads its own file, not frame 0's.
    ASSERT_TRUE(f12.LoadDepthFile());
    EXPECT_EQ(f12.dspImg->At(3, 1, 0), 12.0f);

    // A directory path far beyond 260 characters is neither truncated nor refused.
    const std::string deep = dir + std::string(150, 'a') + "/" + std::string(150, 'b') + "/";
    std::filesystem::create_directories(deep);
    CZelVideoFrame::dataDir = deep;
    f12.SaveDepthFile();
    EXPECT_TRUE(std::filesystem::exists(deep + "_depth12.raw"));
    EXPECT_TRUE(f12.LoadDepthFile());
    // Removed entry by entry: std::filesystem::remove_all fails on such paths with MinGW under
    // Wine, which would break the next run's SetUp.
    EXPECT_TRUE(std::filesystem::remove(deep + "_depth12.raw"));
    EXPECT_TRUE(std::filesystem::remove(deep));
    EXPECT_TRUE(std::filesystem::remove(dir + std::string(150, 'a')));
}

TEST_F(DepthFileTest, MissingOrEmptyFileWarnsAndStillReplacesTheMapWithZeros) {
    CZelVideoFrame f;
    f.index = 9;
    CZelVideoFrame::SetImageSize(2, 2);
    FillMap(f, {7, 7, 7, 7});
    CZelVideoFrame::SetImageSize(3, 2);

    bool ok = true;
    EXPECT_EQ(testutil::CaptureStdout([&] { ok = f.LoadDepthFile(); }),
              "Warning : No depth file: " + dir + "_depth9.raw\n");
    EXPECT_FALSE(ok);
    ASSERT_NE(f.dspImg, nullptr);
    EXPECT_EQ(f.dspImg->GetWidth(), 3);
    EXPECT_EQ(f.dspImg->GetHeight(), 2);
    EXPECT_TRUE(AllZero(*f.dspImg));

    testutil::WriteFile(dir + "_depth9.raw", "");
    f.SetDisparity(1, 1, 42.0f);
    ok = true;
    EXPECT_EQ(testutil::CaptureStdout([&] { ok = f.LoadDepthFile(); }),
              "Warning : No depth file: " + dir + "_depth9.raw\n");
    EXPECT_FALSE(ok);
    ASSERT_NE(f.dspImg, nullptr);
    EXPECT_TRUE(AllZero(*f.dspImg));
}

TEST_F(DepthFileTest, ShortFileFillsLeadingWholeElementsAndLongFileIsCut) {
    CZelVideoFrame f;
    f.index = 1;
    // One whole element plus two bytes of the next: the partial element stays 0.
    testutil::WriteFile(dir + "_depth1.raw", LeBytes(-2.0f) + std::string("\x12\x34", 2));
    bool ok = false;
    EXPECT_EQ(testutil::CaptureStdout([&] { ok = f.LoadDepthFile(); }), "");
    EXPECT_TRUE(ok);
    EXPECT_EQ(f.dspImg->At(0, 0, 0), -2.0f);
    EXPECT_EQ(Bits(f.dspImg->At(1, 0, 0)), 0u);
    EXPECT_EQ(Bits(f.dspImg->At(3, 1, 0)), 0u);

    std::string longer;
    for (int k = 0; k < 10; ++k) {
        longer += LeBytes(static_cast<float>(k));
    }
    testutil::WriteFile(dir + "_depth1.raw", longer);
    ASSERT_TRUE(f.LoadDepthFile());
    EXPECT_EQ(f.dspImg->At(0, 0, 0), 0.0f);
    EXPECT_EQ(f.dspImg->At(3, 1, 0), 7.0f);
}

TEST_F(DepthFileTest, SaveWithoutMapReportsAndWritesNothing) {
    CZelVideoFrame f;
    f.index = 2;
    EXPECT_EQ(testutil::CaptureStdout([&] { f.SaveDepthFile(); }), "ERROR! No dspImg is saved!!\n");
    EXPECT_FALSE(std::filesystem::exists(dir + "_depth2.raw"));
    EXPECT_EQ(g_waits, 0);
}

TEST_F(DepthFileTest, CreateFailureHasNoLineBreakAndWaitsForAKeyOnce) {
    CZelVideoFrame::dataDir = dir + "missing/";
    CZelVideoFrame f;
    f.index = 4;
    FillMap(f, {1, 2, 3, 4, 5, 6, 7, 8});
    EXPECT_EQ(testutil::CaptureStdout([&] { f.SaveDepthFile(); }),
              "ERROR: Can not create depth file: " + dir + "missing/_depth4.raw");
    EXPECT_EQ(g_waits, 1);
    EXPECT_NE(f.dspImg, nullptr);  // the map is kept

    // The unattended form returns the line (with the reason) instead of printing and waiting.
    std::string error;
    bool ok = true;
    EXPECT_EQ(testutil::CaptureStdout([&] { ok = f.WriteDepthFile(error); }), "");
    EXPECT_FALSE(ok);
    EXPECT_EQ(error.rfind("ERROR: Can not create depth file: " + dir + "missing/_depth4.raw (", 0),
              0u)
        << error;
    EXPECT_EQ(g_waits, 1);
}

TEST_F(DepthFileTest, WriteFailureIsReportedAndLeavesThePreviousFileWhole) {
    // The file is written under a temporary name that lands on a full device: the create
    // succeeds, the write does not. Linux has such a device; Windows (and some other systems)
    // have none.
    std::error_code ec;
    if (!std::filesystem::exists("/dev/full", ec)) {
        GTEST_SKIP() << "this platform has no always-full device (/dev/full) to write to";
    }
    const std::string path = dir + "_depth5.raw";
    testutil::WriteFile(path, "previous");
    auto linkToFull = [&] {
        std::filesystem::create_symlink("/dev/full", path + ".part", ec);
        return !ec;
    };
    if (!linkToFull()) {
        GTEST_SKIP() << "cannot link the depth file to /dev/full here: " << ec.message();
    }
    CZelVideoFrame f;
    f.index = 5;
    FillMap(f, {1, 2, 3, 4, 5, 6, 7, 8});
    EXPECT_EQ(testutil::CaptureStdout([&] { f.SaveDepthFile(); }),
              "ERROR: Can not write depth file: " + path + "\n");
    EXPECT_EQ(g_waits, 0);
    EXPECT_EQ(testutil::ReadFile(path), "previous");
    EXPECT_FALSE(std::filesystem::is_symlink(path + ".part"));

    ASSERT_TRUE(linkToFull());
    std::string error;
    EXPECT_FALSE(f.WriteDepthFile(error));
    EXPECT_EQ(error.rfind("ERROR: Can not write depth file: " + path, 0), 0u) << error;
    EXPECT_EQ(testutil::ReadFile(path), "previous");
    // Once the device is gone the map replaces the old file.
    std::filesystem::remove(path + ".part");
    EXPECT_TRUE(f.WriteDepthFile(error));
    EXPECT_EQ(std::filesystem::file_size(path), 32u);
    EXPECT_FALSE(std::filesystem::exists(path + ".part"));
}

TEST_F(DepthFileTest, DegenerateWorkingSizesDoNotCrash) {
    CZelVideoFrame f;
    f.index = 6;
    // 0 x 0: an empty map; saving writes an empty file, which then reads as missing.
    CZelVideoFrame::SetImageSize(0, 0);
    ASSERT_FALSE(testutil::CaptureStdout([&] { f.LoadDepthFile(); }).empty());
    ASSERT_NE(f.dspImg, nullptr);
    EXPECT_EQ(f.dspImg->GetByteSize(), 0);
    f.SaveDepthFile();
    EXPECT_EQ(std::filesystem::file_size(dir + "_depth6.raw"), 0u);
    testutil::WriteFile(dir + "_depth6.raw", LeBytes(1.0f));
    EXPECT_TRUE(f.LoadDepthFile());

    // A map too large to be made: an error line, false, and no map rather than a wrong-sized one.
    CZelVideoFrame::SetImageSize(70000, 70000);
    bool ok = true;
    EXPECT_EQ(testutil::CaptureStdout([&] { ok = f.LoadDepthFile(); }),
              "ERROR: Can not allocate a depth map of 70000 x 70000\n");
    EXPECT_FALSE(ok);
    EXPECT_EQ(f.dspImg, nullptr);
}

}  // namespace
