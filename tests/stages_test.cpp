// The reference depth-recovery stages on small synthetic scenes with known depth: a plane facing
// the camera and a slanted one, recovered through the project parser, the stage plug and Run.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "parser/featuretracks.h"
#include "parser/trackfileparser.h"
#include "sequence/videoframe.h"
#include "sequence/videosequence.h"
#include "stages/evidence.h"
#include "stages/referencestages.h"
#include "stages/segmentplanes.h"
#include "tests/frame_settings.h"
#include "tests/synthetic_scene.h"

namespace {

// The share of frame i's pixels whose disparity lies within `tolerance` (relative) of the truth,
// among the pixels that at least two other frames see (the others carry no depth information).
double ShareWithin(const testutil::PlaneScene& scene, const CZelVideoFrame& frame, int i,
                   double tolerance) {
    int good = 0;
    int count = 0;
    for (int y = 0; y < scene.height; y++) {
        for (int x = 0; x < scene.width; x++) {
            if (scene.SeenBy(i, x, y) < 2) {
                continue;
            }
            const double truth = 1.0 / scene.DepthAt(i, x, y);
            const double d = frame.dspImg->At(x, y, 0);
            good += std::isfinite(d) && std::fabs(d - truth) <= tolerance * truth;
            count++;
        }
    }
    return static_cast<double>(good) / count;
}

// The options the test scenes are recovered with.
ZelStageOptions SceneOptions(int threads) {
    ZelStageOptions options;
    options.levels = 64;
    options.neighbours = 4;
    // Neighbours one and two frames away: the test's frames are few.
    options.minParallax = 0.02;
    options.threads = threads;
    options.writeFiles = false;
    return options;
}

class StagesTest : public testing::Test {
  protected:
    // Writes the scene, parses it and runs both stages over every frame; a positive `range`
    // sweeps from (1 - range) to (1 + range) times the plane's disparity instead of the
    // estimate.
    void Recover(const testutil::PlaneScene& scene, int passes, double range = 0.0,
                 int boSweep = 0) {
        const std::string project = scene.Write(testutil::FreshTestDir());
        ASSERT_TRUE(parser.Parse(project.c_str()));
        parser.HandOverMatchPoints();
        ZelStageOptions options = SceneOptions(2);
        options.passes = passes;
        options.boSweep = boSweep;
        ASSERT_TRUE(
            EstimateSweepRange(sequence, parser, options.minDisparity, options.maxDisparity));
        if (range > 0.0) {
            options.minDisparity = (1.0 - range) / scene.depth;
            options.maxDisparity = (1.0 + range) / scene.depth;
        }
        CReferenceStages stages(options);
        sequence.SetStages(&stages);
        sequence.Run(0, scene.frames);
        sequence.SetStages(nullptr);
    }

    testutil::FrameSettingsGuard settings;
    CZelVideoSequence sequence;
    CTrackFileParser parser{&sequence};
};

}  // namespace

TEST_F(StagesTest, FrontoParallelPlaneAtKnownDepth) {
    testutil::PlaneScene scene;
    Recover(scene, 1);
    for (int i = 0; i < scene.frames; i++) {
        SCOPED_TRACE(i);
        ASSERT_NE(sequence.GetFrame(i)->dspImg, nullptr);
        EXPECT_GE(ShareWithin(scene, *sequence.GetFrame(i), i, 0.005), 0.95);
        // Every colour image was released again.
        EXPECT_EQ(sequence.GetFrame(i)->colorImg, nullptr);
        // Pixels that no other frame sees cannot be contradicted: they keep their estimate
        // instead of being marked missing.
        int unseen = 0;
        int missing = 0;
        for (int y = 0; y < scene.height; y++) {
            for (int x = 0; x < scene.width; x++) {
                if (scene.SeenBy(i, x, y) == 0) {
                    unseen++;
                    missing += !std::isfinite(sequence.GetFrame(i)->dspImg->At(x, y, 0));
                }
            }
        }
        EXPECT_LE(missing, unseen / 20);
    }
}

// With the sweep kept away from disparity 0, the first frame's left strip projects outside its
// neighbours at every level: no offset of the refinement is cheaper than another there, and the
// pixels must keep the plane's disparity carried in from beside them (they once moved by more
// than a level towards the far end).
TEST_F(StagesTest, PixelsNoNeighbourSeesKeepTheirDisparity) {
    testutil::PlaneScene scene;
    Recover(scene, 0, 0.5);
    const CZelVideoFrame& frame = *sequence.GetFrame(0);
    for (int y = 0; y < scene.height; y++) {
        for (int x = 0; x < 2; x++) {
            const double truth = 1.0 / scene.DepthAt(0, x, y);
            EXPECT_NEAR(frame.dspImg->At(x, y, 0), truth, 0.01 * truth) << x << ", " << y;
        }
    }
}

TEST_F(StagesTest, SlantedPlane) {
    testutil::PlaneScene scene;
    scene.slope = 0.2;
    scene.depth = 2.2;
    Recover(scene, 1);
    for (int i = 0; i < scene.frames; i++) {
        SCOPED_TRACE(i);
        EXPECT_GE(ShareWithin(scene, *sequence.GetFrame(i), i, 0.005), 0.95);
    }
}

// The bundle optimisation that sweeps every level again instead of refining the map before.
TEST_F(StagesTest, SlantedPlaneWithTheSweepInEveryPass) {
    testutil::PlaneScene scene;
    scene.slope = 0.2;
    scene.depth = 2.2;
    Recover(scene, 1, 0.0, 1);
    for (int i = 0; i < scene.frames; i++) {
        SCOPED_TRACE(i);
        EXPECT_GE(ShareWithin(scene, *sequence.GetFrame(i), i, 0.005), 0.95);
    }
}

TEST(StageOptions, RefusedValues) {
    ZelStageOptions o;
    o.maxDisparity = 1.0;
    std::string message;
    EXPECT_TRUE(CReferenceStages::CheckOptions(o, message));
    ZelStageOptions bad = o;
    bad.levels = 2;
    EXPECT_FALSE(CReferenceStages::CheckOptions(bad, message));
    EXPECT_EQ(message, "ERROR: the level count must lie between 3 and 1024");
    bad = o;
    bad.maxDisparity = NAN;
    EXPECT_FALSE(CReferenceStages::CheckOptions(bad, message));
    bad = o;
    bad.neighbours = 0;
    EXPECT_FALSE(CReferenceStages::CheckOptions(bad, message));
    bad = o;
    bad.refineNeighbours = 65;
    EXPECT_FALSE(CReferenceStages::CheckOptions(bad, message));
    bad = o;
    bad.passes = 4;
    EXPECT_FALSE(CReferenceStages::CheckOptions(bad, message));
    bad = o;
    bad.planeScale = -1;
    EXPECT_FALSE(CReferenceStages::CheckOptions(bad, message));
}

TEST(SegmentPlanes, SegmentsStopAtColourEdges) {
    // Left half reddish, right half bluish, each with a little noise.
    const int W = 40;
    const int H = 30;
    std::vector<float> rgb(3 * W * H);
    unsigned state = 7;
    for (int p = 0; p < W * H; p++) {
        state = state * 1103515245u + 12345u;
        const float noise = static_cast<float>((state >> 16) % 7) - 3.0f;
        const bool left = p % W < W / 2;
        rgb[3 * p] = (left ? 180.0f : 60.0f) + noise;
        rgb[3 * p + 1] = 80.0f + noise;
        rgb[3 * p + 2] = (left ? 60.0f : 170.0f) + noise;
    }
    int count = 0;
    const std::vector<int> segment = SegmentColours(W, H, rgb, 300.0f, 20, count);
    ASSERT_EQ(segment.size(), static_cast<size_t>(W * H));
    EXPECT_GE(count, 2);
    EXPECT_LE(count, 6);
    std::vector<int> side(static_cast<size_t>(count), -1);
    for (int p = 0; p < W * H; p++) {
        const int s = p % W < W / 2 ? 0 : 1;
        int& seen = side[static_cast<size_t>(segment[static_cast<size_t>(p)])];
        EXPECT_TRUE(seen < 0 || seen == s) << "segment across the colour edge at " << p;
        seen = s;
    }
    // A wrong-sized picture gives one segment of nothing, not a crash.
    EXPECT_TRUE(SegmentColours(W, H, std::vector<float>(5), 300.0f, 20, count).size() ==
                static_cast<size_t>(W * H));
}

TEST(SegmentPlanes, PatchesMoveOntoTheSegmentsPlane) {
    const int W = 60;
    const int H = 40;
    auto plane = [](int x, int y) {
        return 0.2f + 0.001f * static_cast<float>(x) + 0.002f * static_cast<float>(y);
    };
    std::vector<int> segment(W * H);
    std::vector<float> d(W * H);
    for (int y = 0; y < H; y++) {
        for (int x = 0; x < W; x++) {
            const int p = y * W + x;
            segment[p] = x < 40 ? 0 : 1;
            d[p] = x < 40 ? plane(x, y) : 0.5f + 0.01f * static_cast<float>((x * 7 + y * 13) % 11);
        }
    }
    // A patch 4 % off the plane, a few pixels of a nearer surface and a missing one.
    for (int y = 10; y < 20; y++) {
        for (int x = 10; x < 20; x++) {
            d[y * W + x] = 1.04f * plane(x, y);
        }
    }
    d[5 * W + 30] = 1.5f * plane(30, 5);
    d[6 * W + 30] = 1.5f * plane(30, 6);
    d[7 * W + 30] = NAN;
    const std::vector<float> before = d;
    ZelPlaneFit fit;
    FitSegmentPlanes(W, segment, 2, fit, d);
    for (int y = 10; y < 20; y++) {
        for (int x = 10; x < 20; x++) {
            EXPECT_NEAR(d[y * W + x], plane(x, y), 1e-4f * plane(x, y));
        }
    }
    EXPECT_EQ(d[5 * W + 30], before[5 * W + 30]);
    EXPECT_EQ(d[6 * W + 30], before[6 * W + 30]);
    EXPECT_TRUE(std::isnan(d[7 * W + 30]));
    // The right segment's values scatter by up to 20 %: no plane holds half of it, so it stays.
    for (int y = 0; y < H; y++) {
        for (int x = 40; x < W; x++) {
            EXPECT_EQ(d[y * W + x], before[y * W + x]);
        }
    }
    // With a checked mask, the unchecked pixels take the plane however far off they are, unless
    // too little of the segment is checked for the mask to count.
    std::vector<uint8_t> checked(W * H, 1);
    for (int y = 0; y < H; y++) {
        d[y * W] = 0.6f * plane(0, y);
        checked[static_cast<size_t>(y * W)] = 0;
    }
    std::vector<float> masked = d;
    FitSegmentPlanes(W, segment, 2, fit, masked, &checked);
    EXPECT_NEAR(masked[3 * W], plane(0, 3), 1e-4f * plane(0, 3));
    EXPECT_EQ(masked[5 * W + 30], before[5 * W + 30]);
    std::fill(checked.begin(), checked.begin() + W * H / 5, 1);
    std::fill(checked.begin() + W * H / 5, checked.end(), 0);
    masked = d;
    FitSegmentPlanes(W, segment, 2, fit, masked, &checked);
    EXPECT_EQ(masked[3 * W], d[3 * W]);
}

// The noise estimate ignores smooth shading and finds white noise added to it; the residual
// estimate is zero for exact tracks and follows the error put on their observations.
TEST(Evidence, NoiseOfAPictureAndResidualOfTracks) {
    const int W = 160;
    const int H = 120;
    std::vector<float> picture(static_cast<size_t>(W) * H);
    for (int y = 0; y < H; y++) {
        for (int x = 0; x < W; x++) {
            picture[static_cast<size_t>(y) * W + x] =
                static_cast<float>(100.0 + 40.0 * std::sin(0.05 * x) + 0.3 * y);
        }
    }
    EXPECT_LT(EstimateImageNoise(picture.data(), W, H), 0.1);
    std::mt19937 random(5);
    std::normal_distribution<float> noise(0.0f, 3.0f);
    for (float& v : picture) {
        v += noise(random);
    }
    EXPECT_NEAR(EstimateImageNoise(picture.data(), W, H), 3.0, 0.3);
    EXPECT_EQ(EstimateImageNoise(picture.data(), 2, 2), 0.0);

    testutil::FrameSettingsGuard settings;
    CZelVideoSequence sequence;
    CTrackFileParser parser(&sequence);
    testutil::PlaneScene scene;
    ASSERT_TRUE(parser.Parse(scene.Write(testutil::FreshTestDir()).c_str()));
    parser.HandOverMatchPoints();
    EXPECT_LT(EstimateTrackResidual(sequence), 1e-3);
    // Observations moved by N(0, 0.5) per coordinate: a root mean square of 0.5 sqrt(2).
    std::normal_distribution<double> error(0.0, 0.5);
    size_t observations = 0;
    for (int i = 0; i < sequence.GetFrameCount(); i++) {
        for (CMatchPoint& m : *sequence.GetFrame(i)->matchPoints) {
            m.x += error(random);
            m.y += error(random);
            observations++;
        }
    }
    ASSERT_GE(observations, 100u);
    EXPECT_NEAR(EstimateTrackResidual(sequence), 0.5 * std::sqrt(2.0), 0.15);
}

// Steps along an 8 x 8 grid in flat surroundings are found and smoothed; a picture without a
// grid, or an edge larger than the threshold, is left as it is.
TEST(Evidence, BlockGridIsFoundAndSmoothed) {
    const int W = 64;
    const int H = 48;
    std::vector<float> smooth(static_cast<size_t>(W) * H);
    std::vector<float> blocks(smooth.size());
    for (int y = 0; y < H; y++) {
        for (int x = 0; x < W; x++) {
            const size_t p = static_cast<size_t>(y) * W + x;
            smooth[p] = 0.05f * static_cast<float>(x + y);
            // Each block offset by its own small amount, as a compressed picture's flat areas.
            blocks[p] = smooth[p] + static_cast<float>(((x / 8) * 7 + (y / 8) * 3) % 5);
        }
    }
    EXPECT_NEAR(EstimateBlockiness(smooth, W, H, 1), 1.0, 0.05);
    EXPECT_GT(EstimateBlockiness(blocks, W, H, 1), 3.0);
    std::vector<float> kept = smooth;
    Deblock(kept, W, H, 1, 8.0f);
    EXPECT_EQ(kept, smooth);
    std::vector<float> mended = blocks;
    Deblock(mended, W, H, 1, 8.0f);
    EXPECT_LT(EstimateBlockiness(mended, W, H, 1), EstimateBlockiness(blocks, W, H, 1) / 2.0);
}

// A frame run alone gets every thread: they share its levels, offsets and aggregation passes.
// Its map must not depend on how many there are.
TEST(StagesThreads, OneFrameAloneGivesTheSameMapOnOneAndTwoThreads) {
    testutil::FrameSettingsGuard settings;
    testutil::PlaneScene scene;
    scene.slope = 0.2;
    const std::string project = scene.Write(testutil::FreshTestDir());
    std::vector<float> maps[2];
    for (int threads = 1; threads <= 2; threads++) {
        CZelVideoSequence sequence;
        CTrackFileParser parser(&sequence);
        ASSERT_TRUE(parser.Parse(project.c_str()));
        parser.HandOverMatchPoints();
        ZelStageOptions options = SceneOptions(threads);
        ASSERT_TRUE(
            EstimateSweepRange(sequence, parser, options.minDisparity, options.maxDisparity));
        CReferenceStages stages(options);
        sequence.SetStages(&stages);
        sequence.Run(2, 3);
        sequence.SetStages(nullptr);
        const ZImage<float>* map = sequence.GetFrame(2)->dspImg;
        ASSERT_NE(map, nullptr);
        std::vector<float>& out = maps[threads - 1];
        for (int y = 0; y < scene.height; y++) {
            for (int x = 0; x < scene.width; x++) {
                out.push_back(map->At(x, y, 0));
            }
        }
    }
    ASSERT_EQ(maps[0].size(), maps[1].size());
    EXPECT_EQ(std::memcmp(maps[0].data(), maps[1].data(), maps[0].size() * sizeof(float)), 0);
}
