// Feature tracks: observation access and the sharing of tracks and per-frame lists.
#include <gtest/gtest.h>

#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "parser/featuretracks.h"
#include "sequence/videoframe.h"

namespace {

// Stands in for the parser's store: tracks and one shared observation list per frame.
struct TrackStore {
    std::vector<std::shared_ptr<CMatchLinker>> tracks;
    std::vector<std::shared_ptr<std::vector<CMatchPoint>>> frameMatchPoints;

    // Adds a track at (X, Y, Z) observed at the given frames, keeping both views linked.
    void AddTrack(double X, double Y, double Z, const std::vector<int>& frames) {
        auto track = std::make_shared<CMatchLinker>();
        track->id = 100 + static_cast<int>(tracks.size());
        track->index = static_cast<int>(tracks.size());
        track->status = 0;
        track->point[0] = X;
        track->point[1] = Y;
        track->point[2] = Z;
        track->SetTrackPointCount(static_cast<unsigned>(frames.size()));
        for (unsigned j = 0; j < frames.size(); j++) {
            auto& list = frameMatchPoints[static_cast<size_t>(frames[j])];
            if (!list) {
                list = std::make_shared<std::vector<CMatchPoint>>();
            }
            CTrackPoint& p = track->GetTrackPoint(j);
            p.frame = frames[j];
            p.index = static_cast<int>(list->size());
            p.x = 10.0 * j;
            p.y = X;
            list->emplace_back(p.x, p.y, track);
        }
        tracks.push_back(track);
    }
};

}  // namespace

TEST(CMatchLinker, TrackPointsStartAtZeroAndIndexIsChecked) {
    CMatchLinker track;
    EXPECT_EQ(track.GetTrackPointCount(), 0u);
    track.SetTrackPointCount(3);
    ASSERT_EQ(track.GetTrackPointCount(), 3u);
    for (unsigned i = 0; i < 3; i++) {
        const CTrackPoint& p = track.GetTrackPoint(i);
        EXPECT_EQ(p.frame, 0);
        EXPECT_EQ(p.index, 0);
        EXPECT_EQ(p.x, 0.0);
        EXPECT_EQ(p.y, 0.0);
    }
    track.GetTrackPoint(2).x = 4.5;
    EXPECT_EQ(track.trackPoints.back().x, 4.5);

    for (unsigned bad : {3u, static_cast<unsigned>(-1)}) {
        try {
            track.GetTrackPoint(bad);
            ADD_FAILURE() << "index " << bad << " did not throw";
        } catch (const std::exception& e) {
            EXPECT_STREQ(e.what(), "ERROR:CTrackPoint::index out of range!") << "index " << bad;
        }
    }
    CMatchLinker empty;
    EXPECT_THROW(empty.GetTrackPoint(0), std::exception);
}

TEST(FeatureTracks, FrameListsKeepTheirTracksAfterTheStoreIsGone) {
    std::weak_ptr<CMatchLinker> unobserved;
    CZelVideoFrame frame1;
    {
        TrackStore store;
        store.frameMatchPoints.resize(3);
        store.AddTrack(1, 2, 3, {0, 1});
        store.AddTrack(4, 5, 6, {1, 2, 1});
        store.AddTrack(7, 8, 9, {});  // seen in no frame
        unobserved = store.tracks[2];
        frame1.matchPoints = store.frameMatchPoints[1];
        EXPECT_EQ(store.frameMatchPoints[1].use_count(), 2);
    }
    // The store is gone: the frame's list and every track it names are intact.
    EXPECT_TRUE(unobserved.expired()) << "a track with no observation dies with the store";
    ASSERT_TRUE(frame1.matchPoints);
    EXPECT_EQ(frame1.matchPoints.use_count(), 1);
    const std::vector<CMatchPoint>& list = *frame1.matchPoints;
    ASSERT_EQ(list.size(), 3u);
    // Reading order: track by track, and within a track in observation order.
    EXPECT_EQ(list[0].linker->index, 0);
    EXPECT_EQ(list[1].linker->index, 1);
    EXPECT_EQ(list[2].linker, list[1].linker);
    for (size_t k = 0; k < list.size(); k++) {
        const CMatchLinker& track = *list[k].linker;
        bool found = false;
        for (const CTrackPoint& p : track.trackPoints) {
            if (p.frame == 1 && p.index == static_cast<int>(k)) {
                found = true;
                EXPECT_EQ(p.x, list[k].x) << "match point " << k;
                EXPECT_EQ(p.y, list[k].y) << "match point " << k;
            }
        }
        EXPECT_TRUE(found) << "match point " << k << " has no track point naming it";
    }
    const CMatchLinker& second = *list[1].linker;
    EXPECT_EQ(second.point[2], 6.0);
    EXPECT_EQ(second.GetTrackPointCount(), 3u);
    EXPECT_EQ(second.id, 101);
}
