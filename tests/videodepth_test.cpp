// zel_video_depth: its command line, the ffmpeg arguments, the model statistics, the known-camera
// model handed to COLMAP, and the run itself with a stand-in colmap that fails at the mapper:
// the error names the step and its log, and a rerun skips exactly the steps that were done.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/process_util.h"
#include "tests/test_util.h"
#include "tools/videodepth_lib.h"

using namespace zelvideo;
using zelinterop::ColmapModel;
namespace fs = std::filesystem;

namespace {

int Parse(std::vector<const char*> args, VideoDepthOptions& options) {
    args.insert(args.begin(), "zel_video_depth");
    return ParseVideoDepthArguments(static_cast<int>(args.size()), args.data(), options);
}

TEST(VideoDepthArguments, OptionsStepsAndPassThrough) {
    VideoDepthOptions o;
    ASSERT_EQ(Parse({"--every", "3", "--width", "320", "--from", "sparse", "--focal", "287.5",
                     "v.mp4", "w", "--", "--levels", "64"},
                    o),
              -1);
    EXPECT_EQ(o.every, 3);
    EXPECT_EQ(o.width, 320);
    EXPECT_EQ(o.from, kSparse);
    EXPECT_EQ(o.focal, 287.5);
    EXPECT_EQ(o.input, "v.mp4");
    EXPECT_EQ(o.workDir, "w");
    EXPECT_EQ(o.recoverArgs, (std::vector<std::string>{"--levels", "64"}));
    for (int s = 0; s < kStepCount; s++) {
        EXPECT_EQ(StepFromName(StepName(s)), s);
    }
    const std::vector<std::vector<const char*>> bad = {{},
                                                       {"v.mp4"},
                                                       {"a", "b", "c"},
                                                       {"--every", "0", "a", "b"},
                                                       {"--width"},
                                                       {"--from", "x", "a", "b"},
                                                       {"--frobnicate", "a", "b"},
                                                       {"--threads", "-1", "a", "b"},
                                                       {"--focal", "0", "a", "b"}};
    for (const auto& args : bad) {
        VideoDepthOptions ignored;
        EXPECT_EQ(Parse(args, ignored), 2) << (args.empty() ? "(none)" : args[0]);
    }
}

TEST(VideoDepthFfmpeg, FilterAndPattern) {
    const auto plain = FfmpegArguments("in.mp4", "/w/frames", 1, 0, "png");
    EXPECT_EQ(std::find(plain.begin(), plain.end(), "-vf"), plain.end());
    EXPECT_EQ(plain.back(), "/w/frames/frame%05d.png");
    const auto both = FfmpegArguments("-odd name.mp4", "/w/100%/frames", 4, 320, "bmp");
    const auto vf = std::find(both.begin(), both.end(), "-vf");
    ASSERT_NE(vf, both.end());
    EXPECT_EQ(*(vf + 1), "select=not(mod(n\\,4)),scale=320:-2");
    EXPECT_EQ(*(std::find(both.begin(), both.end(), "-i") + 1), "-odd name.mp4");
    EXPECT_EQ(both.back(), "/w/100%%/frames/frame%05d.bmp");
}

TEST(VideoDepthFrames, LongestNumberedSequence) {
    EXPECT_EQ(LongestSequence({"a.png", "img0000.png", "img0001.png", "img0002.jpg", "img0003.png",
                               "img01.png", "preview.png", "x1.png", "x2.png"}),
              (std::vector<std::string>{"img0000.png", "img0001.png", "img0003.png"}));
    EXPECT_TRUE(LongestSequence({"a.png", "b.bmp"}).empty());
}

// Two images of one SIMPLE_PINHOLE camera (f 100, centre (50, 40)) and a point at depth 10.
ColmapModel TwoViews() {
    ColmapModel m;
    zelinterop::ColmapCamera c;
    c.id = 7;
    c.model = zelinterop::kSimplePinhole;
    c.width = 100;
    c.height = 80;
    c.params = {100.0, 50.0, 40.0};
    m.cameras.push_back(c);
    for (uint32_t i = 0; i < 2; i++) {
        zelinterop::ColmapImage image;
        image.id = 20 - i;  // ids against name order
        image.camera = 7;
        image.t[0] = -1.0 * i;
        image.name = "frame0000" + std::to_string(i) + ".png";
        m.images.push_back(image);
    }
    // Exactly at the projection in image 20, 3 and 4 pixels off in image 19.
    m.images[0].points.push_back({50.0, 40.0, 1});
    m.images[1].points.push_back({50.0 - 10.0 + 3.0, 40.0 + 4.0, 1});
    zelinterop::ColmapPoint3D p;
    p.id = 1;
    p.xyz[2] = 10.0;
    p.track = {{20, 0}, {19, 0}};
    m.points.push_back(p);
    return m;
}

TEST(VideoDepthModel, MeanReprojectionError) {
    const ModelStats stats = ComputeModelStats(TwoViews());
    EXPECT_EQ(stats.registered, 2);
    EXPECT_EQ(stats.points, 1);
    EXPECT_EQ(stats.observations, 2);
    EXPECT_DOUBLE_EQ(stats.meanError, 2.5);
}

TEST(VideoDepthModel, KnownCamerasNumberedInNameOrder) {
    const std::vector<std::string> frames = {"frame00000.png", "frame00001.png", "frame00002.png"};
    ColmapModel posed;
    std::vector<std::string> names;
    std::string model, params, error;
    ASSERT_TRUE(PrepareKnownCameras(TwoViews(), frames, posed, names, model, params, error))
        << error;
    EXPECT_EQ(names, (std::vector<std::string>{"frame00000.png", "frame00001.png"}));
    ASSERT_EQ(posed.images.size(), 2u);
    EXPECT_EQ(posed.images[0].id, 1u);
    EXPECT_EQ(posed.images[0].name, "frame00000.png");
    EXPECT_EQ(posed.images[1].t[0], -1.0);
    EXPECT_EQ(posed.images[1].camera, 1u);
    EXPECT_TRUE(posed.images[0].points.empty() && posed.points.empty());
    EXPECT_EQ(model, "SIMPLE_PINHOLE");
    EXPECT_EQ(params, "100,50,40");

    ColmapModel other = TwoViews();
    other.images[1].name = "elsewhere.png";
    EXPECT_FALSE(PrepareKnownCameras(other, frames, posed, names, model, params, error));
    EXPECT_NE(error.find("elsewhere.png is not among the frames"), std::string::npos) << error;
    other = TwoViews();
    other.cameras[0].model = zelinterop::kSimpleRadial;
    other.cameras[0].params.push_back(0.1);
    EXPECT_FALSE(PrepareKnownCameras(other, frames, posed, names, model, params, error));
    EXPECT_NE(error.find("SIMPLE_RADIAL"), std::string::npos) << error;
    other = TwoViews();
    other.cameras.push_back(other.cameras[0]);
    other.cameras[1].id = 8;
    other.cameras[1].params[0] = 120.0;
    other.images[1].camera = 8;
    EXPECT_FALSE(PrepareKnownCameras(other, frames, posed, names, model, params, error));
    EXPECT_NE(error.find("different intrinsics"), std::string::npos) << error;
}

#ifndef _WIN32
size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        n++;
    }
    return n;
}

// A stand-in colmap on the PATH that records its commands and fails at the mapper.
TEST(VideoDepthRun, FailureNamesTheStepAndRerunsSkipWhatWasDone) {
    const std::string dir = testutil::TempPath("run");
    fs::remove_all(dir);
    fs::create_directories(dir + "/bin");
    for (int i = 0; i < 3; i++) {
        testutil::WriteBmp24(dir + "/pictures/img000" + std::to_string(i) + ".bmp", 8, 8,
                             std::vector<testutil::Rgb>(64));
    }
    const std::string calls = dir + "/calls.txt";
    testutil::WriteFile(dir + "/bin/colmap",
                        "#!/bin/sh\necho \"$1\" >> '" + calls +
                            "'\n"
                            "if [ \"$1\" = mapper ]; then echo 'mapper broke'; exit 3; fi\n"
                            "echo \"fake $1\"\n");
    fs::permissions(dir + "/bin/colmap", fs::perms::owner_all);
    const std::string path = std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin";
    setenv("PATH", (dir + "/bin:" + path).c_str(), 1);
    const std::string exe = ZEL_VIDEO_DEPTH_EXE;
    const std::string work = dir + "/work";

    auto first = testutil::RunProcess(exe, {dir + "/pictures", work});
    EXPECT_EQ(first.status, 1);
    EXPECT_NE(first.err.find("ERROR: step sparse failed: colmap mapper ended with exit status 3"),
              std::string::npos)
        << first.err;
    EXPECT_NE(first.err.find("| mapper broke"), std::string::npos) << first.err;
    EXPECT_EQ(testutil::ReadFile(calls), "feature_extractor\nexhaustive_matcher\nmapper\n");
    EXPECT_TRUE(fs::exists(work + "/stamps/matches.done"));
    EXPECT_FALSE(fs::exists(work + "/stamps/sparse.done"));
    EXPECT_EQ(testutil::ReadFile(work + "/frames.txt"), "img0000.bmp\nimg0001.bmp\nimg0002.bmp\n");

    // Again: the three steps done are skipped, the mapper runs (and fails) again.
    auto second = testutil::RunProcess(exe, {dir + "/pictures", work});
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(Count(second.err, "done before, skipped"), 3u) << second.err;
    // From the matches on, and with other zel_recover options (which only later steps use).
    auto third = testutil::RunProcess(
        exe, {"--from", "matches", dir + "/pictures", work, "--", "--levels", "16"});
    EXPECT_EQ(third.status, 1);
    EXPECT_EQ(testutil::ReadFile(calls),
              "feature_extractor\nexhaustive_matcher\nmapper\nmapper\nexhaustive_matcher\n"
              "mapper\n");
    // Another input invalidates every stamp.
    testutil::WriteBmp24(dir + "/pictures/img0003.bmp", 8, 8, std::vector<testutil::Rgb>(64));
    auto fourth = testutil::RunProcess(exe, {dir + "/pictures", work});
    EXPECT_EQ(Count(fourth.err, "done before, skipped"), 0u) << fourth.err;
    setenv("PATH", path.c_str(), 1);

    // A frame folder with one picture; a frame folder with video options; no input at all.
    fs::remove(dir + "/pictures/img0001.bmp");
    fs::remove(dir + "/pictures/img0002.bmp");
    fs::remove(dir + "/pictures/img0003.bmp");
    auto few = testutil::RunProcess(exe, {dir + "/pictures", work});
    EXPECT_EQ(few.status, 1);
    EXPECT_NE(few.err.find("ERROR: step frames failed: fewer than two frames"), std::string::npos)
        << few.err;
    EXPECT_EQ(testutil::RunProcess(exe, {"--every", "2", dir + "/pictures", work}).status, 2);
    EXPECT_EQ(testutil::RunProcess(
                  exe, {"--focal", "300", "--known-cameras", dir, dir + "/pictures", work})
                  .status,
              2);
    EXPECT_EQ(testutil::RunProcess(exe, {dir + "/none.mp4", work}).status, 1);
    const auto help = testutil::RunProcess(exe, {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("usage: zel_video_depth", 0), 0u) << help.out;
}
#endif

}  // namespace
