// The maximum disparity estimate: which observations count, the percentile position, and the
// selection giving bit for bit what the full sort over the frames' own DepthOf gives.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include "parser/trackfileparser.h"
#include "sequence/videoframe.h"
#include "sequence/videosequence.h"

namespace {

Vector3d Vec(double x, double y, double z) {
    Vector3d v;
    v[0] = x;
    v[1] = y;
    v[2] = z;
    return v;
}

// A camera-to-world pose: identity rotation, centre c.
void PlaceCamera(CZelVideoFrame* frame, const Vector3d& c) {
    for (int r = 0; r < 3; r++) {
        for (int k = 0; k < 3; k++) {
            frame->camera->R(r, k) = r == k ? 1.0 : 0.0;
        }
        frame->camera->T[r] = c[r];
    }
}

std::shared_ptr<CMatchLinker> AddTrack(CTrackFileParser& parser, int status, const Vector3d& point,
                                       const std::vector<int>& frames) {
    auto track = std::make_shared<CMatchLinker>();
    track->id = static_cast<int>(parser.tracks.size());
    track->index = track->id;
    track->status = status;
    track->point = point;
    track->SetTrackPointCount(static_cast<unsigned>(frames.size()));
    for (size_t j = 0; j < frames.size(); j++) {
        track->trackPoints[j].frame = frames[j];
    }
    parser.tracks.push_back(track);
    return track;
}

class MaxDisparityTest : public testing::Test {
  protected:
    CZelVideoSequence seq;
    CTrackFileParser parser{&seq};
};

TEST_F(MaxDisparityTest, NothingUsableGivesMinusOne) {
    seq.SetFrameCount(2);
    PlaceCamera(seq.GetFrame(0), Vec(0, 0, 0));
    PlaceCamera(seq.GetFrame(1), Vec(0, 0, 10));
    EXPECT_EQ(seq.EstimateMaxDisparity(parser), -1.0);

    AddTrack(parser, 3, Vec(0, 0, 2), {0, 1});
    AddTrack(parser, -1, Vec(0, 0, 2), {0});
    EXPECT_EQ(seq.EstimateMaxDisparity(parser), -1.0);

    // Behind (or at) every camera that sees it, and frame indexes outside the sequence.
    AddTrack(parser, 0, Vec(0, 0, 5), {1, 2, -1});
    AddTrack(parser, 0, Vec(0, 0, 0), {0});
    EXPECT_EQ(seq.EstimateMaxDisparity(parser), -1.0);
}

TEST_F(MaxDisparityTest, OneDepthOfTwo) {
    seq.SetFrameCount(1);
    PlaceCamera(seq.GetFrame(0), Vec(1, 1, 1));
    AddTrack(parser, 0, Vec(1, 1, 3), {0});
    EXPECT_EQ(seq.EstimateMaxDisparity(parser), 1.0 / (2.0 * 0.7));
}

TEST_F(MaxDisparityTest, ObservationsOutsideTheFramesAreSkippedOthersOfTheTrackCount) {
    seq.SetFrameCount(2);
    PlaceCamera(seq.GetFrame(0), Vec(0, 0, 0));
    PlaceCamera(seq.GetFrame(1), Vec(0, 0, 1));
    // Depths 4 (frame 0) and 3 (frame 1); index 2 equals the count, -1 is below zero.
    AddTrack(parser, 0, Vec(0, 0, 4), {2, 0, -1, 1});
    EXPECT_EQ(seq.EstimateMaxDisparity(parser), 1.0 / (3.0 * 0.7));
}

TEST_F(MaxDisparityTest, PercentilePositionIsTheTruncatedOnePointFivePercent) {
    struct Case {
        int m;
        int k;
    } cases[] = {{66, 0}, {67, 1}, {100, 1}, {134, 2}, {200, 3}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.m);
        CZelVideoSequence s;
        CTrackFileParser p(&s);
        s.SetFrameCount(1);
        PlaceCamera(s.GetFrame(0), Vec(0, 0, 0));
        std::vector<int> depths;
        for (int d = 1; d <= c.m; d++) {
            depths.push_back(d);
        }
        std::shuffle(depths.begin(), depths.end(), std::mt19937(static_cast<unsigned>(c.m)));
        for (int d : depths) {
            AddTrack(p, 0, Vec(0.5, -0.5, d), {0});
        }
        EXPECT_EQ(s.EstimateMaxDisparity(p), 1.0 / ((c.k + 1) * 0.7));
    }
}

TEST_F(MaxDisparityTest, TiedDepthsGiveTheValueAtThePosition) {
    seq.SetFrameCount(1);
    PlaceCamera(seq.GetFrame(0), Vec(0, 0, 0));
    // 303 depths: three of 1 and 300 of 5; k = 4 lands on the first 5.
    for (int i = 0; i < 300; i++) {
        AddTrack(parser, 0, Vec(0, 0, 5), {0});
    }
    AddTrack(parser, 0, Vec(0, 0, 1), {0, 0, 0});
    EXPECT_EQ(seq.EstimateMaxDisparity(parser), 1.0 / (5.0 * 0.7));
    // One fewer 5: k = 4 still, m = 302.
    parser.tracks.erase(parser.tracks.begin());
    EXPECT_EQ(seq.EstimateMaxDisparity(parser), 1.0 / (5.0 * 0.7));
    // 200 depths of 5 and four of 1: k = 3 lands on the last 1.
    parser.tracks.resize(199);
    AddTrack(parser, 0, Vec(0, 0, 1), {0, 0, 0, 0});
    EXPECT_EQ(seq.EstimateMaxDisparity(parser), 1.0 / (1.0 * 0.7));
}

// A random rotation (from a unit quaternion) as camera-to-world R, and a random centre.
void RandomPose(CZelVideoFrame* frame, std::mt19937& rng) {
    std::normal_distribution<double> normal(0.0, 1.0);
    double q[4];
    double n = 0.0;
    for (double& v : q) {
        v = normal(rng);
        n += v * v;
    }
    n = std::sqrt(n);
    const double w = q[0] / n, x = q[1] / n, y = q[2] / n, z = q[3] / n;
    const double R[9] = {1 - 2 * (y * y + z * z), 2 * (x * y - z * w),     2 * (x * z + y * w),
                         2 * (x * y + z * w),     1 - 2 * (x * x + z * z), 2 * (y * z - x * w),
                         2 * (x * z - y * w),     2 * (y * z + x * w),     1 - 2 * (x * x + y * y)};
    for (int r = 0; r < 3; r++) {
        for (int c = 0; c < 3; c++) {
            frame->camera->R(r, c) = R[3 * r + c];
        }
        frame->camera->T[r] = normal(rng) * 3.0;
    }
}

// The estimate as first defined: every depth through the frame's DepthOf, then a full sort.
double ReferenceEstimate(const CZelVideoSequence& seq, const CTrackFileParser& parser) {
    std::vector<double> depthList;
    for (const auto& track : parser.tracks) {
        if (track->status == -1 || track->status == 3) {
            continue;
        }
        for (const CTrackPoint& p : track->trackPoints) {
            if (p.frame < 0 || p.frame >= seq.GetFrameCount()) {
                continue;
            }
            const float z = seq.GetFrame(p.frame)->DepthOf(track->point);
            if (z > 1e-10) {
                depthList.push_back(z);
            }
        }
    }
    if (depthList.empty()) {
        return -1.0;
    }
    std::sort(depthList.begin(), depthList.end());
    const size_t k = static_cast<size_t>(static_cast<double>(depthList.size()) * 0.015);
    return 1.0 / (depthList[k] * 0.7);
}

TEST_F(MaxDisparityTest, EachDepthIsBitIdenticalToTheFramesDepthOf) {
    std::mt19937 rng(7);
    std::normal_distribution<double> normal(0.0, 4.0);
    seq.SetFrameCount(1);
    int checked = 0;
    for (int trial = 0; trial < 600; trial++) {
        RandomPose(seq.GetFrame(0), rng);
        parser.tracks.clear();
        AddTrack(parser, 0, Vec(normal(rng), normal(rng), normal(rng)), {0});
        const float z = seq.GetFrame(0)->DepthOf(parser.tracks[0]->point);
        const double expected = z > 1e-10 ? 1.0 / (static_cast<double>(z) * 0.7) : -1.0;
        ASSERT_EQ(seq.EstimateMaxDisparity(parser), expected) << "trial " << trial;
        checked += z > 1e-10;
    }
    EXPECT_GT(checked, 150);
}

TEST_F(MaxDisparityTest, SelectionMatchesTheFullSortOnRandomScenes) {
    std::mt19937 rng(11);
    std::normal_distribution<double> normal(0.0, 5.0);
    for (int scene = 0; scene < 20; scene++) {
        CZelVideoSequence s;
        CTrackFileParser p(&s);
        const int frames = 1 + scene % 7;
        s.SetFrameCount(frames);
        for (int i = 0; i < frames; i++) {
            RandomPose(s.GetFrame(i), rng);
        }
        const int tracks = 50 + 40 * scene;
        for (int t = 0; t < tracks; t++) {
            const int statuses[] = {0, 1, 3, -1, 0, 2};
            std::vector<int> seen;
            const int count = static_cast<int>(rng() % 6);
            for (int j = 0; j < count; j++) {
                seen.push_back(static_cast<int>(rng() % static_cast<unsigned>(frames + 3)) - 1);
            }
            AddTrack(p, statuses[rng() % 6], Vec(normal(rng), normal(rng), normal(rng)), seen);
        }
        EXPECT_EQ(s.EstimateMaxDisparity(p), ReferenceEstimate(s, p)) << "scene " << scene;
    }
}

}  // namespace
