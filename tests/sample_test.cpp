// The bundled sample project and the generator's other scenes: each parses cleanly, every
// observation is the projection of its track's point through the parsed camera, and the
// ground-truth disparity agrees with the tracks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "imagelib/ximage.h"
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
// The ground truth is read from truthDir, by default groundtruth/ beside the project file.
void CheckScene(const std::string& project, int width, int height, int frames,
                std::string truthDir = "") {
    SCOPED_TRACE(project);
    if (truthDir.empty()) {
        truthDir = Directory(project) + "groundtruth/";
    }
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
        const std::string path = truthDir + "_depth" + std::to_string(i) + ".raw";
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
                                                 {"--scene", "cave", dir},
                                                 {"--noise", "-1", dir},
                                                 {"--noise", "65", dir},
                                                 {"--noise", "nan", dir},
                                                 {"--noise", " 2", dir},
                                                 {"--gain", "0.6", dir},
                                                 {"--gain=0.1x", dir},
                                                 {"--pose-noise", "11", dir},
                                                 {"--jpeg", "0", dir},
                                                 {"--jpeg", "101", dir},
                                                 {"--jpeg", "8.5", dir},
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

// The samples of a picture, rows top first, red, green and blue.
std::vector<int> Samples(const std::string& path) {
    CxImage image;
    EXPECT_TRUE(image.Load(path.c_str(), CXIMAGE_FORMAT_UNKNOWN)) << path;
    std::vector<int> samples;
    for (long y = static_cast<long>(image.GetHeight()) - 1; y >= 0; y--) {
        for (long x = 0; x < static_cast<long>(image.GetWidth()); x++) {
            const RGBQUAD c = image.GetPixelColor(x, y, false);
            samples.insert(samples.end(), {c.rgbRed, c.rgbGreen, c.rgbBlue});
        }
    }
    return samples;
}

// Writes a scene with the options (and a small picture size) into a fresh temporary directory.
std::string Make(const std::string& name, std::vector<std::string> args) {
    const std::string dir = testutil::TempPath(name);
    std::filesystem::remove_all(dir);
    args.push_back(dir);
    const auto run = MakeSample(args);
    EXPECT_EQ(run.status, 0) << run.err;
    return dir;
}

// Noise of the given deviation with mean 0, one gain factor per frame within its bounds, each
// effect from its own stream (the noise is the same with and without the gain), the same bytes
// for the same options and the clean ground truth.
TEST(Sample, NoiseAndGainFollowTheirOwnStreams) {
    const std::vector<std::string> small = {"--size", "64x48", "--frames", "3"};
    auto with = [&small](std::vector<std::string> args) {
        args.insert(args.end(), small.begin(), small.end());
        return args;
    };
    const std::string clean = Make("clean", with({}));
    const std::string noisy = Make("noisy", with({"--noise", "8"}));
    const std::string again = Make("noisy_again", with({"--noise=8"}));
    const std::string gained = Make("gained", with({"--gain", "0.2"}));
    const std::string both = Make("gained_noisy", with({"--gain", "0.2", "--noise", "8"}));
    EXPECT_EQ(testutil::ReadFile(clean + "/groundtruth/_depth1.raw"),
              testutil::ReadFile(both + "/groundtruth/_depth1.raw"));
    for (int i = 0; i < 3; i++) {
        const std::string name = "/img000" + std::to_string(i) + ".bmp";
        SCOPED_TRACE(name);
        EXPECT_EQ(testutil::ReadFile(noisy + name), testutil::ReadFile(again + name));
        const std::vector<int> c = Samples(clean + name);
        const std::vector<int> n = Samples(noisy + name);
        const std::vector<int> g = Samples(gained + name);
        const std::vector<int> b = Samples(both + name);
        ASSERT_EQ(c.size(), 64u * 48u * 3u);
        ASSERT_TRUE(n.size() == c.size() && g.size() == c.size() && b.size() == c.size());
        double count = 0, sum = 0, squares = 0;
        double pairs = 0, e11 = 0, e22 = 0, e12 = 0;
        double lowest = 2, highest = 0;
        for (size_t k = 0; k < c.size(); k++) {
            if (c[k] < 40 || c[k] > 215) {
                continue;  // where clamping may cut the noise
            }
            const double e1 = n[k] - c[k];
            count++, sum += e1, squares += e1 * e1;
            if (c[k] >= 50 && g[k] < 255) {
                lowest = std::min(lowest, static_cast<double>(g[k]) / c[k]);
                highest = std::max(highest, static_cast<double>(g[k]) / c[k]);
            }
            if (g[k] >= 40 && g[k] <= 215) {
                const double e2 = b[k] - g[k];
                pairs++, e11 += e1 * e1, e22 += e2 * e2, e12 += e1 * e2;
            }
        }
        ASSERT_GT(count, 3000);
        ASSERT_GT(pairs, 3000);
        const double mean = sum / count;
        EXPECT_NEAR(mean, 0.0, 0.3);
        EXPECT_NEAR(std::sqrt(squares / count - mean * mean), 8.0, 0.3);
        // One factor for the frame: the ratios differ only by the rounding (0.5 / 50).
        EXPECT_GE(lowest, 0.8 - 0.01);
        EXPECT_LE(highest, 1.2 + 0.01);
        EXPECT_LE(highest - lowest, 0.0201);
        EXPECT_GT(e12 / std::sqrt(e11 * e22), 0.99);
    }
}

// A project file's cameras (R | T, row by row) and observations (u, v), in file order.
struct ToldProject {
    std::vector<std::vector<double>> cameras;
    std::vector<std::pair<double, double>> observations;
};

ToldProject ReadTold(const std::string& path) {
    ToldProject told;
    std::istringstream text(testutil::ReadFile(path));
    std::string line;
    bool cameras = false;
    while (std::getline(text, line)) {
        cameras = cameras || line == "<Camera Track>";
        std::istringstream words(line);
        std::vector<double> numbers;
        double x = 0;
        while (words >> x) {
            numbers.push_back(x);
        }
        if (cameras && numbers.size() == 4) {
            if (told.cameras.empty() || told.cameras.back().size() == 12) {
                told.cameras.emplace_back();
            }
            told.cameras.back().insert(told.cameras.back().end(), numbers.begin(), numbers.end());
        } else if (!cameras && numbers.size() == 3) {
            told.observations.emplace_back(numbers[1], numbers[2]);
        }
    }
    return told;
}

// The centre -R^T T of a camera read by ReadTold.
std::vector<double> Centre(const std::vector<double>& m) {
    std::vector<double> c(3, 0.0);
    for (int i = 0; i < 3; i++) {
        for (int r = 0; r < 3; r++) {
            c[i] -= m[r * 4 + i] * m[r * 4 + 3];
        }
    }
    return c;
}

// --pose-noise changes what project.txt tells, by the amounts asked for, and nothing else: the
// pictures, the ground truth and the true project beside it stay those of the clean scene, and
// the true project can be run from groundtruth/.
TEST(Sample, PoseNoiseDisturbsOnlyTheToldCameras) {
    const std::vector<std::string> options = {"--size", "96x72", "--frames", "12"};
    std::vector<std::string> noisy = options;
    noisy.insert(noisy.end(), {"--pose-noise", "2"});
    const std::string clean = Make("pose_clean", options);
    const std::string posed = Make("pose_noisy", noisy);
    for (const char* name :
         {"/img0005.bmp", "/groundtruth/_depth5.raw", "/groundtruth/project.txt"}) {
        EXPECT_EQ(testutil::ReadFile(clean + name), testutil::ReadFile(posed + name)) << name;
    }
    EXPECT_NE(testutil::ReadFile(clean + "/groundtruth/project.txt")
                  .find("\nSequence:./../img0000.bmp\n"),
              std::string::npos);
    CheckScene(posed + "/groundtruth/project.txt", 96, 72, 12, posed + "/groundtruth/");

    const ToldProject truth = ReadTold(clean + "/project.txt");
    const ToldProject told = ReadTold(posed + "/project.txt");
    ASSERT_EQ(truth.cameras.size(), 12u);
    ASSERT_EQ(told.cameras.size(), 12u);
    ASSERT_EQ(told.observations.size(), truth.observations.size());
    ASSERT_GT(truth.observations.size(), 1000u);
    double baseline = 0, angles = 0, shifts = 0, moves = 0;
    for (size_t i = 0; i < 12; i++) {
        const std::vector<double>& a = truth.cameras[i];
        const std::vector<double>& b = told.cameras[i];
        double trace = 0;  // of R_told R_true^T
        for (int r = 0; r < 3; r++) {
            for (int k = 0; k < 3; k++) {
                trace += b[r * 4 + k] * a[r * 4 + k];
            }
        }
        const double angle =
            std::acos(std::clamp((trace - 1) / 2, -1.0, 1.0)) * 180 / 3.14159265358979;
        angles += angle * angle;
        const std::vector<double> ca = Centre(a);
        const std::vector<double> cb = Centre(b);
        for (int k = 0; k < 3; k++) {
            shifts += (ca[k] - cb[k]) * (ca[k] - cb[k]);
        }
        if (i > 0) {
            const std::vector<double> previous = Centre(truth.cameras[i - 1]);
            double step = 0;
            for (int k = 0; k < 3; k++) {
                step += (ca[k] - previous[k]) * (ca[k] - previous[k]);
            }
            baseline += std::sqrt(step) / 11;
        }
    }
    for (size_t k = 0; k < told.observations.size(); k++) {
        const double du = told.observations[k].first - truth.observations[k].first;
        const double dv = told.observations[k].second - truth.observations[k].second;
        moves += du * du + dv * dv;
    }
    // RMS rotation about S = 2 degrees, centre shift about S baselines, 0.5 pixels a coordinate
    // (twelve draws of each of the first two: loose bounds).
    EXPECT_NEAR(std::sqrt(angles / 12), 2.0, 1.0);
    EXPECT_NEAR(std::sqrt(shifts / 12) / baseline, 2.0, 0.8);
    EXPECT_NEAR(std::sqrt(moves / (2.0 * static_cast<double>(told.observations.size()))), 0.5,
                0.05);
}

// The plain room seen by the orbiting camera is as consistent as the other scenes and weakly
// textured; JPEG frames are named in the project and read by the picture layer.
TEST(Sample, PlainOrbitAndJpegScenes) {
    const std::vector<std::string> options = {"--size", "96x72", "--frames", "8"};
    auto with = [&options](std::vector<std::string> args) {
        args.insert(args.end(), options.begin(), options.end());
        return args;
    };
    const std::string plain = Make("plain_orbit", with({"--scene", "plain", "--motion", "orbit"}));
    CheckScene(plain + "/project.txt", 96, 72, 8);
    const std::string orbit = Make("orbit", with({"--motion=orbit"}));
    CheckScene(orbit + "/project.txt", 96, 72, 8);

    // The median over 5 x 5 windows of the span of grey levels in a window.
    auto medianSpan = [](const std::vector<int>& rgb) {
        std::vector<int> spans;
        for (int y = 0; y + 5 <= 72; y += 5) {
            for (int x = 0; x + 5 <= 96; x += 5) {
                int lo = 255, hi = 0;
                for (int j = 0; j < 25; j++) {
                    const size_t k = 3 * static_cast<size_t>((y + j / 5) * 96 + x + j % 5);
                    const int grey = (rgb[k] + rgb[k + 1] + rgb[k + 2]) / 3;
                    lo = std::min(lo, grey), hi = std::max(hi, grey);
                }
                spans.push_back(hi - lo);
            }
        }
        std::nth_element(spans.begin(), spans.begin() + spans.size() / 2, spans.end());
        return spans[spans.size() / 2];
    };
    EXPECT_LE(medianSpan(Samples(plain + "/img0004.bmp")), 6);
    EXPECT_GT(medianSpan(Samples(orbit + "/img0004.bmp")), 12);

#if ZEL_HAVE_JPEG
    const std::string clean = Make("jpeg_clean", options);
    const std::string jpeg = Make("jpeg", with({"--jpeg", "90"}));
    EXPECT_TRUE(std::filesystem::exists(jpeg + "/img0007.jpg"));
    EXPECT_FALSE(std::filesystem::exists(jpeg + "/img0000.bmp"));
    EXPECT_NE(testutil::ReadFile(jpeg + "/project.txt").find("Sequence:./img0000.jpg\n"),
              std::string::npos);
    CheckScene(jpeg + "/project.txt", 96, 72, 8);
    const std::vector<int> a = Samples(clean + "/img0003.bmp");
    const std::vector<int> b = Samples(jpeg + "/img0003.jpg");
    ASSERT_EQ(a.size(), b.size());
    // Lossy but close: the busy texture of a small picture costs a few grey levels on average
    // at quality 90, and neither the rows nor the channels are swapped (that would cost tens).
    double error = 0, bias = 0;
    for (size_t k = 0; k < a.size(); k++) {
        error += std::abs(a[k] - b[k]);
        bias += a[k] - b[k];
    }
    error /= static_cast<double>(a.size());
    bias /= static_cast<double>(a.size());
    EXPECT_GT(error, 0.0);
    EXPECT_LT(error, 8.0);
    EXPECT_LT(std::fabs(bias), 1.0);
#else
    const auto run = MakeSample({"--jpeg", "90", testutil::TempPath("jpeg")});
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("ERROR: --jpeg needs libjpeg"), std::string::npos) << run.err;
#endif
}

}  // namespace
