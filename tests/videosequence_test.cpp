// The video sequence: frame list, frame numbering and naming, image loading and its failures,
// intrinsic matrices and pose inversion.
#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "parser/trackfileparser.h"
#include "sequence/videoframe.h"
#include "sequence/videosequence.h"
#include "tests/frame_settings.h"
#include "tests/matrix_util.h"
#include "tests/test_util.h"

namespace fs = std::filesystem;
using testutil::CaptureStdout;
using testutil::kExact;
using testutil::MatrixNear;
using testutil::Vec;
using testutil::VectorNear;

namespace {

// Records every call the sequence makes into the stages.
class RecordingStages : public CDepthStages {
  public:
    void Init(CZelVideoSequence& sequence, int first, int last) override {
        calls.push_back({"init", &sequence, first, last});
    }
    void Optimise(CZelVideoSequence& sequence, int first, int last) override {
        calls.push_back({"bo", &sequence, first, last});
    }
    struct Call {
        std::string stage;
        CZelVideoSequence* sequence;
        int first, last;
    };
    std::vector<Call> calls;
};

class SequenceTest : public testing::Test {
  protected:
    void SetUp() override { dir = testutil::FreshTestDir(); }

    // Writes a 3 x 2 reference picture at dir + relative path.
    void WriteReference(const std::string& relative) {
        testutil::WriteBmp24(dir + relative, 3, 2, testutil::DistinctPixels(3, 2));
    }

    // Runs LoadImageSequence on imagePath = dir + relative and returns what it printed.
    std::string Load(const std::string& relative, int start, int step, int end, bool* result) {
        seq.imagePath = dir + relative;
        seq.start = start;
        seq.step = step;
        seq.end = end;
        return CaptureStdout([&] { *result = seq.LoadImageSequence(); });
    }

    std::vector<std::string> FrameFiles() {
        std::vector<std::string> files;
        for (int i = 0; i < seq.GetFrameCount(); i++) {
            files.push_back(seq.GetFrame(i)->imageFile);
        }
        return files;
    }

    testutil::FrameSettingsGuard settings;
    std::string dir;
    CZelVideoSequence seq;
};

}  // namespace

TEST(CZelVideoSequenceBasics, ConstructionAndFrameList) {
    CZelVideoSequence seq;
    EXPECT_EQ(seq.GetFrameCount(), 0);
    EXPECT_EQ(seq.step, 1);
    EXPECT_EQ(seq.aspect, 1.0f);
    EXPECT_THROW(seq.GetFrame(0), std::out_of_range);

    seq.SetFrameCount(3);
    ASSERT_EQ(seq.GetFrameCount(), 3);
    EXPECT_EQ(seq.frames.size(), 3u);
    EXPECT_NE(seq.GetFrame(2), nullptr);
    EXPECT_NE(seq.GetFrame(0), seq.GetFrame(1));
    EXPECT_THROW(seq.GetFrame(3), std::out_of_range);
    EXPECT_THROW(seq.GetFrame(-1), std::out_of_range);

    // Resizing replaces every frame; a negative count leaves none.
    seq.SetFrameCount(1);
    EXPECT_EQ(seq.GetFrameCount(), 1);
    EXPECT_EQ(seq.GetFrame(0)->imageFile, "");
    seq.SetFrameCount(-5);
    EXPECT_EQ(seq.GetFrameCount(), 0);
    EXPECT_TRUE(seq.frames.empty());
    seq.Run(0, seq.GetFrameCount());  // the stages are empty
}

TEST(CZelVideoSequenceBasics, InstalledStagesReceiveRunsInclusiveRange) {
    CZelVideoSequence seq;
    seq.SetFrameCount(6);
    RecordingStages stages;
    // Nothing installed: the stages are never called.
    seq.Run(0, 6);
    EXPECT_EQ(seq.GetStages(), nullptr);

    seq.SetStages(&stages);
    seq.Run(2, 5);
    ASSERT_EQ(stages.calls.size(), 2u);
    EXPECT_EQ(stages.calls[0].stage, "init");
    EXPECT_EQ(stages.calls[1].stage, "bo");
    for (const auto& call : stages.calls) {
        EXPECT_EQ(call.sequence, &seq);
        EXPECT_EQ(call.first, 2);
        EXPECT_EQ(call.last, 4);
    }
    // The single stages pass their range through unchanged.
    seq.BOStage(0, 0);
    EXPECT_EQ(stages.calls.back().first, 0);
    EXPECT_EQ(stages.calls.back().last, 0);

    // Removed again: nothing is called.
    seq.SetStages(nullptr);
    seq.Run(0, 6);
    EXPECT_EQ(stages.calls.size(), 3u);
}

TEST(CZelVideoSequenceBasics, HandOverMatchPointsSharesEachFramesList) {
    CZelVideoSequence seq;
    CTrackFileParser parser(&seq);
    seq.SetFrameCount(3);
    parser.frameMatchPoints.resize(2);
    parser.frameMatchPoints[0] = std::make_shared<std::vector<CMatchPoint>>(2);
    seq.GetFrame(2)->matchPoints = std::make_shared<std::vector<CMatchPoint>>(1);
    parser.HandOverMatchPoints();
    EXPECT_EQ(seq.GetFrame(0)->matchPoints, parser.frameMatchPoints[0]);
    EXPECT_EQ(seq.GetFrame(1)->matchPoints, nullptr);
    // A frame beyond the parser's lists gets none.
    EXPECT_EQ(seq.GetFrame(2)->matchPoints, nullptr);
}

TEST_F(SequenceTest, NumbersNamesAndDirectoriesFollowStartAndStep) {
    WriteReference("seq/img0000.bmp");
    CZelVideoFrame::SetImageSize(1, 1);
    CZelVideoFrame::SetReduced(true);
    bool ok = false;
    EXPECT_EQ(Load("seq/img0000.bmp", 3, 2, 9, &ok), "Total frame count:4\n\n");
    ASSERT_TRUE(ok);
    ASSERT_EQ(seq.GetFrameCount(), 4);
    const char* names[] = {"img0003", "img0005", "img0007", "img0009"};
    for (int i = 0; i < 4; i++) {
        const CZelVideoFrame* frame = seq.GetFrame(i);
        EXPECT_EQ(frame->index, i);
        EXPECT_EQ(frame->imageFile, dir + "seq/" + names[i] + ".bmp") << "frame " << i;
        EXPECT_EQ(frame->name, names[i]) << "frame " << i;
    }
    // The size comes from the reference picture (no frame file exists); loading clears reduced.
    EXPECT_EQ(CZelVideoFrame::imageWidth, 3);
    EXPECT_EQ(CZelVideoFrame::imageHeight, 2);
    EXPECT_FALSE(CZelVideoFrame::reduced);
    EXPECT_EQ(CZelVideoFrame::tmpDir, dir + "seq/TMP/");
    EXPECT_EQ(CZelVideoFrame::dataDir, dir + "seq/DATA/");
    EXPECT_TRUE(fs::is_directory(dir + "seq/TMP"));
    EXPECT_TRUE(fs::is_directory(dir + "seq/DATA"));

    // Loading again over existing directories and frames succeeds the same way.
    EXPECT_EQ(Load("seq/img0000.bmp", 3, 2, 9, &ok), "Total frame count:4\n\n");
    EXPECT_TRUE(ok);
    EXPECT_EQ(seq.GetFrame(3)->name, "img0009");
}

TEST_F(SequenceTest, StepBelowOneIsStoredAsOneAndRangesTruncate) {
    WriteReference("img0000.bmp");
    bool ok = false;
    EXPECT_EQ(Load("img0000.bmp", 0, 0, 4, &ok), "Total frame count:5\n\n");
    EXPECT_TRUE(ok);
    EXPECT_EQ(seq.step, 1);
    EXPECT_EQ(seq.GetFrame(4)->name, "img0004");

    Load("img0000.bmp", 0, -3, 1, &ok);
    EXPECT_EQ(seq.step, 1);
    EXPECT_EQ(seq.GetFrameCount(), 2);

    // 10 is not a multiple of 3: numbers 0, 3, 6 and 9.
    EXPECT_EQ(Load("img0000.bmp", 0, 3, 10, &ok), "Total frame count:4\n\n");
    EXPECT_TRUE(ok);
    const std::vector<std::string> expected = {dir + "img0000.bmp", dir + "img0003.bmp",
                                               dir + "img0006.bmp", dir + "img0009.bmp"};
    EXPECT_EQ(FrameFiles(), expected);
}

TEST_F(SequenceTest, EmptyRangeReadsNoImageAndMakesNoDirectory) {
    // No reference picture exists: a count of 0 must not even try to read it.
    CZelVideoFrame::SetImageSize(77, 55);
    bool ok = false;
    EXPECT_EQ(Load("seq/img0010.bmp", 5, 1, 4, &ok), "Total frame count:0\n\n");
    EXPECT_TRUE(ok);
    EXPECT_EQ(seq.GetFrameCount(), 0);
    EXPECT_EQ(CZelVideoFrame::imageWidth, 77);
    EXPECT_EQ(CZelVideoFrame::imageHeight, 55);
    EXPECT_FALSE(fs::exists(dir + "seq"));

    // With step 2 the same range gives (4 - 5) / 2 + 1 = 1 frame: truncation toward zero.
    EXPECT_EQ(Load("seq/img0010.bmp", 5, 2, 4, &ok),
              "Total frame count:1\n\nERROR: Can not load imag file: " + dir + "seq/img0010.bmp\n");
    EXPECT_FALSE(ok);
}

TEST_F(SequenceTest, NumbersWidenPastTheirPaddedWidth) {
    WriteReference("img9998.bmp");
    bool ok = false;
    Load("img9998.bmp", 0, 1, 3, &ok);
    ASSERT_TRUE(ok);
    const std::vector<std::string> expected = {dir + "img9998.bmp", dir + "img9999.bmp",
                                               dir + "img10000.bmp", dir + "img10001.bmp"};
    EXPECT_EQ(FrameFiles(), expected);
    EXPECT_EQ(seq.GetFrame(3)->name, "img10001");
}

TEST_F(SequenceTest, MissingReferenceImageFailsEvenWhenFrameFilesExist) {
    WriteReference("seq/img0001.bmp");
    WriteReference("seq/img0002.bmp");
    CZelVideoFrame::SetImageSize(77, 55);
    bool ok = true;
    EXPECT_EQ(Load("seq/img0000.bmp", 1, 1, 2, &ok),
              "Total frame count:2\n\nERROR: Can not load imag file: " + dir + "seq/img0000.bmp\n");
    EXPECT_FALSE(ok);
    // The frames exist with default contents; size and directories are untouched.
    ASSERT_EQ(seq.GetFrameCount(), 2);
    EXPECT_EQ(seq.GetFrame(1)->imageFile, "");
    EXPECT_EQ(CZelVideoFrame::imageWidth, 77);
    EXPECT_FALSE(fs::exists(dir + "seq/TMP"));
    EXPECT_FALSE(fs::exists(dir + "seq/DATA"));
}

TEST_F(SequenceTest, ImagePathWithoutDirectoryMakesWorkingDirectoriesHere) {
    WriteReference("img0000.bmp");
    const fs::path previous = fs::current_path();
    fs::current_path(dir);
    seq.imagePath = "img0000.bmp";
    seq.start = 0;
    seq.step = 1;
    seq.end = 1;
    bool ok = false;
    CaptureStdout([&] { ok = seq.LoadImageSequence(); });
    fs::current_path(previous);
    EXPECT_TRUE(ok);
    EXPECT_EQ(CZelVideoFrame::tmpDir, "TMP/");
    EXPECT_EQ(CZelVideoFrame::dataDir, "DATA/");
    EXPECT_TRUE(fs::is_directory(dir + "TMP"));
    EXPECT_TRUE(fs::is_directory(dir + "DATA"));
    EXPECT_EQ(seq.GetFrame(1)->imageFile, "img0001.bmp");
}

TEST_F(SequenceTest, NegativeOrHugeFrameCountsAreRefusedBeforeAnythingIsMade) {
    WriteReference("img0000.bmp");
    struct Range {
        int start, step, end;
    };
    const Range bad[] = {
        {10, 2, 6},              // (6 - 10) / 2 + 1 = -1
        {0, 1, -2},              // -1
        {0, 1, INT_MAX},         // 2^31 frames: more than an int holds
        {INT_MIN, 1, INT_MAX},   // end - start overflows 32 bits
        {0, 1, kMaxFrameCount},  // one above the limit
    };
    for (const Range& r : bad) {
        seq.SetFrameCount(2);
        bool ok = true;
        const std::string out = Load("img0000.bmp", r.start, r.step, r.end, &ok);
        EXPECT_FALSE(ok) << "start " << r.start << " step " << r.step << " end " << r.end;
        EXPECT_EQ(out.rfind("ERROR: Invalid frame range", 0), 0u) << out;
        EXPECT_EQ(out.find('\n'), out.size() - 1) << "one line only: " << out;
        EXPECT_EQ(seq.GetFrameCount(), 0);
        EXPECT_TRUE(seq.frames.empty());
    }
    EXPECT_FALSE(fs::exists(dir + "TMP"));

    // The edges that are still valid: count 0 and count 1.
    bool ok = false;
    EXPECT_EQ(Load("img0000.bmp", 10, 2, 7, &ok), "Total frame count:0\n\n");
    EXPECT_TRUE(ok);
}

TEST(SequenceCamera, IntrinsicMatricesOfTheSkewExample) {
    CZelVideoSequence seq;
    seq.SetFrameCount(2);
    seq.f = 500;
    seq.fy = 500;
    seq.cx = 320;
    seq.cy = 240;
    seq.skew = 0.001f;
    seq.BuildIntrinsicMatrices();
    const double s = static_cast<double>(0.001f);
    const Matrix3d expected = testutil::Mat3(500, s * 500, 320, 0, 500, 240, 0, 0, 1);
    // The skew entry is formed in double from the float parameters: not 0.5, not 0.001 * 500.
    EXPECT_DOUBLE_EQ(expected(0, 1), 0.50000002374872565);
    EXPECT_NE(expected(0, 1), 0.5);
    for (int i = 0; i < 2; i++) {
        EXPECT_TRUE(MatrixNear(seq.GetFrame(i)->camera->K, expected, kExact)) << "frame " << i;
        EXPECT_TRUE(MatrixNear(seq.GetFrame(i)->camera->ScaledK, expected, kExact))
            << "frame " << i;
    }
}

TEST(SequenceCamera, InvertCameraPosesTurnsEveryPoseAround) {
    CZelVideoSequence empty;
    empty.InvertCameraPoses();  // nothing to do
    empty.BuildIntrinsicMatrices();

    CZelVideoSequence seq;
    seq.SetFrameCount(3);
    for (int i = 0; i < 3; i++) {
        CZelVideoFrame* frame = seq.GetFrame(i);
        for (int r = 0; r < 3; r++) {
            for (int c = 0; c < 3; c++) {
                frame->SetRotation(r, c, r == c ? 1.0 : 0.0);
            }
            frame->SetTranslation(r, r + 1.0 + i);
        }
    }
    seq.InvertCameraPoses();
    for (int i = 0; i < 3; i++) {
        const CCamera& cam = *seq.GetFrame(i)->camera;
        EXPECT_TRUE(MatrixNear(cam.R, testutil::Identity3(), kExact)) << "frame " << i;
        EXPECT_TRUE(VectorNear(cam.T, Vec(-1.0 - i, -2.0 - i, -3.0 - i), kExact)) << "frame " << i;
    }
}
