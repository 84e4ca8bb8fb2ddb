// COLMAP models in and out: the readers on good and broken files, the two programs on the
// bundled sample (exported and imported again) and on a table of bad models.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "interop/colmap.h"
#include "interop/colmap_project.h"
#include "parser/trackfileparser.h"
#include "platform/platform.h"
#include "sequence/videoframe.h"
#include "sequence/videosequence.h"
#include "tests/colmap_testsupport.h"
#include "tests/process_util.h"
#include "tests/support/colmap_model.h"
#include "tests/test_util.h"

using namespace zelinterop;
namespace fs = std::filesystem;

namespace {

const std::string kImport = ZEL_IMPORT_EXE;
const std::string kExport = ZEL_EXPORT_EXE;
const std::string kSampleDir = ZEL_SAMPLE_DIR;

void WriteModel(const std::string& dir, const ColmapFiles& files, bool binary) {
    fs::remove_all(dir);
    const std::string ext = binary ? ".bin" : ".txt";
    testutil::WriteFile(dir + "/cameras" + ext, files.cameras);
    testutil::WriteFile(dir + "/images" + ext, files.images);
    testutil::WriteFile(dir + "/points3D" + ext, files.points3D);
}

// A folder with copies of the sample's first four frames.
std::string ImageDir() {
    const std::string dir = testutil::TempPath("imgs");
    for (int i = 0; i < 4; i++) {
        const std::string name = "/img000" + std::to_string(i) + ".bmp";
        if (!fs::exists(dir + name)) {
            // The tests of this program share the pictures and may run at once: on Windows the
            // rename into place fails while another one has the picture open, and then the
            // picture is there already.
            try {
                testutil::WriteFile(dir + name, testutil::ReadFile(kSampleDir + name));
            } catch (const fs::filesystem_error&) {
                if (!fs::exists(dir + name)) {
                    throw;
                }
            }
        }
    }
    return dir;
}

std::vector<std::string> LinesStartingWith(const std::string& text, const std::string& prefix) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, prefix.size(), prefix) == 0) {
            lines.push_back(line);
        }
    }
    return lines;
}

using Parsed = testutil::ParsedProject;

TEST(ColmapReader, TextToBinaryReadsBackIdentically) {
    for (const ColmapModel& model : {testutil::ThreeFrameModel(), ColmapModel()}) {
        const ColmapFiles text = FormatColmapText(model);
        ColmapModel fromText;
        std::string error;
        ASSERT_TRUE(ParseColmapText(text, fromText, error)) << error;
        EXPECT_TRUE(fromText == model);
        ColmapModel fromBinary;
        ASSERT_TRUE(ParseColmapBinary(FormatColmapBinary(fromText), fromBinary, error)) << error;
        EXPECT_TRUE(fromBinary == model);
    }
}

// Every cut of every binary file fails with the file's name and a byte offset, never more.
TEST(ColmapReader, TruncatedBinaryFailsAtEverySection) {
    const ColmapFiles whole = FormatColmapBinary(testutil::ThreeFrameModel());
    for (int which = 0; which < 3; which++) {
        std::string ColmapFiles::*member = which == 0   ? &ColmapFiles::cameras
                                           : which == 1 ? &ColmapFiles::images
                                                        : &ColmapFiles::points3D;
        const std::string name = which == 0   ? "cameras.bin"
                                 : which == 1 ? "images.bin"
                                              : "points3D.bin";
        for (size_t cut = 0; cut < (whole.*member).size(); cut++) {
            ColmapFiles files = whole;
            // Each cut copy is its own allocation, so AddressSanitizer sees a read past it.
            (files.*member).resize(cut);
            (files.*member).shrink_to_fit();
            ColmapModel model;
            std::string error;
            ASSERT_FALSE(ParseColmapBinary(files, model, error)) << name << " cut at " << cut;
            EXPECT_NE(error.find(name + ": byte "), std::string::npos) << error;
        }
    }
}

TEST(ColmapReader, TextImageAtTheEndNeedsNoPointLine) {
    ColmapModel model = testutil::ThreeFrameModel();
    model.points.clear();
    model.images.resize(1);
    model.images[0].points.clear();
    ColmapFiles files = FormatColmapText(model);
    files.images.pop_back();  // the empty 2D point line's LF
    files.images.pop_back();  // the image line's LF: the file ends with the name
    ColmapModel read;
    std::string error;
    ASSERT_TRUE(ParseColmapText(files, read, error)) << error;
    EXPECT_TRUE(read == model);
}

TEST(ColmapReader, TextErrorsNameFileAndLine) {
    ColmapFiles files = FormatColmapText(testutil::ThreeFrameModel());
    files.images.replace(files.images.find(" 1 img0001.bmp"), 14, " 1");
    ColmapModel model;
    std::string error;
    EXPECT_FALSE(ParseColmapText(files, model, error));
    EXPECT_NE(error.find("images.txt:7: expected IMAGE_ID"), std::string::npos) << error;
}

TEST(ColmapProject, QuaternionsOfRotationsNearAHalfTurn) {
    // Half turns about each axis and a skew axis reach every branch of the conversion.
    const double axes[4][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {0.48, -0.6, 0.64}};
    for (const auto& a : axes) {
        for (double angle : {0.3, 2.5, 3.14159}) {
            const double q[4] = {std::cos(angle / 2), a[0] * std::sin(angle / 2),
                                 a[1] * std::sin(angle / 2), a[2] * std::sin(angle / 2)};
            double R[3][3];
            double back[4];
            double R2[3][3];
            QuaternionToRotation(q, R);
            RotationToQuaternion(R, back);
            QuaternionToRotation(back, R2);
            for (int i = 0; i < 4; i++) {
                EXPECT_NEAR(back[i], q[i], 1e-12) << angle;
            }
            for (int r = 0; r < 3; r++) {
                for (int c = 0; c < 3; c++) {
                    EXPECT_NEAR(R2[r][c], R[r][c], 1e-12);
                }
            }
        }
    }
}

// Cameras that differ in focal length alone: one project camera, each block its own focal
// length, and the export gives them back as two cameras.
TEST(ColmapProject, CamerasDifferingInFocalLengthOnly) {
    ColmapModel m = testutil::ThreeFrameModel();
    m.cameras.push_back(m.cameras[0]);
    m.cameras[1].id = 2;
    m.cameras[1].params[0] = 330.0;
    m.cameras[1].params[1] = 330.0;
    m.images[0].camera = 2;
    ProjectContent project;
    ImportSummary summary;
    std::string error;
    ASSERT_TRUE(ColmapToProject(m, ImportOptions(), project, summary, error)) << error;
    EXPECT_EQ(project.f, 330.0);
    EXPECT_EQ(project.cx, 160.0);
    ASSERT_EQ(project.frames.size(), 3u);
    EXPECT_EQ(project.frames[0].focal, 330.0);
    EXPECT_EQ(project.frames[1].focal, 300.0);
    ColmapModel back;
    ExportSummary exported;
    ASSERT_TRUE(ProjectToColmap(project, back, exported, error)) << error;
    ASSERT_EQ(back.cameras.size(), 2u);
    EXPECT_EQ(back.cameras[1].params, (std::vector<double>{300.0, 300.0, 160.5, 120.5}));
    EXPECT_EQ(back.images[1].camera, 2u);
}

// The sample exported and imported again, from the text and from the binary form: the same
// cameras, intrinsics and tracks as the sample's own parse.
TEST(ColmapPrograms, SampleRoundTrip) {
    const std::string dir = testutil::TempPath("roundtrip");
    fs::remove_all(dir);
    const auto exported =
        testutil::RunProcess(kExport, {kSampleDir + "/project.txt", dir + "/text"});
    ASSERT_EQ(exported.status, 0) << exported.out;
    EXPECT_EQ(LinesStartingWith(exported.out, "Exported ").size(), 1u) << exported.out;

    ColmapModel model;
    std::string error;
    ASSERT_TRUE(ReadColmapModel(dir + "/text", model, error)) << error;
    ASSERT_EQ(model.cameras.size(), 1u);
    EXPECT_EQ(model.cameras[0].params, (std::vector<double>{300.0, 300.0, 160.5, 120.5}));
    WriteModel(dir + "/binary", FormatColmapBinary(model), true);

    const auto fromText =
        testutil::RunProcess(kImport, {dir + "/text", kSampleDir, dir + "/t.txt"});
    ASSERT_EQ(fromText.status, 0) << fromText.out;
    const auto fromBinary =
        testutil::RunProcess(kImport, {dir + "/binary", kSampleDir, dir + "/b.txt"});
    ASSERT_EQ(fromBinary.status, 0) << fromBinary.out;
    EXPECT_EQ(testutil::ReadFile(dir + "/t.txt"), testutil::ReadFile(dir + "/b.txt"));

    Parsed truth(kSampleDir + "/project.txt");
    Parsed imported(dir + "/t.txt");
    ASSERT_TRUE(truth.ok && imported.ok);
    const CZelVideoSequence& a = truth.sequence;
    const CZelVideoSequence& b = imported.sequence;
    // Compared as paths: Windows takes either separator.
    EXPECT_EQ(fs::path(b.imagePath).lexically_normal(),
              fs::absolute(kSampleDir + "/img0000.bmp").lexically_normal());
    EXPECT_EQ(std::vector<float>({a.f, a.fy, a.cx, a.cy, a.skew}),
              std::vector<float>({b.f, b.fy, b.cx, b.cy, b.skew}));
    ASSERT_EQ(a.GetFrameCount(), 30);
    ASSERT_EQ(b.GetFrameCount(), 30);
    for (int i = 0; i < 30; i++) {
        const CCamera& ca = *a.GetFrame(i)->camera;
        const CCamera& cb = *b.GetFrame(i)->camera;
        EXPECT_EQ(a.GetFrame(i)->focalScale, b.GetFrame(i)->focalScale);
        for (int r = 0; r < 3; r++) {
            EXPECT_NEAR(ca.T[r], cb.T[r], 1e-9) << "frame " << i;
            for (int c = 0; c < 3; c++) {
                EXPECT_NEAR(ca.R(r, c), cb.R(r, c), 1e-9) << "frame " << i;
            }
        }
    }
    const auto& ta = truth.parser->tracks;
    const auto& tb = imported.parser->tracks;
    ASSERT_EQ(ta.size(), tb.size());
    for (size_t k = 0; k < ta.size(); k++) {
        ASSERT_EQ(ta[k]->trackPoints.size(), tb[k]->trackPoints.size()) << "track " << k;
        for (int c = 0; c < 3; c++) {
            EXPECT_NEAR(ta[k]->point[c], tb[k]->point[c], 1e-9);
        }
        for (size_t o = 0; o < ta[k]->trackPoints.size(); o++) {
            EXPECT_EQ(ta[k]->trackPoints[o].frame, tb[k]->trackPoints[o].frame);
            EXPECT_NEAR(ta[k]->trackPoints[o].x, tb[k]->trackPoints[o].x, 1e-9);
            EXPECT_NEAR(ta[k]->trackPoints[o].y, tb[k]->trackPoints[o].y, 1e-9);
        }
    }
    // COLMAP's positions are the project's plus half a pixel.
    const CTrackPoint& first = ta[0]->trackPoints[0];
    const ColmapImage& image = model.images[static_cast<size_t>(first.frame)];
    EXPECT_NEAR(image.points[0].x, first.x + 0.5, 1e-12);
    EXPECT_NEAR(image.points[0].y, first.y + 0.5, 1e-12);
}

TEST(ColmapPrograms, SequenceLineIsRelativeBelowTheProject) {
    const std::string images = ImageDir();
    const std::string model = testutil::TempPath("seq_model");
    WriteModel(model, FormatColmapText(testutil::ThreeFrameModel()), false);
    const std::string below = testutil::TempPath("below.txt");
    const std::string apart = testutil::TempPath("apart/p.txt");
    fs::create_directories(testutil::TempPath("apart"));
    ASSERT_EQ(testutil::RunProcess(kImport, {model, images, below}).status, 0);
    const auto r = testutil::RunProcess(kImport, {model, images, apart});
    ASSERT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("3 frames, 1 tracks, 3 observations, 1 points dropped"), std::string::npos)
        << r.out;
    EXPECT_NE(testutil::ReadFile(below).find("\nSequence:./imgs/img0000.bmp\n"), std::string::npos);
    const std::string absolute =
        "\nSequence:" + fs::absolute(images + "/img0000.bmp").lexically_normal().generic_string();
    EXPECT_NE(testutil::ReadFile(apart).find(absolute + "\n"), std::string::npos);
    Parsed parsed(below);
    ASSERT_TRUE(parsed.ok);
    EXPECT_EQ(parsed.sequence.GetFrameCount(), 3);
    EXPECT_FLOAT_EQ(parsed.sequence.cx, 160.0f);
    EXPECT_EQ(parsed.parser->tracks.size(), 1u);
}

TEST(ColmapPrograms, FillGapsTakesTheNearestPose) {
    ColmapModel m = testutil::ThreeFrameModel();
    m.images[2].name = "img0003.bmp";
    const std::string model = testutil::TempPath("gap_model");
    WriteModel(model, FormatColmapText(m), false);
    const std::string project = testutil::TempPath("gap.txt");
    const auto r = testutil::RunProcess(kImport, {model, ImageDir(), project, "--fill-gaps"});
    ASSERT_EQ(r.status, 0) << r.out;
    // The filled gap counts as not registered: 3 of the folder's 4 frames are below 90 %.
    const auto warnings = LinesStartingWith(r.out, "Warning");
    ASSERT_EQ(warnings.size(), 2u) << r.out;
    EXPECT_NE(warnings[0].find("registered only 3 of the 4 frames img0000.bmp to img0003.bmp"),
              std::string::npos)
        << warnings[0];
    EXPECT_NE(warnings[1].find("frame 2 (img0002.bmp)"), std::string::npos) << warnings[1];
    Parsed parsed(project);
    ASSERT_TRUE(parsed.ok);
    ASSERT_EQ(parsed.sequence.GetFrameCount(), 4);
    EXPECT_EQ(parsed.sequence.GetFrame(2)->camera->T[0], parsed.sequence.GetFrame(1)->camera->T[0]);
    EXPECT_EQ(parsed.parser->tracks[0]->trackPoints[2].frame, 3);
}

// The mapper's output folder: the model with the most registered images is imported, whichever
// its number, and the choice is named on stderr.
TEST(ColmapPrograms, LargestOfSeveralModels) {
    const std::string sparse = testutil::TempPath("sparse");
    fs::remove_all(sparse);
    ColmapModel small = testutil::ThreeFrameModel();
    small.images.pop_back();
    small.points.pop_back();
    small.points[0].track.pop_back();
    ColmapModel large = testutil::ThreeFrameModel();
    ColmapImage fourth = large.images.back();
    fourth.id = 13;
    fourth.name = "img0003.bmp";
    fourth.points.clear();
    large.images.push_back(fourth);
    WriteModel(sparse + "/0", FormatColmapBinary(small), true);
    WriteModel(sparse + "/1", FormatColmapText(large), false);
    fs::create_directories(sparse + "/2");  // empty: not a model
    const std::string project = testutil::TempPath("largest.txt");
    const auto r = testutil::RunProcess(kImport, {sparse, ImageDir(), project});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    // The program joins the folder and the model's name with the system's separator.
    EXPECT_NE(r.err.find((fs::path(sparse) / "1").string() +
                         ": 4 registered images, the largest of the 2 models"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(LinesStartingWith(r.out, "Warning").size(), 0u) << r.out;  // all 4 registered
    Parsed parsed(project);
    ASSERT_TRUE(parsed.ok);
    EXPECT_EQ(parsed.sequence.GetFrameCount(), 4);

    // One model folder as it is: 3 of the 4 frames, a warning with the count.
    const auto one = testutil::RunProcess(kImport, {sparse + "/0", ImageDir(), project});
    ASSERT_EQ(one.status, 0) << one.out;
    EXPECT_EQ(one.err, "");
    const auto warnings = LinesStartingWith(one.out, "Warning");
    ASSERT_EQ(warnings.size(), 1u) << one.out;
    EXPECT_NE(warnings[0].find("registered only 2 of the 4 frames"), std::string::npos)
        << warnings[0];

    const auto none = testutil::RunProcess(kImport, {sparse + "/2", ImageDir(), project});
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.out.find("ERROR: no COLMAP model in"), std::string::npos) << none.out;
}

// fx and fy more than 2 % apart are refused unless --allow-aspect; within 2 % they pass.
TEST(ColmapPrograms, FocalLengthsApart) {
    const std::string model = testutil::TempPath("aspect_model");
    const std::string project = testutil::TempPath("aspect.txt");
    for (double fy : {305.0, 310.0}) {
        ColmapModel m = testutil::ThreeFrameModel();
        m.cameras[0].params[1] = fy;
        WriteModel(model, FormatColmapText(m), false);
        const auto r = testutil::RunProcess(kImport, {model, ImageDir(), project});
        const auto allowed =
            testutil::RunProcess(kImport, {model, ImageDir(), project, "--allow-aspect"});
        EXPECT_EQ(allowed.status, 0) << allowed.out;
        if (fy == 305.0) {
            EXPECT_EQ(r.status, 0) << r.out;
            continue;
        }
        EXPECT_EQ(r.status, 1);
        const auto errors = LinesStartingWith(r.out, "ERROR");
        ASSERT_EQ(errors.size(), 1u) << r.out;
        EXPECT_NE(errors[0].find("camera 1 has fx 300 and fy 310, 3.3 % apart"), std::string::npos)
            << errors[0];
        EXPECT_NE(errors[0].find("SIMPLE_PINHOLE"), std::string::npos) << errors[0];
        EXPECT_NE(errors[0].find("--allow-aspect"), std::string::npos) << errors[0];
    }
}

// Each bad model: exit status 1, one ERROR line naming the problem, no project file.
TEST(ColmapPrograms, BadModelsFailCleanly) {
    struct Case {
        const char* name;
        bool binary;
        std::function<void(ColmapModel&)> edit;
        std::function<void(ColmapFiles&)> bytes;
        const char* expected;
    };
    auto none = [](ColmapModel&) {};
    auto same = [](ColmapFiles&) {};
    const std::vector<Case> cases = {
        {"missing file", false, none, [](ColmapFiles& f) { f.points3D = "\x01"; },
         "missing model file"},
        {"truncated images.bin", true, none,
         [](ColmapFiles& f) { f.images.resize(f.images.size() / 2); }, "images.bin: byte "},
        {"count larger than the file", true, none, [](ColmapFiles& f) { f.points3D[1] = 1; },
         "3D point count 258 is more than"},
        {"name without its NUL", true,
         [](ColmapModel& m) {
             m.images.resize(1);
             m.points.clear();
             m.images[0].points.clear();
         },
         [](ColmapFiles& f) { f.images.resize(f.images.size() - 9); }, "no terminating NUL"},
        {"unknown model id", true, none, [](ColmapFiles& f) { f.cameras[12] = 99; },
         "cameras.bin: byte 8: camera 1 has unknown model id 99"},
        {"distortion model", false,
         [](ColmapModel& m) {
             m.cameras[0].model = kSimpleRadial;
             m.cameras[0].params = {300.0, 160.5, 120.5, 0.01};
         },
         same, "colmap image_undistorter"},
        {"image names a missing camera", false, [](ColmapModel& m) { m.images[1].camera = 5; },
         same, "images.txt:7: image 11 (img0001.bmp) names camera 5"},
        {"track names a missing image", false,
         [](ColmapModel& m) { m.points[0].track[1].image = 99; }, same,
         "points3D.txt:4: 3D point 7 names image 99"},
        {"track names a missing 2D point", true,
         [](ColmapModel& m) { m.points[0].track[1].point2D = 9; }, same,
         "names 2D point 9 of image 11"},
        {"2D point names a missing 3D point", false,
         [](ColmapModel& m) { m.images[0].points[1].point3D = 42; }, same,
         "images.txt:5: 2D point 1 of image 10 names 3D point 42"},
        {"not one numbered sequence", false,
         [](ColmapModel& m) { m.images[1].name = "frame0001.bmp"; }, same,
         "not one numbered sequence"},
        {"unpadded name", false, [](ColmapModel& m) { m.images[1].name = "img1.bmp"; }, same,
         "not one numbered sequence"},
        {"gap without --fill-gaps", false, [](ColmapModel& m) { m.images[2].name = "img0003.bmp"; },
         same, "were not registered: img0002.bmp"},
        {"cameras differ in principal point", false,
         [](ColmapModel& m) {
             m.cameras.push_back(m.cameras[0]);
             m.cameras[1].id = 2;
             m.cameras[1].params[2] = 150.0;
             m.images[1].camera = 2;
         },
         same, "differ in more than the focal length"},
    };
    const std::string images = ImageDir();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ColmapModel model = testutil::ThreeFrameModel();
        c.edit(model);
        ColmapFiles files = c.binary ? FormatColmapBinary(model) : FormatColmapText(model);
        c.bytes(files);
        const std::string dir = testutil::TempPath("bad/model");
        WriteModel(dir, files, c.binary);
        if (files.points3D == "\x01") {
            fs::remove(dir + "/points3D.txt");
        }
        const std::string project = testutil::TempPath("bad/project.txt");
        const auto r = testutil::RunProcess(kImport, {dir, images, project});
        EXPECT_EQ(r.status, 1);
        const auto errors = LinesStartingWith(r.out, "ERROR");
        ASSERT_EQ(errors.size(), 1u) << r.out;
        EXPECT_NE(errors[0].find(c.expected), std::string::npos) << errors[0];
        EXPECT_FALSE(fs::exists(project));
        EXPECT_FALSE(fs::exists(project + ".part"));
    }
}

TEST(ColmapPrograms, UsageAndMissingInput) {
    for (const std::string& exe : {kImport, kExport}) {
        const auto help = testutil::RunProcess(exe, {"--help"});
        EXPECT_EQ(help.status, 0);
        EXPECT_EQ(help.out.rfind("Usage: ", 0), 0u) << help.out;
        EXPECT_EQ(testutil::RunProcess(exe, {}).status, 2);
        const auto unknown = testutil::RunProcess(exe, {"--frobnicate", "a", "b", "c"});
        EXPECT_EQ(unknown.status, 2);
        EXPECT_EQ(LinesStartingWith(unknown.err, "ERROR").size(), 1u) << unknown.err;
        EXPECT_EQ(unknown.out, "");
    }
    const auto missing = testutil::RunProcess(kExport, {testutil::TempPath("none.txt"), "m"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.out.find("ERROR: can not find the project file"), std::string::npos);
    // A project without cameras: the parser's own ERROR line is the only one, nothing written.
    const std::string broken = testutil::TempPath("broken/project.txt");
    testutil::WriteFile(broken, "#camera track project file\n<Image Sequence>\nSequence:" +
                                    kSampleDir + "/img0000.bmp\n</Image Sequence>\n");
    const auto failed = testutil::RunProcess(kExport, {broken, testutil::TempPath("broken/m")});
    EXPECT_EQ(failed.status, 1);
    const auto errors = LinesStartingWith(failed.out, "ERROR");
    ASSERT_EQ(errors.size(), 1u) << failed.out;
    EXPECT_NE(errors[0].find("intrinsic parameter"), std::string::npos) << errors[0];
    EXPECT_FALSE(fs::exists(testutil::TempPath("broken/m")));
}

}  // namespace
