// zel_recover as a process: usage errors, a project that cannot be read, and a run on a tiny
// project that writes the depth files and pictures.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/process_util.h"
#include "tests/synthetic_scene.h"

namespace fs = std::filesystem;

namespace {

testutil::ProcessResult Recover(const std::vector<std::string>& args) {
    return testutil::RunProcess(ZEL_RECOVER_EXE, args);
}

}  // namespace

TEST(RecoverProcess, UsageErrors) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"--levels"},
        {"--levels", "2", "p.txt"},
        {"--levels", "12x", "p.txt"},
        {"--neighbours", "0", "p.txt"},
        {"--refine-neighbours", "65", "p.txt"},
        {"--passes", "4", "p.txt"},
        {"--plane-scale", "-5", "p.txt"},
        {"--threads", "-1", "p.txt"},
        {"--frames", "3", "p.txt"},
        {"--frames", "5:2", "p.txt"},
        {"--bogus", "p.txt"},
        {"a.txt", "b.txt"},
    };
    for (const auto& args : cases) {
        const testutil::ProcessResult r = Recover(args);
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_NE(r.err.find("usage: zel_recover"), std::string::npos) << r.err;
    }
    const testutil::ProcessResult help = Recover({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--neighbours"), std::string::npos);
}

TEST(RecoverProcess, MissingProject) {
    const testutil::ProcessResult r = Recover({testutil::TempPath("no/such/project.txt")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("ERROR"), std::string::npos);
}

TEST(RecoverProcess, TinyProjectWritesDepthFilesAndPictures) {
    const std::string dir = testutil::TempPath("tiny/");
    fs::remove_all(dir);
    fs::create_directories(dir);
    testutil::PlaneScene scene;
    scene.width = 40;
    scene.height = 30;
    scene.focal = 40.0;
    scene.frames = 3;
    const std::string project = scene.Write(dir);

    // A range beyond the frames is a usage error.
    EXPECT_EQ(Recover({"--frames", "0:3", project}).status, 2);

    const testutil::ProcessResult r =
        Recover({"--levels", "16", "--neighbours", "2", "--refine-neighbours", "2", "--passes", "1",
                 "--threads", "2", project});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Total frame count:3"), std::string::npos);
    // One line per frame and stage; with two threads the frames may finish in either order.
    EXPECT_NE(r.err.find("[3/3] init  img000"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("[3/3] bo1   img000"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("[4/"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("3 frames in"), std::string::npos) << r.err;
    for (int i = 0; i < 3; i++) {
        const std::string name = "img000" + std::to_string(i);
        EXPECT_EQ(fs::file_size(dir + "DATA/_depth" + std::to_string(i) + ".raw"), 40u * 30u * 4u);
        EXPECT_TRUE(fs::exists(dir + "TMP/1_Init_" + name + ".bmp"));
        EXPECT_TRUE(fs::exists(dir + "TMP/2_BO_" + name + ".bmp"));
    }

    // Only the chosen frames are written.
    fs::remove_all(dir + "DATA");
    const testutil::ProcessResult one =
        Recover({"--frames", "1:1", "--levels", "8", "--passes", "0", "--threads", "1", project});
    ASSERT_EQ(one.status, 0) << one.err;
    EXPECT_TRUE(fs::exists(dir + "DATA/_depth1.raw"));
    EXPECT_FALSE(fs::exists(dir + "DATA/_depth0.raw"));
}
