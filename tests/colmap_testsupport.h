// What the COLMAP tests share: a project parsed quietly, and recovered cameras compared with the
// true ones.
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "parser/trackfileparser.h"
#include "platform/platform.h"
#include "sequence/videoframe.h"
#include "sequence/videosequence.h"
#include "tests/similarity_util.h"
#include "tests/test_util.h"

namespace testutil {

// A project file parsed with the parser's output captured and its traces silenced; ok tells
// whether it parsed.
struct ParsedProject {
    CZelVideoSequence sequence;
    std::unique_ptr<CTrackFileParser> parser;
    bool ok = false;
    explicit ParsedProject(const std::string& path) : parser(new CTrackFileParser(&sequence)) {
        SetDiagnosticSink([](const char*) {});
        testutil::CaptureStdout([&] { ok = parser->Parse(path.c_str()); });
        SetDiagnosticSink(nullptr);
    }
};

// The worst errors of the recovered cameras against the true ones.
struct CameraErrors {
    double worstAngle = 0.0;   // degrees
    double worstCentre = 0.0;  // a share of the true path's length
};

// Compares each frame's recovered camera with the true one after sim maps the recovered world
// onto the true one (from and to are the recovered and the true centres): the rotation angle and
// the centre's distance as a share of pathLength are expected below maxAngle and maxCentre.
inline CameraErrors CompareCameras(const CZelVideoSequence& recovered,
                                   const CZelVideoSequence& truth, const Similarity& sim,
                                   const std::vector<Vec3>& from, const std::vector<Vec3>& to,
                                   double pathLength, double maxAngle, double maxCentre) {
    CameraErrors errors;
    for (int i = 0; i < truth.GetFrameCount(); i++) {
        const size_t k = static_cast<size_t>(i);
        const double angle = RotationAngleDegrees(truth.GetFrame(i)->camera->R, sim,
                                                  recovered.GetFrame(i)->camera->R);
        const double centre = Norm(Sub(sim.Apply(from[k]), to[k])) / pathLength;
        errors.worstAngle = std::max(errors.worstAngle, angle);
        errors.worstCentre = std::max(errors.worstCentre, centre);
        EXPECT_LT(angle, maxAngle) << "frame " << i;
        EXPECT_LT(centre, maxCentre) << "frame " << i;
    }
    return errors;
}

}  // namespace testutil
