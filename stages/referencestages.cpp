#include "stages/referencestages.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "geometry/relativeprojection.h"
#include "sequence/videoframe.h"
#include "stages/options.h"

CReferenceStages::CReferenceStages(const ZelStageOptions& opts) : options(opts) {}

bool CReferenceStages::SpanOf(const CZelVideoSequence& sequence, int first, int last, int& sFirst,
                              int& sLast, std::string* problem) const {
    sFirst = first;
    sLast = last;
    if (spanFirst >= 0 && spanLast >= spanFirst) {
        sFirst = std::max(spanFirst, 0);
        sLast = std::min(spanLast, sequence.GetFrameCount() - 1);
    }
    if (first < sFirst || last > sLast) {
        if (problem != nullptr) {
            *problem = "ERROR: frames " + std::to_string(first) + ":" + std::to_string(last) +
                       " do not lie within the run's frames " + std::to_string(sFirst) + ":" +
                       std::to_string(sLast);
        }
        return false;
    }
    return true;
}

bool CReferenceStages::CheckOptions(const ZelStageOptions& o, std::string& message) {
    for (const ZelStageOptionInfo& info : StageOptionTable()) {
        if (!StageOptionAccepted(info, StageOptionValue(info, o))) {
            message = StageOptionProblem(info);
            return false;
        }
    }
    if (!(o.minDisparity >= 0.0) || !(o.maxDisparity > o.minDisparity) ||
        !std::isfinite(o.maxDisparity)) {
        message = "ERROR: the disparity range is empty or not finite";
        return false;
    }
    return true;
}

std::vector<int> CReferenceStages::Neighbours(const CZelVideoSequence& sequence, int i) const {
    return Neighbours(sequence, i, options.neighbours);
}

std::vector<int> CReferenceStages::Neighbours(const CZelVideoSequence& sequence, int i,
                                              int limit) const {
    std::vector<int> result;
    const int N = sequence.GetFrameCount();
    const CCamera& ci = *sequence.GetFrame(i)->camera;
    double k[4];
    CameraIntrinsics(ci, CZelVideoFrame::reduced, k);
    for (int dist = 1; dist < N && static_cast<int>(result.size()) < limit; dist++) {
        for (int side = -1; side <= 1 && static_cast<int>(result.size()) < limit; side += 2) {
            const int j = i + side * dist;
            if (j < 0 || j >= N) {
                continue;
            }
            const CCamera& cj = *sequence.GetFrame(j)->camera;
            const double dx = ci.T[0] - cj.T[0];
            const double dy = ci.T[1] - cj.T[1];
            const double dz = ci.T[2] - cj.T[2];
            // The nearest point must move by a share of the picture width: frames closer than
            // that cannot tell depths apart precisely.
            const double parallax =
                std::fabs(k[0]) * std::sqrt(dx * dx + dy * dy + dz * dz) * options.maxDisparity;
            if (!(parallax >= options.minParallax * CZelVideoFrame::GetWorkingWidth())) {
                continue;
            }
            result.push_back(j);
        }
    }
    return result;
}

bool CReferenceStages::ClampRange(const CZelVideoSequence& sequence, int& first, int& last,
                                  int& sFirst, int& sLast) {
    first = std::max(first, 0);
    last = std::min(last, sequence.GetFrameCount() - 1);
    if (last < first) {
        return false;
    }
    std::string message;
    if (CheckOptions(options, message) && SpanOf(sequence, first, last, sFirst, sLast, &message)) {
        return true;
    }
    if (std::find(report.refusedRuns.begin(), report.refusedRuns.end(), message) ==
        report.refusedRuns.end()) {
        report.refusedRuns.push_back(message);
        if (progress) {
            static const std::string kNoFrame;
            progress(ZelStageProgress{"", 0, 0, -1, &kNoFrame, 0.0, &message});
        }
    }
    return false;
}

double CReferenceStages::SampleSweepPositions(CZelVideoSequence& sequence, int i) const {
    const std::vector<int> nb = Neighbours(sequence, i);
    const int W = CZelVideoFrame::GetWorkingWidth();
    const int H = CZelVideoFrame::GetWorkingHeight();
    const double step = (options.maxDisparity - options.minDisparity) / (options.levels - 1);
    const CCamera& cam = *sequence.GetFrame(i)->camera;
    double sum = 0.0;
    Vector3d rgb;
    for (int j : nb) {
        CZelVideoFrame* frame = sequence.GetFrame(j);
        frame->LoadColorImage();
        if (frame->colorImg == nullptr || frame->colorImg->GetWidth() != W ||
            frame->colorImg->GetHeight() != H) {
            continue;
        }
        const RelativeProjection rel =
            RelativeProjection::Between(cam, *frame->camera, CZelVideoFrame::reduced);
        for (int l = 0; l < options.levels; l++) {
            const double d = options.minDisparity + l * step;
            for (int y = 0; y < H; y++) {
                for (int x = 0; x < W; x++) {
                    double q[3];
                    rel.Project(x, y, d, q);
                    double u = q[2] > 1e-9 ? q[0] / q[2] : 0.0;
                    double v = q[2] > 1e-9 ? q[1] / q[2] : 0.0;
                    u = std::min(std::max(u, 0.0), W - 1.0);
                    v = std::min(std::max(v, 0.0), H - 1.0);
                    frame->GetColor(u, v, rgb);
                    sum += rgb[0];
                }
            }
        }
    }
    for (int j : nb) {
        sequence.GetFrame(j)->ReleaseColorImage();
    }
    return sum;
}

bool EstimateSweepRange(const CZelVideoSequence& sequence, const CTrackFileParser& parser,
                        double& minDisparity, double& maxDisparity) {
    const double estimate = sequence.EstimateMaxDisparity(parser);
    if (!(estimate > 0.0) || !std::isfinite(estimate)) {
        return false;
    }
    minDisparity = 0.0;
    maxDisparity = estimate;
    return true;
}
