// Depth-map fusion: frames of a fronto-parallel plane seen by a camera moving sideways, fused
// into a PLY file that the test reads back.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "tests/process_util.h"
#include "tests/test_util.h"
#include "tools/fuse_lib.h"

namespace fs = std::filesystem;

namespace {

// 40 x 30 pixels, f = 100, principal point (20, 15); camera i sits at world (0.2 i, 0, 0) looking
// along +z, so a point at depth z moves 20 / z pixels to the left from one frame to the next.
constexpr int kW = 40;
constexpr int kH = 30;

std::string WriteProject(const std::string& dir, int frames) {
    fs::remove_all(dir);
    fs::create_directories(dir + "/DATA");
    std::string text =
        "#camera track project file\n<Image Sequence>\nSequence:./img0000.bmp\nstart:0\nstep:1\n"
        "end:" +
        std::to_string(frames - 1) +
        "\n</Image Sequence>\n<intrinsic parameter>\n100 100 20 15 0\n</intrinsic parameter>\n"
        "<Camera Track>\n";
    for (int i = 0; i < frames; i++) {
        char name[32];
        std::snprintf(name, sizeof(name), "/img%04d.bmp", i);
        testutil::WriteFile(
            dir + name,
            testutil::Bmp24Bytes(kW, kH, std::vector<testutil::Rgb>(kW * kH, {200, 100, 50})));
        text += "<FRAME" + std::to_string(i) + ">\n100 1 0 0 " + std::to_string(-0.2 * i) +
                " 0 1 0 0 0 0 1 0\n</FRAME" + std::to_string(i) + ">\n";
    }
    testutil::WriteFile(dir + "/project.txt", text + "</Camera Track>\n");
    return dir + "/project.txt";
}

// A depth file of frame i: disparity(x, y) for every pixel, little-endian floats, row 0 first.
template <class F>
void WriteDepth(const std::string& dir, int i, F disparity, const char* kind = "_depth") {
    std::string bytes;
    for (int y = 0; y < kH; y++) {
        for (int x = 0; x < kW; x++) {
            const float v = disparity(x, y);
            bytes.append(reinterpret_cast<const char*>(&v), 4);  // the test machine is LE
        }
    }
    testutil::WriteFile(dir + "/DATA/" + kind + std::to_string(i) + ".raw", bytes);
}

struct Cloud {
    std::vector<std::string> header;
    std::vector<zelfuse::PlyPoint> points;
};

// A small PLY reader: the header lines up to end_header, then 15-byte vertex records.
Cloud ReadPly(const std::string& path) {
    Cloud cloud;
    const std::string bytes = testutil::ReadFile(path);
    const size_t end = bytes.find("end_header\n");
    if (end == std::string::npos) {
        ADD_FAILURE() << "no PLY header in " << path;
        return cloud;
    }
    std::istringstream lines(bytes.substr(0, end));
    size_t count = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("comment", 0) != 0) {
            cloud.header.push_back(line);
        }
        std::sscanf(line.c_str(), "element vertex %zu", &count);
    }
    const size_t body = end + 11;
    EXPECT_EQ(bytes.size() - body, count * 15) << "body of " << count << " vertices";
    for (size_t i = 0; i < count && body + 15 * (i + 1) <= bytes.size(); i++) {
        const char* p = bytes.data() + body + 15 * i;
        zelfuse::PlyPoint point;
        std::memcpy(&point.x, p, 4);
        std::memcpy(&point.y, p + 4, 4);
        std::memcpy(&point.z, p + 8, 4);
        point.r = static_cast<unsigned char>(p[12]);
        point.g = static_cast<unsigned char>(p[13]);
        point.b = static_cast<unsigned char>(p[14]);
        cloud.points.push_back(point);
    }
    return cloud;
}

struct FuseRun {
    int status = 0;
    std::string out;
    std::string err;
};

FuseRun Fuse(const std::vector<std::string>& args) {
    std::vector<const char*> argv{"zel_fuse"};
    for (const std::string& a : args) {
        argv.push_back(a.c_str());
    }
    FuseRun run;
    testing::internal::CaptureStderr();
    run.out = testutil::CaptureStdout(
        [&] { run.status = zelfuse::FuseMain(static_cast<int>(argv.size()), argv.data()); });
    run.err = testing::internal::GetCapturedStderr();
    return run;
}

class FuseTool : public testing::Test {
  protected:
    void SetUp() override {
        dir = testutil::TempPath(testing::UnitTest::GetInstance()->current_test_info()->name());
        ply = dir + "/cloud.ply";
    }
    std::string dir;
    std::string ply;
};

TEST_F(FuseTool, TwoFramesOfAPlaneGiveOneCopyOnThePlane) {
    const std::string project = WriteProject(dir, 2);
    for (int i = 0; i < 2; i++) {
        WriteDepth(dir, i, [](int, int) { return 0.2f; });  // the plane z = 5
    }
    const FuseRun run = Fuse({project, "--min-views", "2", "--out", ply});
    ASSERT_EQ(run.status, 0) << run.out;
    const Cloud cloud = ReadPly(ply);
    const std::vector<std::string> header = {"ply",
                                             "format binary_little_endian 1.0",
                                             "element vertex 1080",
                                             "property float x",
                                             "property float y",
                                             "property float z",
                                             "property uchar red",
                                             "property uchar green",
                                             "property uchar blue"};
    EXPECT_EQ(cloud.header, header);
    // Frame 0's columns 4..39 are seen by frame 1 (shifted by 4 pixels): 36 x 30 points. Frame 1
    // adds nothing: what frame 0 saw is a duplicate, the rest is seen by one view only.
    ASSERT_EQ(cloud.points.size(), 1080u);
    EXPECT_NE(run.out.find("2400 points in, 1080 out (240 seen by fewer than 2 views, 1080 "
                           "duplicates"),
              std::string::npos)
        << run.out;
    std::set<std::tuple<float, float>> positions;
    for (const zelfuse::PlyPoint& p : cloud.points) {
        EXPECT_NEAR(p.z, 5.0f, 5.0f * zelfuse::kDefaultTolerance);
        EXPECT_GE(p.x, -0.8f - 1e-5f) << "frame 0's column 4 and right of it";
        EXPECT_TRUE(p.r == 200 && p.g == 100 && p.b == 50);
        positions.insert({p.x, p.y});
    }
    EXPECT_EQ(positions.size(), cloud.points.size()) << "every point once";
    EXPECT_FALSE(fs::exists(ply + ".part"));
}

TEST_F(FuseTool, PointsSeenByFewerViewsAreDropped) {
    const std::string project = WriteProject(dir, 3);
    WriteDepth(dir, 0, [](int, int) { return 0.2f; });
    WriteDepth(dir, 1, [](int, int) { return 0.2f; });
    // Frame 2 sees the plane only in its left half; its right half lies at depth 10.
    WriteDepth(dir, 2, [](int x, int) { return x < 20 ? 0.2f : 0.1f; });

    FuseRun run = Fuse({project, "--out", ply});  // N = 3: frame 0's point needs frames 1 and 2
    ASSERT_EQ(run.status, 0) << run.out;
    Cloud cloud = ReadPly(ply);
    // Frame 0's columns 8..27 land in frame 2's columns 0..19.
    EXPECT_EQ(cloud.points.size(), 600u);
    for (const zelfuse::PlyPoint& p : cloud.points) {
        EXPECT_GE(p.x, -0.6f - 1e-5f);
        EXPECT_LE(p.x, 0.35f + 1e-5f);
        EXPECT_NEAR(p.z, 5.0f, 0.05f);
    }

    run = Fuse({project, "--min-views", "2", "--out", ply});
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(ReadPly(ply).points.size(), 1080u) << "frame 1 alone confirms frame 0's points";

    // Only frames 1..2: frame 1's points need frame 0, which is outside the range.
    run = Fuse({project, "--frames", "1:2", "--out", ply});
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(ReadPly(ply).points.size(), 0u);
}

// Only the pixels at least as sure as the minimum become points; a frame without its confidence
// file is skipped rather than taken whole.
TEST_F(FuseTool, MinimumConfidence) {
    const std::string project = WriteProject(dir, 2);
    for (int i = 0; i < 2; i++) {
        WriteDepth(dir, i, [](int, int) { return 0.2f; });
    }
    WriteDepth(
        dir, 0, [](int, int y) { return y < 10 ? 0.9f : 0.2f; }, "_conf");
    FuseRun run = Fuse({project, "--min-views", "2", "--min-confidence", "0.5", "--out", ply});
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(ReadPly(ply).points.size(), 360u) << "frame 0's rows 0..9, columns 4..39";
    EXPECT_NE(run.out.find("Warning: No confidence file of 40 x 30 floats for frame 1"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("800 points left out below confidence 0.5"), std::string::npos)
        << run.out;
    for (const char* bad : {"0", "1.5", "x"}) {
        EXPECT_EQ(Fuse({project, "--min-confidence", bad}).status, 2) << bad;
    }
}

TEST_F(FuseTool, MissingDepthFilesAndBadArguments) {
    const std::string project = WriteProject(dir, 3);
    FuseRun run = Fuse({project, "--out", ply});
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_NE(run.out.find("Warning: No depth file for frame 1, skipped"), std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("ERROR: No point cloud written"), std::string::npos) << run.out;
    EXPECT_FALSE(fs::exists(ply));
    EXPECT_FALSE(fs::exists(ply + ".part"));

    WriteDepth(dir, 0, [](int, int) { return 0.2f; });
    WriteDepth(dir, 2, [](int, int) { return 0.2f; });
    testutil::WriteFile(dir + "/DATA/_depth1.raw", "short");
    run = Fuse({project, "--min-views", "2"});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("does not hold 40 x 30 floats, frame 1 skipped"), std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("(2 with depth files, 1 skipped)"), std::string::npos) << run.out;
    EXPECT_TRUE(fs::exists(dir + "/DATA/fused.ply")) << "the default output";

    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {},
             {project, "--frames", "2:1"},
             {project, "--frames", "0:3"},
             {project, "--frames", "x"},
             {project, "--min-views", "0"},
             {project, "--tolerance", "2"},
             {project, "--out"},
             {project, "--colour"},
         }) {
        run = Fuse(args);
        EXPECT_EQ(run.status, 2) << run.err;
        EXPECT_NE(run.err.find("(zel_fuse --help explains the options)\n"), std::string::npos)
            << run.err;
    }
    EXPECT_EQ(Fuse({dir + "/none.txt"}).status, 1);
}

TEST(FuseProcess, HelpProgressAndExitStatus) {
    const std::string dir = testutil::TempPath("process");
    const std::string project = WriteProject(dir, 2);
    WriteDepth(dir, 0, [](int, int) { return 0.2f; });
    WriteDepth(dir, 1, [](int, int) { return 0.2f; });
    testutil::ProcessResult run = testutil::RunProcess(ZEL_FUSE_EXE, {"--help"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out.rfind("Usage: zel_fuse <project file>", 0), 0u) << run.out;
    EXPECT_EQ(testutil::RunProcess(ZEL_FUSE_EXE, {}).status, 2);
    run = testutil::RunProcess(ZEL_FUSE_EXE, {project, "--min-views", "2"});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.err.find("Frame 1 (2 of 2): 1200 points"), std::string::npos) << run.err;
}

}  // namespace
