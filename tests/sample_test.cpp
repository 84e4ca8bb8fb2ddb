// The bundled sample project and the generator's other scenes: each parses cleanly, every
// observation is the projection of its track's point through the parsed camera, and the
// ground-truth disparity agrees with the tracks.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "parser/trackfileparser.h"
#include "sequence/videoframe.h"
#include "sequence/videosequence.h"
#include "tests/frame_settings.h"
#include "tests/process_util.h"
#include "tests/test_util.h"
#include "util/filename.h"

namespace {

std::vector<float> ReadDisparity(const std::string& path) {
    const std::string bytes = testutil::ReadFile(path);
    std::vector<float> values(bytes.size() / 4);
    for (size_t k = 0; k < values.size(); k++) {
        uint32_t bits = 0;
        for (int b = 0; b < 4; b++) {
            bits |=
                static_cast<uint32_t>(static_cast<uint8_t>(bytes[4 * k + static_cast<size_t>(b)]))
                << (8 * b);
        }
        std::memcpy(&values[k], &bits, 4);
    }
    return values;
}

// Checks the project at path: its size and frame count, tracks that are projections, and
// ground truth that is positive everywhere and agrees with the tracks.
void CheckScene(const std::string& project, int width, int height, int frames) {
    SCOPED_TRACE(project);
    testutil::FrameSettingsGuard guard;
    CZelVideoSequence seq;
    CTrackFileParser parser(&seq);
    bool ok = false;
    const std::string out = testutil::CaptureStdout([&] { ok = parser.Parse(project.c_str()); });
    ASSERT_TRUE(ok) << out;
    EXPECT_EQ(out, "Total frame count:" + std::to_string(frames) + "\n\n");
    const int W = CZelVideoFrame::imageWidth;
    const int H = CZelVideoFrame::imageHeight;
    ASSERT_EQ(W, width);
    ASSERT_EQ(H, height);
    ASSERT_GT(parser.tracks.size(), 100u);

    std::vector<std::vector<float>> truth;
    for (int i = 0; i < seq.GetFrameCount(); i++) {
        const std::string path =
            Directory(project) + "groundtruth/_depth" + std::to_string(i) + ".raw";
        truth.push_back(ReadDisparity(path));
        ASSERT_EQ(truth.back().size(), static_cast<size_t>(W * H)) << path;
        size_t bad = 0;
        for (float d : truth.back()) {
            bad += !(std::isfinite(d) && d > 0.0f);
        }
        EXPECT_EQ(bad, 0u) << path;
        ASSERT_NE(parser.frameMatchPoints[static_cast<size_t>(i)], nullptr) << "frame " << i;
    }

    size_t observations = 0;
    size_t agreeing = 0;
    for (const auto& track : parser.tracks) {
        EXPECT_GE(track->trackPoints.size(), 2u);
        for (const CTrackPoint& p : track->trackPoints) {
            SCOPED_TRACE("track " + std::to_string(track->index) + " frame " +
                         std::to_string(p.frame));
            ASSERT_GE(p.index, 0);
            float u = 0, v = 0, d = 0;
            seq.GetFrame(p.frame)->camera->WorldToPixel(u, v, d, track->point, false);
            EXPECT_NEAR(u, p.x, 1e-3);
            EXPECT_NEAR(v, p.y, 1e-3);
            ASSERT_GT(d, 0.0f);
            const int x = static_cast<int>(std::lround(p.x));
            const int y = static_cast<int>(std::lround(p.y));
            const float t = truth[static_cast<size_t>(p.frame)][static_cast<size_t>(y * W + x)];
            observations++;
            agreeing += std::fabs(t - d) <= 0.02f * d;
        }
    }
    // Pixels next to an occluding edge may see the other surface; nearly all agree.
    EXPECT_GT(agreeing, observations * 9 / 10) << agreeing << " of " << observations;

    const double maxDisparity = seq.EstimateMaxDisparity(parser);
    EXPECT_GT(maxDisparity, 0.0);
}

TEST(Sample, TracksAreProjectionsAndGroundTruthAgrees) {
    CheckScene(ZEL_SAMPLE_PROJECT, 320, 240, 30);
}

testutil::ProcessResult MakeSample(const std::vector<std::string>& args) {
    return testutil::RunProcess(ZEL_MAKE_SAMPLE_EXE, args);
}

// Other scenes of the generator, small enough to stay quick: forward motion (points leave the
// view and pass behind the camera), another seed and another size.
TEST(Sample, OtherScenesAreConsistentToo) {
    const std::string forward = testutil::TempPath("forward");
    auto run = MakeSample({"--motion", "forward", "--size", "96x72", "--frames", "8", forward});
    ASSERT_EQ(run.status, 0) << run.err;
    CheckScene(forward + "/project.txt", 96, 72, 8);

    const std::string seeded = testutil::TempPath("seeded");
    run = MakeSample({"--seed=12345", "--size=80x64", "--frames=6", seeded});
    ASSERT_EQ(run.status, 0) << run.err;
    CheckScene(seeded + "/project.txt", 80, 64, 6);

    // The same options write the same bytes; another seed other pictures.
    const std::string again = testutil::TempPath("seeded_again");
    ASSERT_EQ(MakeSample({"--frames", "6", "--size", "80x64", "--seed", "12345", again}).status, 0);
    const std::string plain = testutil::TempPath("plain");
    ASSERT_EQ(MakeSample({"--frames", "6", "--size", "80x64", plain}).status, 0);
    for (const char* name : {"/project.txt", "/img0003.bmp", "/groundtruth/_depth5.raw"}) {
        EXPECT_EQ(testutil::ReadFile(seeded + name), testutil::ReadFile(again + name)) << name;
    }
    EXPECT_NE(testutil::ReadFile(seeded + "/img0003.bmp"),
              testutil::ReadFile(plain + "/img0003.bmp"));
}

TEST(Sample, BadGeneratorOptionsAreUsageErrors) {
    const std::string dir = testutil::TempPath("refused");
    for (const std::vector<std::string>& args : {std::vector<std::string>{},
                                                 {"--seed", "-1", dir},
                                                 {"--seed", "4294967296", dir},
                                                 {"--motion", "up", dir},
                                                 {"--size", "640", dir},
                                                 {"--size", "15x100", dir},
                                                 {"--size", "100x4097", dir},
                                                 {"--frames", "1", dir},
                                                 {"--frames", dir},
                                                 {"--colour", "red", dir},
                                                 {dir, dir + "2"}}) {
        const auto run = MakeSample(args);
        EXPECT_EQ(run.status, 2) << testing::PrintToString(args);
        EXPECT_EQ(run.err.rfind("ERROR: ", 0), 0u) << run.err;
        EXPECT_NE(run.err.find("zel_make_sample --help"), std::string::npos) << run.err;
    }
    EXPECT_FALSE(std::filesystem::exists(dir));
    const auto help = MakeSample({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("Usage: zel_make_sample", 0), 0u) << help.out;
}

}  // namespace
