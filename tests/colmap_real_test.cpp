// Real COLMAP, end to end: COLMAP reconstructs the bundled sample's 30 frames (features, exhaustive
// matching, incremental mapping, on the CPU without a display), zel_import_colmap turns the model
// into a project, the library parses it, and the cameras and tracks are compared with the
// sample's truth after the best similarity transform between the camera centres.
//
// Without colmap on the PATH the test is skipped with a message, except when the environment
// variable CI is set: there it must run, so it fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "parser/trackfileparser.h"
#include "sequence/videoframe.h"
#include "sequence/videosequence.h"
#include "tests/colmap_testsupport.h"
#include "tests/process_util.h"
#include "tests/similarity_util.h"
#include "tests/test_util.h"

namespace fs = std::filesystem;
using testutil::Align;
using testutil::Similarity;
using testutil::Vec3;

namespace {

const std::string kImport = ZEL_IMPORT_EXE;
const std::string kSampleDir = ZEL_SAMPLE_DIR;
constexpr int kFrames = 30;

bool OnPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    if (path == nullptr) {
        return false;
    }
#ifdef _WIN32
    const char separator = ';';
    const std::string suffix = ".exe";
#else
    const char separator = ':';
    const std::string suffix;
#endif
    std::string list = path;
    size_t begin = 0;
    while (begin <= list.size()) {
        size_t end = list.find(separator, begin);
        if (end == std::string::npos) {
            end = list.size();
        }
        std::error_code ec;
        const fs::path candidate = fs::path(list.substr(begin, end - begin)) / (program + suffix);
        if (end > begin && fs::is_regular_file(candidate, ec)) {
            return true;
        }
        begin = end + 1;
    }
    return false;
}

Vec3 Centre(const CZelVideoFrame& frame) {
    return {{frame.camera->T[0], frame.camera->T[1], frame.camera->T[2]}};
}

std::string Tail(const std::string& text) {
    return text.size() > 2000 ? text.substr(text.size() - 2000) : text;
}

TEST(ColmapReal, SampleReconstructionImportsCloseToTheTruth) {
#ifdef _WIN32
    GTEST_SKIP() << "COLMAP is run by the native build's test; the Windows build checks the "
                    "readers and the importer on models written by the tests";
#endif
    if (!OnPath("colmap")) {
        if (std::getenv("CI") != nullptr) {
            FAIL() << "colmap is not installed, and CI must run this test (.ci/run installs it)";
        }
        GTEST_SKIP() << "colmap is not on the PATH: the end-to-end COLMAP test is skipped "
                        "(Debian: apt-get install colmap)";
    }
#ifdef _WIN32
    _putenv_s("QT_QPA_PLATFORM", "offscreen");
#else
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
#endif
    const std::string dir = testutil::TempPath("e2e");
    fs::remove_all(dir);
    fs::create_directories(dir + "/sparse");
    // Only the frames: the sample folder may also hold pictures that other tests wrote.
    std::string list;
    for (int i = 0; i < kFrames; i++) {
        char name[32];
        std::snprintf(name, sizeof(name), "img%04d.bmp\n", i);
        list += name;
    }
    testutil::WriteFile(dir + "/list.txt", list);
    const std::string db = dir + "/db.db";
    const std::vector<std::vector<std::string>> steps = {
        {"feature_extractor", "--database_path", db, "--image_path", kSampleDir,
         "--image_list_path", dir + "/list.txt", "--ImageReader.single_camera", "1",
         "--ImageReader.camera_model", "SIMPLE_PINHOLE", "--SiftExtraction.use_gpu", "0"},
        {"exhaustive_matcher", "--database_path", db, "--SiftMatching.use_gpu", "0"},
        {"mapper", "--database_path", db, "--image_path", kSampleDir, "--image_list_path",
         dir + "/list.txt", "--output_path", dir + "/sparse"},
    };
    for (const auto& args : steps) {
        std::fprintf(stderr, "colmap %s\n", args[0].c_str());
        const auto r = testutil::RunProcess("colmap", args);
        ASSERT_EQ(r.status, 0) << "colmap " << args[0] << " failed:\n" << Tail(r.out + r.err);
    }
    ASSERT_TRUE(fs::exists(dir + "/sparse/0/images.bin")) << "COLMAP made no model";
    EXPECT_FALSE(fs::exists(dir + "/sparse/1")) << "COLMAP split the frames into several models";

    const auto imported =
        testutil::RunProcess(kImport, {dir + "/sparse/0", kSampleDir, dir + "/project.txt"});
    ASSERT_EQ(imported.status, 0) << imported.out;
    std::fprintf(stderr, "%s", imported.out.c_str());

    CZelVideoSequence truth;
    CTrackFileParser truthParser(&truth);
    CZelVideoSequence colmap;
    CTrackFileParser colmapParser(&colmap);
    bool parsed = false;
    testutil::CaptureStdout([&] {
        parsed = truthParser.Parse((kSampleDir + "/project.txt").c_str()) &&
                 colmapParser.Parse((dir + "/project.txt").c_str());
    });
    ASSERT_TRUE(parsed);
    ASSERT_EQ(truth.GetFrameCount(), kFrames);
    ASSERT_EQ(colmap.GetFrameCount(), kFrames) << "not every frame was registered and imported";

    std::vector<Vec3> from;
    std::vector<Vec3> to;
    double pathLength = 0.0;
    for (int i = 0; i < kFrames; i++) {
        from.push_back(Centre(*colmap.GetFrame(i)));
        to.push_back(Centre(*truth.GetFrame(i)));
        if (i > 0) {
            pathLength += Norm(Sub(to[static_cast<size_t>(i)], to[static_cast<size_t>(i - 1)]));
        }
    }
    const Similarity sim = Align(from, to);

    // Camera-to-world rotations: the truth's against Q times COLMAP's.
    const testutil::CameraErrors cameras =
        testutil::CompareCameras(colmap, truth, sim, from, to, pathLength, 1.5, 0.01);
    const double worstAngle = cameras.worstAngle;
    const double worstCentre = cameras.worstCentre;

    // Tracks seen in frame 0: the point's disparity in the true frame-0 camera against the true
    // disparity map at the observation.
    const std::string depth = testutil::ReadFile(kSampleDir + "/groundtruth/_depth0.raw");
    const int W = CZelVideoFrame::imageWidth;
    const int H = CZelVideoFrame::imageHeight;
    ASSERT_EQ(depth.size(), static_cast<size_t>(W) * H * 4);
    auto trueDisparity = [&depth, W](int x, int y) {
        float v = 0.0f;
        std::memcpy(&v, depth.data() + (static_cast<size_t>(y) * W + x) * 4, 4);
        return static_cast<double>(v);
    };
    const CCamera& camera0 = *truth.GetFrame(0)->camera;
    std::vector<double> errors;
    for (const auto& track : colmapParser.tracks) {
        for (const CTrackPoint& p : track->trackPoints) {
            if (p.frame != 0 || p.x < 0 || p.y < 0 || p.x > W - 1 || p.y > H - 1) {
                continue;
            }
            const Vec3 X = sim.Apply({{track->point[0], track->point[1], track->point[2]}});
            Vector3d world;
            for (int k = 0; k < 3; k++) {
                world[k] = X[k];
            }
            Vector3d c;
            camera0.WorldToCamera(c, world);
            const int x0 = static_cast<int>(p.x);
            const int y0 = static_cast<int>(p.y);
            const int x1 = std::min(x0 + 1, W - 1);
            const int y1 = std::min(y0 + 1, H - 1);
            const double dx = p.x - x0;
            const double dy = p.y - y0;
            const double truthValue =
                (trueDisparity(x0, y0) * (1 - dx) + trueDisparity(x1, y0) * dx) * (1 - dy) +
                (trueDisparity(x0, y1) * (1 - dx) + trueDisparity(x1, y1) * dx) * dy;
            errors.push_back(std::fabs(1.0 / c[2] - truthValue) / truthValue);
        }
    }
    ASSERT_GE(errors.size(), 20u) << "too few tracks observed in frame 0";
    std::nth_element(errors.begin(), errors.begin() + static_cast<long>(errors.size() / 2),
                     errors.end());
    const double median = errors[errors.size() / 2];
    EXPECT_LT(median, 0.02);
    std::fprintf(stderr,
                 "COLMAP against the truth: worst rotation %.3f deg, worst centre %.3f %% of the "
                 "path, median disparity error %.3f %% over %zu frame-0 observations (scale "
                 "%.4f)\n",
                 worstAngle, 100 * worstCentre, 100 * median, errors.size(), sim.s);
    RecordProperty("worst_rotation_deg", std::to_string(worstAngle));
    RecordProperty("worst_centre_percent", std::to_string(100 * worstCentre));
    RecordProperty("median_disparity_error_percent", std::to_string(100 * median));
}

}  // namespace
