// The bundled sample project: it parses cleanly, every observation is the projection of its
// track's point through the parsed camera, and the ground-truth disparity agrees with the tracks.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "parser/trackfileparser.h"
#include "sequence/videoframe.h"
#include "sequence/videosequence.h"
#include "tests/frame_settings.h"
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

TEST(Sample, TracksAreProjectionsAndGroundTruthAgrees) {
    testutil::FrameSettingsGuard guard;
    CZelVideoSequence seq;
    CTrackFileParser parser(&seq);
    bool ok = false;
    const std::string out = testutil::CaptureStdout([&] { ok = parser.Parse(ZEL_SAMPLE_PROJECT); });
    ASSERT_TRUE(ok) << out;
    EXPECT_EQ(out, "Total frame count:30\n\n");
    const int W = CZelVideoFrame::imageWidth;
    const int H = CZelVideoFrame::imageHeight;
    ASSERT_EQ(W, 320);
    ASSERT_EQ(H, 240);
    ASSERT_GT(parser.tracks.size(), 100u);

    std::vector<std::vector<float>> truth;
    for (int i = 0; i < seq.GetFrameCount(); i++) {
        const std::string path =
            Directory(ZEL_SAMPLE_PROJECT) + "groundtruth/_depth" + std::to_string(i) + ".raw";
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

}  // namespace
