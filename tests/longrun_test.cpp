// Long runs of zel_recover: shards of a stage give the depth files of one run, a run killed or
// stopped at any point and resumed gives them too, and the manifest that resuming reads is
// checked before anything in it is trusted.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>
#endif

#include "stages/journal.h"
#include "tests/process_util.h"
#include "tests/synthetic_scene.h"

namespace fs = std::filesystem;

namespace {

const std::vector<std::string> kQuick = {
    "--levels", "12", "--neighbours", "2", "--refine-neighbours", "4", "--threads", "2"};

testutil::ProcessResult Recover(std::vector<std::string> args, const std::string& project) {
    args.insert(args.begin(), kQuick.begin(), kQuick.end());
    args.push_back(project);
    return testutil::RunProcess(ZEL_RECOVER_EXE, args);
}

// A fresh copy of the same small scene in dir; returns its project file.
std::string Scene(const std::string& dir, int frames, int width = 40, int height = 30) {
    fs::remove_all(dir);
    fs::create_directories(dir);
    testutil::PlaneScene scene;
    scene.width = width;
    scene.height = height;
    scene.focal = width;
    scene.frames = frames;
    scene.slope = 0.3;
    return scene.Write(dir);
}

// Every depth file of dir, in frame order.
std::vector<std::string> DepthFiles(const std::string& dir, int frames) {
    std::vector<std::string> files;
    for (int i = 0; i < frames; i++) {
        files.push_back(testutil::ReadFile(dir + "DATA/_depth" + std::to_string(i) + ".raw"));
    }
    return files;
}

// The depth files of one uninterrupted run over a scene of `frames` frames (made once per
// size and kept for the tests that compare with it).
const std::vector<std::string>& Reference(int frames, int width = 40, int height = 30) {
    static std::vector<std::pair<std::string, std::vector<std::string>>> made;
    const std::string key = std::to_string(frames) + "x" + std::to_string(width);
    for (const auto& m : made) {
        if (m.first == key) {
            return m.second;
        }
    }
    const std::string dir = testutil::TempPath("reference" + key + "/");
    const testutil::ProcessResult r = Recover({}, Scene(dir, frames, width, height));
    EXPECT_EQ(r.status, 0) << r.err;
    made.emplace_back(key, DepthFiles(dir, frames));
    return made.back().second;
}

}  // namespace

TEST(RecoverShards, EveryShardOfInitThenOfBoGivesTheDepthFilesOfOneRun) {
    const int frames = 9;
    const std::string dir = testutil::TempPath("shards/");
    const std::string project = Scene(dir, frames);
    const std::vector<std::string> ranges = {"0:2", "3:5", "6:8"};
    // bo's shards run in reverse order: each reads the initialisation's maps, never the depth
    // files another bo shard has overwritten already.
    for (const char* stage : {"init", "bo"}) {
        for (size_t s = 0; s < ranges.size(); s++) {
            const std::string& range =
                stage == std::string("bo") ? ranges[ranges.size() - 1 - s] : ranges[s];
            const testutil::ProcessResult r =
                Recover({"--stage", stage, "--frames", range}, project);
            ASSERT_EQ(r.status, 0) << stage << " " << range << "\n" << r.err << r.out;
        }
    }
    EXPECT_TRUE(DepthFiles(dir, frames) == Reference(frames));
    for (int i = 0; i < frames; i++) {
        EXPECT_TRUE(fs::exists(dir + "DATA/_init" + std::to_string(i) + ".raw"));
    }
    // Complete shards leave no work folders behind.
    EXPECT_FALSE(fs::exists(dir + "DATA/work_init_3_5"));

    // The plan names the halo the middle shard recomputes and the maps it reads; it computes
    // nothing.
    const testutil::ProcessResult plan = Recover({"--plan", "--frames", "3:5"}, project);
    ASSERT_EQ(plan.status, 0) << plan.err;
    EXPECT_NE(plan.out.find("project: 9 frames; span 3:5"), std::string::npos) << plan.out;
    const testutil::ProcessResult shard =
        Recover({"--plan", "--stage", "bo", "--frames", "3:5"}, project);
    ASSERT_EQ(shard.status, 0) << shard.err;
    EXPECT_NE(shard.out.find("span 0:8"), std::string::npos) << shard.out;
    EXPECT_NE(shard.out.find("reads    DATA/_init<i>.raw of "), std::string::npos) << shard.out;
    EXPECT_NE(shard.out.find("bo1      computes 3:5; halo "), std::string::npos) << shard.out;
    EXPECT_EQ(shard.out.find("init:"), std::string::npos) << shard.out;

    // bo before its init shards: the missing maps are named and the run fails.
    const std::string early = testutil::TempPath("shards_early/");
    const testutil::ProcessResult r =
        Recover({"--stage", "bo", "--frames", "0:2"}, Scene(early, frames));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("_init0.raw"), std::string::npos) << r.out;

    // Usage errors.
    EXPECT_EQ(Recover({"--stage", "all"}, project).status, 2);
    EXPECT_EQ(Recover({"--span", "0:4"}, project).status, 2);
    EXPECT_EQ(Recover({"--stage", "init", "--span", "0:4", "--frames", "3:6"}, project).status, 2);
    EXPECT_EQ(Recover({"--stage", "init", "--span", "0:9"}, project).status, 2);
}
