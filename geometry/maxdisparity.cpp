#include <algorithm>
#include <cstddef>
#include <vector>

#include "parser/trackfileparser.h"
#include "sequence/videoframe.h"
#include "sequence/videosequence.h"

namespace {

// The third row of a frame's world-to-camera transform, formed exactly as
// CCamera::WorldToCamera forms it (M = R^T, t = (-M) * T), so that DepthOfPoint below gives the
// same float as CZelVideoFrame::DepthOf without rebuilding M and t for every observation.
struct DepthRow {
    double m0, m1, m2, t;
};

DepthRow MakeDepthRow(const CCamera& camera) {
    const Matrix3d M = camera.R.Transpose();
    const Vector3d t = (-M) * camera.T;
    return DepthRow{M(2, 0), M(2, 1), M(2, 2), t[2]};
}

// The same additions in the same order as CCamera::WorldToCamera's z.
float DepthOfPoint(const DepthRow& row, const Vector3d& X) {
    double sum = 0.0;
    sum += row.m0 * X[0];
    sum += row.m1 * X[1];
    sum += row.m2 * X[2];
    return static_cast<float>(sum + row.t);
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
    std::vector<double> depthList;
    depthList.reserve(observations);

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
            }
        }
    }
    if (depthList.empty()) {
        return -1.0;
    }

    // The 1.5th percentile: the k-th smallest depth, which a selection finds as a full sort
    // would.
    const double m = static_cast<double>(depthList.size());
    const size_t k = static_cast<size_t>(m * 0.015);
    std::nth_element(depthList.begin(), depthList.begin() + static_cast<ptrdiff_t>(k),
                     depthList.end());
    const double zk = depthList[k];
    const double margin = zk * 0.7;
    return 1.0 / margin;
}
