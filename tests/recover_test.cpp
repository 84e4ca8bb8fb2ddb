// zel_recover as a process: usage errors, a project that cannot be read, a run on a tiny
// project that writes the depth files and pictures, and runs whose outputs cannot be written or
// whose pictures cannot be read.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "stages/options.h"
#include "tests/process_util.h"
#include "tests/synthetic_scene.h"
#include "tests/test_util.h"

namespace fs = std::filesystem;

namespace {

testutil::ProcessResult Recover(const std::vector<std::string>& args) {
    return testutil::RunProcess(ZEL_RECOVER_EXE, args);
}

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        n++;
    }
    return n;
}

// Writes a fresh three-frame project of 40 x 30 pictures into dir; returns its path.
std::string TinyProject(const std::string& dir) {
    fs::remove_all(dir);
    fs::create_directories(dir);
    testutil::PlaneScene scene;
    scene.width = 40;
    scene.height = 30;
    scene.focal = 40.0;
    scene.frames = 3;
    return scene.Write(dir);
}

// A quick run with both stages over every frame.
testutil::ProcessResult QuickRun(const std::string& project) {
    return Recover({"--levels", "8", "--neighbours", "2", "--refine-neighbours", "2", "--passes",
                    "1", "--threads", "2", project});
}

// Reads n little-endian floats (the test machine is little-endian).
bool ReadFloats(const std::string& path, size_t n, std::vector<float>& out) {
    const std::string bytes = testutil::ReadFile(path);
    if (bytes.size() != n * sizeof(float)) {
        return false;
    }
    out.resize(n);
    std::memcpy(out.data(), bytes.data(), bytes.size());
    return true;
}

// Files left under a temporary name anywhere below dir.
std::vector<std::string> PartialFiles(const std::string& dir) {
    std::vector<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        if (entry.path().extension() == ".part") {
            found.push_back(entry.path().string());
        }
    }
    return found;
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
        {"--plane-min-size", "0", "p.txt"},
        {"--min-parallax", "1", "p.txt"},
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
    // Every stage option of the table, with its range and default.
    for (const ZelStageOptionInfo& info : StageOptionTable()) {
        if (info.name != nullptr) {
            std::string text = StageOptionHelp(info);
            text = text.substr(text.rfind('\n') + 1);  // its last line
            EXPECT_NE(help.out.find(std::string("  --") + info.name + " " + info.meta),
                      std::string::npos)
                << info.name;
            EXPECT_NE(help.out.find(text), std::string::npos) << text;
        }
    }
}

TEST(RecoverProcess, MissingProject) {
    const testutil::ProcessResult r = Recover({testutil::TempPath("no/such/project.txt")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("ERROR"), std::string::npos);
}

TEST(RecoverProcess, TinyProjectWritesDepthFilesAndPictures) {
    const std::string dir = testutil::TempPath("tiny/");
    const std::string project = TinyProject(dir);

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
    EXPECT_EQ(r.err.find("ERROR"), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("Press any key"), std::string::npos) << r.out;
    EXPECT_TRUE(PartialFiles(dir).empty());
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

// Confidence: within 0..1; the middle of the middle frame, which both other frames see and
// confirm, above frame 0's left strip, which neither sees (the frames are 2 pixels apart).
TEST(RecoverProcess, ConfidenceRanksConfirmedAboveUnseenPixels) {
    const std::string dir = testutil::TempPath("confidence/");
    const std::string project = TinyProject(dir);
    const testutil::ProcessResult r =
        Recover({"--levels", "16", "--neighbours", "2", "--refine-neighbours", "2",
                 "--min-parallax", "0.01", "--threads", "2", project});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::vector<float>> sure(3);
    for (int i = 0; i < 3; i++) {
        ASSERT_TRUE(ReadFloats(dir + "DATA/_conf" + std::to_string(i) + ".raw", 40 * 30, sure[i]));
        for (float c : sure[i]) {
            ASSERT_TRUE(c >= 0.0f && c <= 1.0f) << c;
        }
    }
    EXPECT_GE(sure[1][15 * 40 + 20], 0.5f);
    EXPECT_EQ(sure[0][15 * 40 + 0], 0.0f);
}

TEST(RecoverProcess, OutputsThatCannotBeWrittenAreListedOnceAndFailTheRun) {
    const std::string dir = testutil::TempPath("unwritable/");
    const std::string project = TinyProject(dir);
    // Regular files where the output folders belong: no one, root included, can write below.
    testutil::WriteFile(dir + "DATA", "not a folder");
    testutil::WriteFile(dir + "TMP", "not a folder");

    const testutil::ProcessResult r = QuickRun(project);
    EXPECT_EQ(r.status, 1) << r.err;
    const std::string both = r.out + r.err;
    EXPECT_EQ(both.find("Press any key"), std::string::npos) << both;
    // Every frame was still recovered.
    EXPECT_NE(r.err.find("[3/3] bo1"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("zel_recover: ERROR: could not write outputs of frames 0, 1, 2:\n"),
              std::string::npos)
        << r.err;
    for (int i = 0; i < 3; i++) {
        const std::string name = "img000" + std::to_string(i);
        // Written by both stages (the pictures twice each), reported once as the run goes and
        // once in the summary.
        for (const std::string& path :
             {dir + "DATA/_depth" + std::to_string(i) + ".raw", dir + "TMP/1_Init_" + name + ".bmp",
              dir + "TMP/2_BO_" + name + ".bmp"}) {
            EXPECT_EQ(Count(r.out, path), 1u) << path << "\n" << r.out;
            EXPECT_EQ(Count(r.err, path), 1u) << path << "\n" << r.err;
        }
    }
    EXPECT_EQ(Count(r.out, "ERROR: Can not create depth file: "), 3u) << r.out;
    EXPECT_EQ(testutil::ReadFile(dir + "DATA"), "not a folder");
    EXPECT_TRUE(PartialFiles(dir).empty());
}

TEST(RecoverProcess, MissingAndTruncatedPicturesWarnOnceAndFailTheRun) {
    const std::string dir = testutil::TempPath("unreadable/");
    const std::string project = TinyProject(dir);
    fs::remove(dir + "img0001.bmp");
    const std::string bytes = testutil::ReadFile(dir + "img0002.bmp");
    testutil::WriteFile(dir + "img0002.bmp", bytes.substr(0, bytes.size() / 2));

    const testutil::ProcessResult r = QuickRun(project);
    EXPECT_EQ(r.status, 1) << r.err;
    for (int i = 1; i <= 2; i++) {
        const std::string line = "Warning: cannot read the image of frame " + std::to_string(i) +
                                 ": " + dir + "img000" + std::to_string(i) + ".bmp\n";
        EXPECT_EQ(Count(r.out, line), 1u) << r.out;
        EXPECT_EQ(Count(r.err, "  " + line), 1u) << r.err;
    }
    EXPECT_NE(r.err.find("zel_recover: ERROR: could not read the pictures of frames 1, 2:\n"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find("could not write"), std::string::npos) << r.err;
    // Frame 0 is recovered; the unreadable frames still get their files, every pixel missing.
    EXPECT_TRUE(fs::exists(dir + "TMP/2_BO_img0000.bmp"));
    const std::string depth = testutil::ReadFile(dir + "DATA/_depth1.raw");
    ASSERT_EQ(depth.size(), 40u * 30u * 4u);
    for (size_t at = 0; at < depth.size(); at += 4) {
        float v = 0.0f;
        std::memcpy(&v, depth.data() + at, 4);
        ASSERT_TRUE(std::isnan(v)) << "element " << at / 4;
    }
}
