#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "parser/trackfileparser.h"
#include "sequence/videoframe.h"
#include "sequence/videosequence.h"

namespace {

// Depths are grouped by the top 17 bits of their float pattern (the sign bit is always clear):
// 2^16 buckets, each 1/256 of a power of two wide.
const int kBucketShift = 15;
const size_t kBuckets = size_t{1} << 16;

// The third row of a frame's world-to-camera transform, formed exactly as
// CCamera::WorldToCamera forms it (InvertRigid), so that DepthOfPoint below gives the
// same float as CZelVideoFrame::DepthOf without rebuilding M and t for every observation.
struct DepthRow {
    double m0, m1, m2, t;
};

DepthRow MakeDepthRow(const CCamera& camera) {
    const RigidInverse toCamera = InvertRigid(camera.R, camera.T);
    return DepthRow{toCamera.R(2, 0), toCamera.R(2, 1), toCamera.R(2, 2), toCamera.T[2]};
}

// The same additions in the same order as CCamera::WorldToCamera's z.
float DepthOfPoint(const DepthRow& row, const Vector3d& X) {
    double sum = 0.0;
    sum += row.m0 * X[0];
    sum += row.m1 * X[1];
    sum += row.m2 * X[2];
    return static_cast<float>(sum + row.t);
}

// The order key of a depth: for floats above zero (no NaN, no sign), the bit pattern read as an
// unsigned integer grows with the value, so its top bits group the depths into ordered buckets.
uint32_t BucketOf(float z) {
    uint32_t bits;
    std::memcpy(&bits, &z, sizeof(bits));
    return bits >> kBucketShift;
}

}  // namespace

double CZelVideoSequence::EstimateMaxDisparity(const CTrackFileParser& parser) const {
    if (parser.tracks.empty()) {
        return -1.0;
    }

    std::vector<DepthRow> rows(static_cast<size_t>(std::max(frameCount, 0)));
    for (size_t n = 0; n < rows.size(); n++) {
        rows[n] = MakeDepthRow(*GetFrame(static_cast<int>(n))->camera);
    }

    size_t observations = 0;
    for (const auto& track : parser.tracks) {
        observations += track->trackPoints.size();
    }
    // Every collected depth is a float, so a float list holds each value exactly.
    std::vector<float> depthList;
    depthList.reserve(observations);
    std::vector<uint32_t> histogram(kBuckets);

    for (const auto& track : parser.tracks) {
        if (track->status == -1 || track->status == 3) {
            continue;
        }
        const Vector3d pt3d = track->point;
        for (const CTrackPoint& p : track->trackPoints) {
            // Observations that name no frame of the sequence (either side) do not count.
            if (p.frame < 0 || p.frame >= frameCount) {
                continue;
            }
            const float z = DepthOfPoint(rows[static_cast<size_t>(p.frame)], pt3d);
            if (z > 1e-10) {
                depthList.push_back(z);
                histogram[BucketOf(z)]++;
            }
        }
    }
    if (depthList.empty()) {
        return -1.0;
    }

    // The 1.5th percentile: the k-th smallest depth (0-based), the value a full sort would put
    // at position k. The histogram names the bucket that holds it; a selection inside that
    // bucket finds it.
    const double m = static_cast<double>(depthList.size());
    const size_t k = static_cast<size_t>(m * 0.015);
    size_t below = 0;
    size_t bucket = 0;
    while (below + histogram[bucket] <= k) {
        below += histogram[bucket];
        bucket++;
    }
    std::vector<float> candidates;
    candidates.reserve(histogram[bucket]);
    for (float z : depthList) {
        if (BucketOf(z) == bucket) {
            candidates.push_back(z);
        }
    }
    const size_t rank = k - below;
    std::nth_element(candidates.begin(), candidates.begin() + static_cast<ptrdiff_t>(rank),
                     candidates.end());
    const double zk = candidates[rank];
    const double margin = zk * 0.7;
    return 1.0 / margin;
}
