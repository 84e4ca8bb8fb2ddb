// Long runs of zel_recover: shards of a stage give the depth files of one run, a run killed or
// stopped at any point and resumed gives them too, and the manifest that resuming reads is
// checked before anything in it is trusted.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <limits>
#include <map>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>
#endif

#include "stages/journal.h"
#include "tests/frame_settings.h"
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

// The depth files of one uninterrupted run over a scene of `frames` frames (made once per size
// and test).
const std::vector<std::string>& Reference(int frames, int width = 40, int height = 30) {
    static std::vector<std::pair<std::string, std::vector<std::string>>> made;
    const std::string key = std::to_string(frames) + "x" + std::to_string(width);
    for (const auto& m : made) {
        if (m.first == key) {
            return m.second;
        }
    }
    // Per test: the tests of this program may run at once, as processes of their own.
    const std::string dir = testutil::TempPath(
        std::string(testing::UnitTest::GetInstance()->current_test_info()->name()) + ".reference" +
        key + "/");
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
    EXPECT_NE(plan.out.find("project: 9 frames, 40 x 30 pixels; span 3:5"), std::string::npos)
        << plan.out;
    const testutil::ProcessResult shard =
        Recover({"--plan", "--stage", "bo", "--frames", "3:5"}, project);
    ASSERT_EQ(shard.status, 0) << shard.err;
    EXPECT_NE(shard.out.find("span 0:8"), std::string::npos) << shard.out;
    EXPECT_NE(shard.out.find("reads    DATA/_init<i>.raw of "), std::string::npos) << shard.out;
    EXPECT_NE(shard.out.find("; not there yet: -\n"), std::string::npos) << shard.out;
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

namespace {

// The files of the one folder of dir whose name begins with `prefix`, by the start of their
// names ("sweep", "refine", ...) with their counts; empty when there is no such folder.
std::map<std::string, int> Kept(const std::string& dir, const std::string& prefix) {
    std::map<std::string, int> kept;
    for (const auto& folder : fs::directory_iterator(dir)) {
        if (folder.path().filename().string().rfind(prefix, 0) == 0) {
            for (const auto& file : fs::directory_iterator(folder.path())) {
                const std::string name = file.path().filename().string();
                kept[name.substr(0, name.find('_'))]++;
            }
            kept[""] = 0;  // the folder is there
        }
    }
    return kept;
}

}  // namespace

TEST(RecoverShards, StepGroupsReadEachOthersMapsWithoutHaloAndGiveTheDepthFilesOfOneRun) {
    const int frames = 9;
    const std::string dir = testutil::TempPath("groups/");
    const std::string project = Scene(dir, frames);
    const std::vector<std::string> ranges = {"0:2", "3:5", "6:8"};
    // Each group's plan computes the shard's own frames only, the groups before taken as made.
    const testutil::ProcessResult plan = Recover(
        {"--plan", "--stage", "init", "--until", "refine", "--frames", "3:5", "--resume"}, project);
    ASSERT_EQ(plan.status, 0) << plan.err;
    EXPECT_NE(plan.out.find("  refine   computes 3:5; halo - (0 frames)\n"), std::string::npos)
        << plan.out;
    EXPECT_NE(
        plan.out.find("  sweep    computes -; halo - (0 frames); kept 0:8 (not there yet: 0:8)"),
        std::string::npos)
        << plan.out;
    const std::vector<std::pair<const char*, const char*>> groups = {
        {"sweep", "init"}, {"refine", "init"}, {"init", "init"}, {"bo1", "bo"}, {"bo", "bo"}};
    for (const auto& group : groups) {
        for (const std::string& range : ranges) {
            const testutil::ProcessResult r = Recover(
                {"--stage", group.second, "--until", group.first, "--frames", range, "--resume"},
                project);
            ASSERT_EQ(r.status, 0) << group.first << " " << range << "\n" << r.err << r.out;
            // No halo: a progress line for each of the shard's three frames and no other.
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '['), 3) << r.err;
            EXPECT_NE(r.err.find("[3/3]"), std::string::npos) << r.err;
        }
        // The maps only the group before read are gone once this group has run.
        const std::map<std::string, int> kept = Kept(dir + "DATA/", "work_0_8_");
        if (group.first == std::string("init")) {
            EXPECT_EQ(kept, (std::map<std::string, int>{{"", 0}, {"refine", frames}}));
        }
    }
    EXPECT_TRUE(DepthFiles(dir, frames) == Reference(frames));
    EXPECT_EQ(Kept(dir + "DATA/", "work_0_8_"),
              (std::map<std::string, int>{{"", 0}, {"bo1", frames}}));
    ASSERT_EQ(Recover({"--clean"}, project).status, 0);
    EXPECT_TRUE(Kept(dir + "DATA/", "work_").empty());

    EXPECT_EQ(Recover({"--stage", "init", "--until", "bo1"}, project).status, 2);
    EXPECT_EQ(Recover({"--stage", "init", "--until", "fuse"}, project).status, 2);
    EXPECT_EQ(Recover({"--stage", "bo", "--until", "bo2"}, project).status, 2);
}

#ifndef _WIN32
namespace {

// Starts zel_recover with its output thrown away; returns its process id.
pid_t Start(std::vector<std::string> args, const std::string& project) {
    args.insert(args.begin(), kQuick.begin(), kQuick.end());
    args.insert(args.begin(), ZEL_RECOVER_EXE);
    args.push_back(project);
    const pid_t pid = fork();
    if (pid == 0) {
        std::freopen("/dev/null", "w", stdout);
        std::freopen("/dev/null", "w", stderr);
        std::vector<char*> argv;
        for (std::string& a : args) {
            argv.push_back(&a[0]);
        }
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

size_t Lines(const std::string& path) {
    const std::string text = testutil::ReadFile(path);
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

// Waits until the manifest has `lines` lines (or the run has ended), then sends the signal;
// returns the run's wait status.
int SignalAt(pid_t pid, const std::string& manifest, size_t lines, int signal) {
    int status = 0;
    for (int t = 0; t < 20000; t++) {
        if (waitpid(pid, &status, WNOHANG) == pid) {
            return status;
        }
        if (Lines(manifest) >= lines) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    kill(pid, signal);
    waitpid(pid, &status, 0);
    return status;
}

// How many lines of the manifest name this step.
size_t Entries(const std::string& manifest, const std::string& step) {
    const std::string text = "\n" + testutil::ReadFile(manifest);
    size_t n = 0;
    for (size_t at = text.find("\n" + step + " "); at != std::string::npos;
         at = text.find("\n" + step + " ", at + 1)) {
        n++;
    }
    return n;
}

}  // namespace

TEST(RecoverResume, KilledAndStoppedRunsResumeToTheDepthFilesOfOneRun) {
    const int frames = 9;
    const std::string dir = testutil::TempPath("resume/");
    const std::string project = Scene(dir, frames);
    const std::string manifest = dir + "DATA/manifest.txt";
    // Killed early in the sweeps, then again in the refinement, then stopped by SIGTERM.
    EXPECT_TRUE(WIFSIGNALED(SignalAt(Start({}, project), manifest, 5, SIGKILL)));
    const size_t sweeps = Entries(manifest, "sweep");
    EXPECT_TRUE(WIFSIGNALED(SignalAt(Start({"--resume"}, project), manifest, 14, SIGKILL)));
    EXPECT_GE(Entries(manifest, "sweep"), sweeps);
    const int stopped = SignalAt(Start({"--resume"}, project), manifest, 22, SIGTERM);
    // Stopped by the signal (after finishing the frames in flight), unless it had ended.
    EXPECT_TRUE(WIFEXITED(stopped) && WEXITSTATUS(stopped) <= 1) << stopped;

    // The last run redoes no step the manifest lists.
    const size_t refined = Entries(manifest, "refine");
    const size_t optimised = Entries(manifest, "bo1");
    const testutil::ProcessResult r = Recover({"--resume"}, project);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("resuming from"), std::string::npos) << r.err;
    size_t initLines = 0;
    size_t boLines = 0;
    for (size_t at = r.err.find("] init "); at != std::string::npos;
         at = r.err.find("] init ", at + 1)) {
        initLines++;
    }
    for (size_t at = r.err.find("] bo1 "); at != std::string::npos;
         at = r.err.find("] bo1 ", at + 1)) {
        boLines++;
    }
    EXPECT_LE(initLines, frames - std::min<size_t>(refined, frames)) << r.err;
    EXPECT_LE(boLines, frames - std::min<size_t>(optimised, frames)) << r.err;
    EXPECT_TRUE(DepthFiles(dir, frames) == Reference(frames));
    // The kept maps are gone once the run is complete; resuming it again does nothing.
    EXPECT_FALSE(fs::exists(dir + "DATA/work"));
    const testutil::ProcessResult again = Recover({"--resume"}, project);
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(again.err.find("] init "), std::string::npos) << again.err;
    EXPECT_TRUE(DepthFiles(dir, frames) == Reference(frames));
}
#endif

TEST(RecoverResume, TheManifestIsCheckedBeforeItIsTrusted) {
    const std::string dir = testutil::FreshTestDir();
    const std::string path = dir + "manifest.txt";
    const std::string work = dir + "work/";
    const size_t pixels = 6;
    std::vector<float> back;
    std::string error;
    {
        // Closed at the end of the block: the manifest is rewritten below (which Windows
        // refuses while it is open).
        ZelManifest manifest(path, work, 10, 19, pixels, "levels=12");
        ASSERT_TRUE(manifest.Start(error)) << error;

        // Maps round-trip bit for bit (NaN included); a frame without a map is kept as none.
        const float nan = std::numeric_limits<float>::quiet_NaN();
        const std::vector<float> map = {0.5f, -1.0f, nan, 1e-30f, 3.25f, 0.0f};
        const std::vector<uint8_t> mask = {1, 0, 1, 0, 0, 1};
        ASSERT_TRUE(manifest.Save("fuse", 12, map, &mask, error)) << error;
        ASSERT_TRUE(manifest.Save("sweep", 13, {}, nullptr, error)) << error;
        manifest.MarkDone("init", 12);
        std::vector<uint8_t> maskBack;
        ASSERT_TRUE(manifest.Load("fuse", 12, back, &maskBack, error)) << error;
        ASSERT_EQ(back.size(), pixels);
        EXPECT_EQ(std::memcmp(back.data(), map.data(), pixels * 4), 0);
        EXPECT_EQ(maskBack, mask);
        ASSERT_TRUE(manifest.Load("sweep", 13, back, nullptr, error)) << error;
        EXPECT_TRUE(back.empty());
    }
    // Read back: entries of other steps, frames beyond the span, junk and a line cut off by
    // a kill are left out.
    std::string text = testutil::ReadFile(path);
    text += "bogus 12\nsweep 99\nrefine\nrefine 12 7\n\nrefine -1\nrefine 14";
    testutil::WriteFile(path, text);
    ZelManifest read(path, work, 10, 19, pixels, "levels=12");
    EXPECT_EQ(read.Read(), std::vector<std::string>{"Warning: 6 malformed lines of the manifest " +
                                                    path + " ignored"});
    EXPECT_EQ(read.Entries(), 3);
    EXPECT_TRUE(read.Done("fuse", 12));
    EXPECT_TRUE(read.Done("sweep", 13));
    EXPECT_TRUE(read.Done("init", 12));
    EXPECT_FALSE(read.Done("refine", 14));
    EXPECT_FALSE(read.Done("sweep", 12));
    // A map file of the wrong size is not done, and does not load.
    testutil::WriteFile(work + "sweep_13.raw", "12345");
    EXPECT_FALSE(read.Done("sweep", 13));
    EXPECT_FALSE(read.Load("sweep", 13, back, nullptr, error));
    EXPECT_NE(error.find("ERROR: "), std::string::npos);

    // Other options, another header, an oversized file: nothing is trusted.
    ZelManifest other(path, work, 10, 19, pixels, "levels=13");
    EXPECT_EQ(other.Read().size(), 1u);
    EXPECT_EQ(other.Entries(), 0);
    EXPECT_FALSE(other.Done("init", 12));
    testutil::WriteFile(path, "not a manifest\n" + text);
    ZelManifest garbled(path, work, 10, 19, pixels, "levels=12");
    EXPECT_EQ(garbled.Read().size(), 1u);
    EXPECT_EQ(garbled.Entries(), 0);
    testutil::WriteFile(path, text + std::string(1 << 20, '\n'));
    ZelManifest huge(path, work, 10, 19, pixels, "levels=12");
    EXPECT_EQ(huge.Read().size(), 1u);
    EXPECT_EQ(huge.Entries(), 0);
}
