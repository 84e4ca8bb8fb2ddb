// The one-command road on a real video: an orbit around the synthetic scene is encoded as H.264
// with ffmpeg, zel_video_depth turns it into cameras (COLMAP) and depth files (the reference
// stages), and both are compared with the truth after the least-squares similarity between the
// recovered and the true camera centres: every camera's rotation and centre, and the depth
// against the same stages run with the true cameras on the same decoded frames.
//
// Small on purpose (24 frames of 320 x 240; the stages with reduced options on four frames, the
// same for both runs), so that it takes a few minutes under the sanitizers on two cores. Without
// colmap or ffmpeg on the PATH it is skipped with a message, except when CI is set.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "interop/colmap_project.h"
#include "parser/trackfileparser.h"
#include "platform/platform.h"
#include "sequence/videoframe.h"
#include "sequence/videosequence.h"
#include "tests/colmap_testsupport.h"
#include "tests/process_util.h"
#include "tests/similarity_util.h"
#include "tests/test_util.h"
#include "tools/videodepth_lib.h"

namespace fs = std::filesystem;
using testutil::Similarity;
using testutil::Vec3;

namespace {

#ifdef _WIN32
TEST(ColmapReal, VideoToDepthCloseToTheTrueCameras) {
    GTEST_SKIP() << "zel_video_depth runs COLMAP and ffmpeg on POSIX systems only";
}
#else
constexpr int kFrames = 24;
constexpr int kWidth = 320;
constexpr int kHeight = 240;
// The stages' options for both runs (without the frames), and the frames whose depth is compared:
// the video run recovers them among all 24, the known-camera run is given frames kKnownFirst to
// kKnownLast only.
const std::vector<std::string> kStageOptions = {
    "--levels", "32", "--neighbours", "4", "--refine-neighbours", "4"};
constexpr int kFirstScored = 10;
constexpr int kLastScored = 13;
constexpr int kKnownFirst = 8;
constexpr int kKnownLast = 15;

using Parsed = testutil::ParsedProject;

std::vector<float> ReadFloats(const std::string& path) {
    const std::string bytes = testutil::ReadFile(path);
    std::vector<float> values(bytes.size() / 4);
    if (!values.empty()) {
        std::memcpy(values.data(), bytes.data(), values.size() * 4);
    }
    return values;
}

// The share of pixels whose disparity, divided by scale, lies within 2 % of the truth.
double ShareWithin2(const std::vector<float>& disparity, const std::vector<float>& truth,
                    double scale) {
    if (disparity.size() != truth.size() || truth.empty()) {
        return 0.0;
    }
    size_t within = 0;
    for (size_t i = 0; i < truth.size(); i++) {
        const double d = disparity[i] / scale;
        if (std::isfinite(d) && d > 0 && std::fabs(d - truth[i]) <= 0.02 * truth[i]) {
            within++;
        }
    }
    return static_cast<double>(within) / static_cast<double>(truth.size());
}

TEST(ColmapReal, VideoToDepthCloseToTheTrueCameras) {
    for (const char* program : {"colmap", "ffmpeg"}) {
        if (!zelvideo::OnPath(program)) {
            if (std::getenv("CI") != nullptr) {
                FAIL() << program
                       << " is not installed, and CI must run this test (.ci/run "
                          "installs it)";
            }
            GTEST_SKIP() << program
                         << " is not on the PATH: the video test is skipped (Debian: "
                            "apt-get install colmap ffmpeg)";
        }
    }
    const std::string dir = testutil::TempPath("video");
    fs::remove_all(dir);
    fs::create_directories(dir);
    const std::string scene = dir + "/scene";
    const auto made = testutil::RunProcess(
        ZEL_MAKE_SAMPLE_EXE, {"--motion", "orbit", "--frames", std::to_string(kFrames), scene});
    ASSERT_EQ(made.status, 0) << made.out << made.err;
    const std::string video = dir + "/orbit.mp4";
    const auto encoded =
        testutil::RunProcess("ffmpeg", {"-nostdin", "-hide_banner", "-loglevel", "error",
                                        "-framerate", "24", "-i", scene + "/img%04d.bmp", "-c:v",
                                        "libx264", "-crf", "18", "-pix_fmt", "yuv420p", video});
    ASSERT_EQ(encoded.status, 0) << encoded.err;

    // The scene's focal length is given, as a calibrated camera's would be: estimated from 24
    // frames of an orbit, COLMAP places it 0.4 % off (298.8 against 300 px), enough to take the
    // share within 2 % from 95 to 60 to 70 %.
    const std::string work = dir + "/work";
    std::vector<std::string> args = {
        "--threads", "2",        "--focal",
        "300",       video,      work,
        "--",        "--frames", std::to_string(kFirstScored) + ":" + std::to_string(kLastScored)};
    args.insert(args.end(), kStageOptions.begin(), kStageOptions.end());
    const auto run = testutil::RunProcess(ZEL_VIDEO_DEPTH_EXE, args, "", 1800);
    ASSERT_EQ(run.status, 0) << run.err;
    std::fprintf(stderr, "%s", run.out.c_str());
    EXPECT_EQ(testutil::ReadFile(work + "/summary.txt"), run.out);
    EXPECT_NE(run.out.find("Registered: 24 of 24 frames"), std::string::npos) << run.out;

    // The same stages with the true cameras of frames 8 to 15, through --known-cameras on a copy
    // of the same decoded frames: COLMAP triangulates its tracks on these fixed poses.
    const std::vector<std::string> frames = zelvideo::ListFrameImages(work + "/frames");
    ASSERT_EQ(frames.size(), static_cast<size_t>(kFrames));
    const std::string trueDir = dir + "/truecameras";
    fs::create_directories(trueDir + "/frames");
    for (const std::string& name : frames) {
        fs::copy_file(work + "/frames/" + name, trueDir + "/frames/" + name);
    }
    Parsed truth(scene + "/groundtruth/project.txt");
    ASSERT_TRUE(truth.ok);
    zelinterop::ProjectContent content;
    zelinterop::ProjectFromParsed(*truth.parser, truth.sequence, content);
    content.tracks.clear();
    for (int i = 0; i < kFrames; i++) {
        content.frames[static_cast<size_t>(i)].image = frames[static_cast<size_t>(i)];
    }
    zelinterop::ColmapModel known;
    zelinterop::ExportSummary exported;
    std::string error;
    ASSERT_TRUE(zelinterop::ProjectToColmap(content, known, exported, error)) << error;
    known.images.erase(known.images.begin() + kKnownLast + 1, known.images.end());
    known.images.erase(known.images.begin(), known.images.begin() + kKnownFirst);
    ASSERT_TRUE(zelinterop::WriteColmapText(trueDir + "/known", known, error)) << error;
    std::vector<std::string> knownArgs = {"--threads",
                                          "2",
                                          "--known-cameras",
                                          trueDir + "/known",
                                          trueDir + "/frames",
                                          trueDir + "/work",
                                          "--",
                                          "--frames",
                                          std::to_string(kFirstScored - kKnownFirst) + ":" +
                                              std::to_string(kLastScored - kKnownFirst)};
    knownArgs.insert(knownArgs.end(), kStageOptions.begin(), kStageOptions.end());
    const auto knownRun = testutil::RunProcess(ZEL_VIDEO_DEPTH_EXE, knownArgs, "", 1800);
    ASSERT_EQ(knownRun.status, 0) << knownRun.err;
    std::fprintf(stderr, "%s", knownRun.out.c_str());
    // 8 of the folder's 24 frames: the import says so.
    EXPECT_NE(knownRun.err.find("Warning: COLMAP registered only 8 of the 24 frames"),
              std::string::npos)
        << knownRun.err;
    // The poses come through as they were given.
    Parsed knownProject(trueDir + "/work/project.txt");
    ASSERT_TRUE(knownProject.ok);
    ASSERT_EQ(knownProject.sequence.GetFrameCount(), kKnownLast - kKnownFirst + 1);
    EXPECT_GT(knownProject.parser->tracks.size(), 100u);
    for (int i = kKnownFirst; i <= kKnownLast; i++) {
        const CCamera& k = *knownProject.sequence.GetFrame(i - kKnownFirst)->camera;
        const CCamera& t = *truth.sequence.GetFrame(i)->camera;
        for (int r = 0; r < 3; r++) {
            EXPECT_NEAR(k.T[r], t.T[r], 1e-9) << "frame " << i;
            for (int c = 0; c < 3; c++) {
                EXPECT_NEAR(k.R(r, c), t.R(r, c), 1e-9) << "frame " << i;
            }
        }
    }

    // Cameras: the similarity from the recovered centres onto the true ones.
    Parsed recovered(work + "/project.txt");
    ASSERT_TRUE(recovered.ok);
    ASSERT_EQ(recovered.sequence.GetFrameCount(), kFrames);
    ASSERT_EQ(truth.sequence.GetFrameCount(), kFrames);
    std::vector<Vec3> from, to;
    double pathLength = 0.0;
    for (int i = 0; i < kFrames; i++) {
        const CCamera& r = *recovered.sequence.GetFrame(i)->camera;
        const CCamera& t = *truth.sequence.GetFrame(i)->camera;
        from.push_back({{r.T[0], r.T[1], r.T[2]}});
        to.push_back({{t.T[0], t.T[1], t.T[2]}});
        if (i > 0) {
            pathLength += Norm(Sub(to.back(), to[to.size() - 2]));
        }
    }
    const Similarity sim = testutil::Align(from, to);
    const testutil::CameraErrors cameras = testutil::CompareCameras(
        recovered.sequence, truth.sequence, sim, from, to, pathLength, 1.0, 0.01);
    const double worstAngle = cameras.worstAngle;
    const double worstCentre = cameras.worstCentre;

    // Depth: COLMAP's disparities are in its own units, 1 / (z / s) = s / z; divided by the
    // similarity's scale they are the truth's.
    double recoveredShare = 0.0, trueShare = 0.0;
    for (int i = kFirstScored; i <= kLastScored; i++) {
        const std::string name = "/_depth" + std::to_string(i) + ".raw";
        const std::vector<float> gt = ReadFloats(scene + "/groundtruth" + name);
        ASSERT_EQ(gt.size(), static_cast<size_t>(kWidth) * kHeight);
        const double r = ShareWithin2(ReadFloats(work + "/frames/DATA" + name), gt, sim.s);
        const double t = ShareWithin2(
            ReadFloats(trueDir + "/frames/DATA/_depth" + std::to_string(i - kKnownFirst) + ".raw"),
            gt, 1.0);
        std::fprintf(stderr, "frame %d: %.1f %% within 2 %% (true cameras %.1f %%)\n", i, 100 * r,
                     100 * t);
        recoveredShare += r / (kLastScored - kFirstScored + 1);
        trueShare += t / (kLastScored - kFirstScored + 1);
    }
    EXPECT_GE(recoveredShare, trueShare - 0.03);
    std::fprintf(stderr,
                 "Video road against the truth: worst rotation %.3f deg, worst centre %.3f %% of "
                 "the path; depth within 2 %%: %.1f %% (true cameras %.1f %%), scale %.4f\n",
                 worstAngle, 100 * worstCentre, 100 * recoveredShare, 100 * trueShare, sim.s);
    RecordProperty("worst_rotation_deg", std::to_string(worstAngle));
    RecordProperty("worst_centre_percent", std::to_string(100 * worstCentre));
    RecordProperty("within2_percent", std::to_string(100 * recoveredShare));
    RecordProperty("within2_true_cameras_percent", std::to_string(100 * trueShare));
}
#endif

}  // namespace
