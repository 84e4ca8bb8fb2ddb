// The camera-track project file: header, the four sections in any order, keyed lines, word
// streams, both views of the feature tracks, the camera blocks, and the refusals of damaged files.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "parser/trackfileparser.h"
#include "sequence/videoframe.h"
#include "sequence/videosequence.h"
#include "tests/frame_settings.h"
#include "tests/test_util.h"

using testutil::CaptureStdout;

namespace {

const char kHeader[] = "#camera track project file\n";
const char kIntrinsics[] = "<intrinsic parameter>\n1000 1000 320 240 0\n</intrinsic parameter>\n";

// "Image Sequence" naming ./img0000.bmp beside the project file.
std::string ImageSequence(int start, int step, int end) {
    std::ostringstream s;
    s << "<Image Sequence>\nSequence:./img0000.bmp\nstart:" << start << "\nstep:" << step
      << "\nend:" << end << "\n</Image Sequence>\n";
    return s.str();
}

// A camera block: focal length, then R row by row with T[row] after each row.
std::string FrameBlock(int i, double focal, const double R[9], const double T[3]) {
    std::ostringstream s;
    s.precision(17);
    s << "<FRAME" << i << ">\n" << focal << "\n";
    for (int r = 0; r < 3; r++) {
        s << R[3 * r] << " " << R[3 * r + 1] << " " << R[3 * r + 2] << " " << T[r] << "\n";
    }
    s << "</FRAME" << i << ">\n";
    return s.str();
}

// Block i with R = identity and T = (i + 1, 2 (i + 1), 3 (i + 1)).
std::string SimpleFrame(int i) {
    const double R[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    const double T[3] = {i + 1.0, 2.0 * (i + 1), 3.0 * (i + 1)};
    return FrameBlock(i, 1000, R, T);
}

std::string CameraTrack(const std::string& blocks) {
    return "<Camera Track>\n" + blocks + "</Camera Track>\n";
}

// The two-track example: track 7 seen in frames 0 and 1, track 8 (status 3) in frame 1.
const char kTwoTracks[] =
    "2\n"
    "2 7 0 1.0 2.0 3.0\n0 10.5 20.5\n1 11.5 21.5\n"
    "1 8 3 4.0 5.0 6.0\n1 30.0 40.0\n";
// The same with two extra words after every record.
const char kTwoTracksKpts[] =
    "kpts: 2\n2\n"
    "2 7 0 1.0 2.0 3.0\n0 10.5 20.5\n1 11.5 21.5\n0 -4\n"
    "1 8 3 4.0 5.0 6.0\n1 30.0 40.0\n5.5 x\n";

std::string FeatureTracks(const std::string& body) {
    return "<Feature Tracks>\n" + std::string(body) + "</Feature Tracks>\n";
}

class TrackFileParserTest : public testing::Test {
  protected:
    void SetUp() override {
        dir = testutil::FreshTestDir();
        path = dir + "p.txt";
    }

    // Writes text as the project file and parses it; returns what Parse printed.
    std::string ParseText(const std::string& text, bool* ok) {
        testutil::WriteFile(path, text);
        return CaptureStdout([&] { *ok = parser->Parse(path.c_str()); });
    }

    // Loads text into the parser without parsing, for calling one section reader.
    void Load(const std::string& text) {
        testutil::WriteFile(path, text);
        ASSERT_EQ(parser->LoadFile(path.c_str()), 1);
        parser->position = 0;
        seq.projectPath = path;
    }

    void WriteReference() {
        testutil::WriteBmp24(dir + "img0000.bmp", 4, 3, testutil::DistinctPixels(4, 3));
    }

    testutil::FrameSettingsGuard guard;
    std::string dir;
    std::string path;
    CZelVideoSequence seq;
    std::unique_ptr<CTrackFileParser> parser = std::make_unique<CTrackFileParser>(&seq);
};

// Everything a parse leaves in the sequence and the track store, as text to compare.
std::string Snapshot(const CZelVideoSequence& seq, const CTrackFileParser& parser) {
    std::ostringstream s;
    s.precision(17);
    s << seq.imagePath << " " << seq.start << " " << seq.step << " " << seq.end << " " << seq.f
      << " " << seq.fy << " " << seq.cx << " " << seq.cy << " " << seq.skew << " " << seq.aspect
      << "\n";
    for (int i = 0; i < seq.GetFrameCount(); i++) {
        const CZelVideoFrame* frame = seq.GetFrame(i);
        s << "frame " << i << " " << frame->imageFile << " " << frame->focalScale;
        for (int r = 0; r < 3; r++) {
            for (int c = 0; c < 3; c++) {
                s << " " << frame->camera->R(r, c) << " " << frame->camera->K(r, c);
            }
            s << " " << frame->camera->T[r];
        }
        s << "\n";
    }
    for (const auto& track : parser.tracks) {
        s << "track " << track->id << " " << track->index << " " << track->status;
        for (int k = 0; k < 3; k++) {
            s << " " << track->point[k];
        }
        for (const CTrackPoint& p : track->trackPoints) {
            s << " (" << p.frame << " " << p.index << " " << p.x << " " << p.y << ")";
        }
        s << "\n";
    }
    for (const auto& list : parser.frameMatchPoints) {
        s << "list";
        if (list) {
            for (const CMatchPoint& m : *list) {
                s << " (" << m.x << " " << m.y << " " << m.linker->index << ")";
            }
        } else {
            s << " null";
        }
        s << "\n";
    }
    return s.str();
}

// Checks both views of the store against each other: every observation is found in its frame's
// array at its index, with the same position and a link back to its track.
void ExpectStoreInvariants(const CTrackFileParser& parser) {
    for (size_t k = 0; k < parser.tracks.size(); k++) {
        const auto& track = parser.tracks[k];
        EXPECT_EQ(track->index, static_cast<int>(k));
        for (const CTrackPoint& p : track->trackPoints) {
            if (p.index < 0) {
                continue;
            }
            SCOPED_TRACE("track " + std::to_string(k) + " frame " + std::to_string(p.frame));
            ASSERT_LT(static_cast<size_t>(p.frame), parser.frameMatchPoints.size());
            const auto& list = parser.frameMatchPoints[static_cast<size_t>(p.frame)];
            ASSERT_NE(list, nullptr);
            ASSERT_LT(static_cast<size_t>(p.index), list->size());
            const CMatchPoint& m = (*list)[static_cast<size_t>(p.index)];
            EXPECT_EQ(m.x, p.x);
            EXPECT_EQ(m.y, p.y);
            EXPECT_EQ(m.linker, track);
        }
    }
}

TEST_F(TrackFileParserTest, HeaderMayCarryTrailingTextButNoBlankAfterTheNumberSign) {
    bool ok = false;
    std::string out = ParseText("#camera track project file, version 3\r\n" +
                                    ImageSequence(0, 1, -1) + kIntrinsics + CameraTrack(""),
                                &ok);
    EXPECT_TRUE(ok) << out;
    EXPECT_EQ(out, "Total frame count:0\n\n");

    out = ParseText(
        "# camera track project file\n" + ImageSequence(0, 1, -1) + kIntrinsics + CameraTrack(""),
        &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(out, "This is not camera track Project File!\n");
    EXPECT_EQ(seq.projectPath, path);

    out = ParseText("", &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(out, "This is not camera track Project File!\n");
}

TEST_F(TrackFileParserTest, MissingFileIsReportedAndChangesNothing) {
    seq.projectPath = "before";
    const std::string missing = dir + "none.txt";
    bool ok = true;
    const std::string out = CaptureStdout([&] { ok = parser->Parse(missing.c_str()); });
    EXPECT_FALSE(ok);
    EXPECT_EQ(out, "ERROR:Can not find the OVK project file: " + missing + " \n");
    EXPECT_EQ(parser->GetLastError(), ProjectError::kCannotOpen);
    EXPECT_EQ(parser->DescribeError(), "cannot open the project file: " + missing);
    EXPECT_EQ(seq.projectPath, "before");
}

TEST_F(TrackFileParserTest, SectionsInReverseOrderReadAsInTheUsualOrder) {
    WriteReference();
    const std::string cameras = CameraTrack(SimpleFrame(0) + SimpleFrame(1) + SimpleFrame(2));
    const std::string usual =
        kHeader + ImageSequence(0, 1, 2) + kIntrinsics + FeatureTracks(kTwoTracks) + cameras;
    const std::string reverse =
        kHeader + cameras + FeatureTracks(kTwoTracks) + kIntrinsics + ImageSequence(0, 1, 2);
    bool ok = false;
    EXPECT_EQ(ParseText(usual, &ok), "Total frame count:3\n\n");
    ASSERT_TRUE(ok);
    const std::string expected = Snapshot(seq, *parser);

    CZelVideoSequence other;
    CTrackFileParser otherParser(&other);
    testutil::WriteFile(path, reverse);
    CaptureStdout([&] { ok = otherParser.Parse(path.c_str()); });
    ASSERT_TRUE(ok);
    EXPECT_EQ(Snapshot(other, otherParser), expected);

    // The poses are camera-to-world once parsed, and K is built from the intrinsics.
    const CCamera& camera = *seq.GetFrame(1)->camera;
    EXPECT_EQ(camera.T[0], -2.0);
    EXPECT_EQ(camera.T[2], -6.0);
    EXPECT_EQ(camera.K(0, 0), 1000.0);
    EXPECT_EQ(camera.K(1, 2), 240.0);
    EXPECT_EQ(seq.GetFrame(2)->imageFile, dir + "img0002.bmp");
}

TEST_F(TrackFileParserTest, StepBelowOneIsStoredAsOneAndTheCountSizesTheFrameEntries) {
    WriteReference();
    struct Case {
        int start, step, end;
        int storedStep, frames;
    } cases[] = {
        {0, 0, 4, 1, 5}, {0, -3, 4, 1, 5}, {10, 5, 20, 5, 3},
        {7, 1, 7, 1, 1}, {7, 1, 6, 1, 0},  {7, 5, 6, 5, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.start) + " " + std::to_string(c.step) + " " +
                     std::to_string(c.end));
        CZelVideoSequence s;
        CTrackFileParser p(&s);
        testutil::WriteFile(path, kHeader + ImageSequence(c.start, c.step, c.end) + kIntrinsics +
                                      CameraTrack(SimpleFrame(0)));
        bool ok = false;
        const std::string out = CaptureStdout([&] { ok = p.Parse(path.c_str()); });
        EXPECT_TRUE(ok) << out;
        EXPECT_EQ(s.step, c.storedStep);
        EXPECT_EQ(s.GetFrameCount(), c.frames);
        ASSERT_EQ(p.frameMatchPoints.size(), static_cast<size_t>(c.frames));
        for (const auto& entry : p.frameMatchPoints) {
            EXPECT_EQ(entry, nullptr);
        }
    }
}

TEST_F(TrackFileParserTest, SequencePathIsTrimmedAndDotPathsHangOffTheProjectFolder) {
    struct Case {
        const char* value;
        const char* projectPath;
        const char* imagePath;
    } cases[] = {
        {"./img/f0001.png", "C:/data/p.txt", "C:/data/img/f0001.png"},
        {"./img/f0001.png", "p.txt", "img/f0001.png"},
        {" \t D:/seq/a0001.bmp  \r", "C:/data/p.txt", "D:/seq/a0001.bmp"},
        {"../x/a1.bmp", "C:/data/p.txt", "C:/data//x/a1.bmp"},
        {".", "C:\\data\\p.txt", "C:\\data\\"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        Load(std::string(kHeader) + "<Image Sequence>\nSequence:" + c.value +
             "\nstart:0\nend:-1\n</Image Sequence>\n");
        seq.projectPath = c.projectPath;
        parser->ReadLine();
        bool ok = false;
        CaptureStdout([&] { ok = parser->ReadImageSequence(); });
        EXPECT_TRUE(ok);
        EXPECT_EQ(seq.imagePath, c.imagePath);
    }
}

TEST_F(TrackFileParserTest, KeysAreFoundAnywhereButTheirValueStartsAtTheKeyLength) {
    // " start: 5": the value is taken from the seventh character on, ": 5", which reads as 0.
    // "end:" follows the opening tag directly; "step:" is absent and keeps its value.
    Load(std::string(kHeader) + "<Image Sequence>end:3\n start: 5\n</Image Sequence>\n");
    seq.start = 42;
    seq.step = 4;
    parser->ReadLine();
    bool ok = false;
    const std::string out = CaptureStdout([&] { ok = parser->ReadImageSequence(); });
    EXPECT_FALSE(ok);  // four frames, but no reference picture
    EXPECT_EQ(seq.start, 0);
    EXPECT_EQ(seq.step, 4);
    EXPECT_EQ(seq.end, 3);
    EXPECT_EQ(parser->frameMatchPoints.size(), 1u);
}

TEST_F(TrackFileParserTest, SixthIntrinsicWordCountsOnlyWithAContentCharacterAfterIt) {
    struct Case {
        const char* content;
        float fy, aspect;
    } cases[] = {
        {"\n1000 1000 320 240 0\n", 1000.0f, 7.0f},
        {"\n1000 900 320 240 0 1.5\r\n", 1500.0f, 1.5f},
        {"\n1000 900 320 240 0 1.5\n", 900.0f, 7.0f},
        {"\n1000 900 320 240 0 1.5 \n", 1500.0f, 1.5f},
        {"\n1000 900 320 240 0 1.5\n  ", 1500.0f, 1.5f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.content);
        Load(std::string("<intrinsic parameter>") + c.content + "</intrinsic parameter>\n");
        seq.aspect = 7.0f;
        parser->position = 1234;  // the reader starts over from the beginning
        parser->ReadIntrinsics();
        EXPECT_EQ(seq.f, 1000.0f);
        EXPECT_EQ(seq.fy, c.fy);
        EXPECT_EQ(seq.cx, 320.0f);
        EXPECT_EQ(seq.cy, 240.0f);
        EXPECT_EQ(seq.skew, 0.0f);
        EXPECT_EQ(seq.aspect, c.aspect);
    }
}

TEST_F(TrackFileParserTest, CameraBlocksFillFocalScaleRotationAndTranslation) {
    const double R[9] = {0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9};
    const double T[3] = {-1.5, 2.5, 3.5};
    Load(CameraTrack(FrameBlock(0, 2000, R, T)));
    seq.f = 1000.0f;
    seq.SetFrameCount(1);
    parser->ReadCameraTrack();
    const CZelVideoFrame* frame = seq.GetFrame(0);
    EXPECT_EQ(frame->focalScale, 2.0f);
    for (int r = 0; r < 3; r++) {
        for (int c = 0; c < 3; c++) {
            EXPECT_EQ(frame->camera->R(r, c), R[3 * r + c]) << r << "," << c;
        }
        EXPECT_EQ(frame->camera->T[r], T[r]) << r;
    }
}

TEST_F(TrackFileParserTest, MissingOrMisplacedBlocksReuseTheBlockFoundLast) {
    seq.f = 1000.0f;
    // FRAME1 missing: frame 1 takes FRAME0's camera, frame 2 its own.
    Load(CameraTrack(SimpleFrame(0) + SimpleFrame(2)));
    seq.SetFrameCount(3);
    parser->ReadCameraTrack();
    EXPECT_EQ(seq.GetFrame(1)->camera->T[0], 1.0);
    EXPECT_EQ(seq.GetFrame(2)->camera->T[0], 3.0);

    // FRAME1 before FRAME0: not found after FRAME0, so frame 1 takes FRAME0's camera.
    Load(CameraTrack(SimpleFrame(1) + SimpleFrame(0)));
    seq.SetFrameCount(2);
    parser->ReadCameraTrack();
    EXPECT_EQ(seq.GetFrame(0)->camera->T[0], 1.0);
    EXPECT_EQ(seq.GetFrame(1)->camera->T[0], 1.0);
}

TEST_F(TrackFileParserTest, LookalikeAndStrayBlockTagsActAsTheLineSearchFindsThem) {
    seq.f = 1000.0f;
    // "<FRAME01>" and "<FRAME1x>" are not block 1. A stray "</FRAME1>" still ends "its" block:
    // frame 1 reads FRAME0's words, and the search for FRAME2 starts after the stray tag, so
    // the first FRAME2 block (T = 7) is passed over for the second (T = 3).
    const double R[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    const double T7[3] = {7, 7, 7};
    Load(CameraTrack(SimpleFrame(0) + "<FRAME01> 5 <FRAME1x>\n" + FrameBlock(2, 1000, R, T7) +
                     "</FRAME1>\n" + SimpleFrame(2)));
    seq.SetFrameCount(3);
    parser->ReadCameraTrack();
    EXPECT_EQ(seq.GetFrame(1)->camera->T[0], 1.0);
    EXPECT_EQ(seq.GetFrame(2)->camera->T[0], 3.0);

    // Many frames, two blocks: every frame between reuses FRAME0, the last has its own.
    Load(CameraTrack(SimpleFrame(0) + SimpleFrame(4999)));
    seq.SetFrameCount(5000);
    parser->ReadCameraTrack();
    EXPECT_EQ(seq.GetFrame(2500)->camera->T[0], 1.0);
    EXPECT_EQ(seq.GetFrame(4999)->camera->T[0], 5000.0);
}

TEST_F(TrackFileParserTest, TwoTrackExampleFillsBothViews) {
    for (const char* body : {kTwoTracks, kTwoTracksKpts}) {
        SCOPED_TRACE(body);
        Load(FeatureTracks(body));
        parser->frameMatchPoints.assign(3, nullptr);
        parser->ReadFeatureTracks();
        const auto& tracks = parser->tracks;
        ASSERT_EQ(tracks.size(), 2u);
        EXPECT_EQ(tracks[0]->id, 7);
        EXPECT_EQ(tracks[1]->id, 8);
        EXPECT_EQ(tracks[0]->status, 0);
        EXPECT_EQ(tracks[1]->status, 3);
        EXPECT_EQ(tracks[1]->point[2], 6.0);
        ASSERT_EQ(tracks[0]->GetTrackPointCount(), 2u);
        ASSERT_EQ(tracks[1]->GetTrackPointCount(), 1u);
        EXPECT_EQ(tracks[0]->GetTrackPoint(1).index, 0);
        EXPECT_EQ(tracks[1]->GetTrackPoint(0).index, 1);

        const auto& frames = parser->frameMatchPoints;
        ASSERT_NE(frames[0], nullptr);
        ASSERT_NE(frames[1], nullptr);
        EXPECT_EQ(frames[2], nullptr);
        ASSERT_EQ(frames[0]->size(), 1u);
        ASSERT_EQ(frames[1]->size(), 2u);
        EXPECT_EQ((*frames[1])[0].x, 11.5);
        EXPECT_EQ((*frames[1])[0].linker, tracks[0]);
        EXPECT_EQ((*frames[1])[1].y, 40.0);
        EXPECT_EQ((*frames[1])[1].linker, tracks[1]);
        ExpectStoreInvariants(*parser);
    }

    // Without the marker the extra words are taken as records.
    Load(FeatureTracks(std::string(kTwoTracksKpts).substr(sizeof("kpts: 2"))));
    parser->frameMatchPoints.assign(3, nullptr);
    parser->ReadFeatureTracks();
    ASSERT_EQ(parser->tracks.size(), 2u);
    EXPECT_EQ(parser->tracks[1]->id, -4);
}

TEST_F(TrackFileParserTest, FramesKeepTheirListsAndTracksAfterTheParserIsGone) {
    WriteReference();
    bool ok = false;
    ParseText(kHeader + ImageSequence(0, 1, 2) + kIntrinsics + FeatureTracks(kTwoTracks) +
                  CameraTrack(SimpleFrame(0)),
              &ok);
    ASSERT_TRUE(ok);
    parser->HandOverMatchPoints();
    parser.reset();
    const auto& list = seq.GetFrame(1)->matchPoints;
    ASSERT_NE(list, nullptr);
    const CMatchLinker& first = *(*list)[0].linker;
    EXPECT_EQ(first.id, 7);
    EXPECT_EQ(first.point[1], 2.0);
    ASSERT_EQ(first.trackPoints.size(), 2u);
    EXPECT_EQ(first.trackPoints[0].x, 10.5);
    EXPECT_EQ((*list)[1].linker->id, 8);
    EXPECT_EQ(seq.GetFrame(2)->matchPoints, nullptr);
}

TEST_F(TrackFileParserTest, WithoutFeatureTracksTheStoreStaysEmpty) {
    bool ok = false;
    const std::string out =
        ParseText(kHeader + ImageSequence(0, 1, -1) + kIntrinsics + CameraTrack(""), &ok);
    EXPECT_TRUE(ok) << out;
    EXPECT_TRUE(parser->tracks.empty());

    // An opening tag alone is no section either.
    Load("<Feature Tracks>\n" + std::string(kTwoTracks));
    parser->frameMatchPoints.assign(2, nullptr);
    parser->ReadFeatureTracks();
    EXPECT_TRUE(parser->tracks.empty());
    EXPECT_EQ(parser->frameMatchPoints[0], nullptr);
}

TEST_F(TrackFileParserTest, MissingRequiredSectionsFailWithTheirName) {
    struct Case {
        std::string text;
        const char* named;
    } cases[] = {
        {kHeader + std::string(kIntrinsics) + CameraTrack(""), "Image Sequence"},
        {kHeader + std::string("<Image Sequence>\nend:-1\n") + kIntrinsics + CameraTrack(""),
         "Image Sequence"},
        {kHeader + ImageSequence(0, 1, -1) + CameraTrack(""), "intrinsic parameter"},
        {kHeader + ImageSequence(0, 1, -1) + kIntrinsics, "Camera Track"},
        {kHeader + ImageSequence(0, 1, -1) + kIntrinsics + "</Camera Track>\n", "Camera Track"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        CZelVideoSequence s;
        CTrackFileParser p(&s);
        testutil::WriteFile(path, c.text);
        bool ok = true;
        const std::string out = CaptureStdout([&] { ok = p.Parse(path.c_str()); });
        EXPECT_FALSE(ok);
        EXPECT_NE(out.find("ERROR:"), std::string::npos) << out;
        EXPECT_NE(out.find(c.named), std::string::npos) << out;
    }
    // The Image Sequence tags are checked before any picture is looked for.
    bool ok = true;
    const std::string out = ParseText(kHeader + std::string(kIntrinsics), &ok);
    EXPECT_EQ(out.find("Total frame count"), std::string::npos) << out;
}

TEST_F(TrackFileParserTest, MissingFrameZeroFailsBeforeAnyCameraIsWritten) {
    WriteReference();
    bool ok = true;
    const std::string out = ParseText(
        kHeader + ImageSequence(0, 1, 1) + kIntrinsics + CameraTrack(SimpleFrame(1)), &ok);
    EXPECT_FALSE(ok);
    EXPECT_NE(out.find("ERROR:Can not find the FRAME0 block"), std::string::npos) << out;
}

TEST_F(TrackFileParserTest, ObservationsOutsideTheFramesStayInTheirTrackOnly) {
    Load(FeatureTracks("1\n4 5 0 1 2 3\n-1 1 1\n2 2 2\n3 3 3\n1 4 4\n"));
    parser->frameMatchPoints.assign(3, nullptr);
    const std::string out = CaptureStdout([&] { parser->ReadFeatureTracks(); });
    EXPECT_EQ(out.rfind("Warning", 0), 0u) << out;
    ASSERT_EQ(parser->tracks.size(), 1u);
    const CMatchLinker& track = *parser->tracks[0];
    ASSERT_EQ(track.trackPoints.size(), 4u);
    EXPECT_EQ(track.trackPoints[0].frame, -1);
    EXPECT_EQ(track.trackPoints[0].index, -1);
    EXPECT_EQ(track.trackPoints[2].frame, 3);
    EXPECT_EQ(track.trackPoints[2].index, -1);
    EXPECT_EQ(track.trackPoints[3].index, 0);
    EXPECT_EQ(track.trackPoints[3].x, 4.0);
    ASSERT_NE(parser->frameMatchPoints[1], nullptr);
    ASSERT_NE(parser->frameMatchPoints[2], nullptr);
    EXPECT_EQ(parser->frameMatchPoints[0], nullptr);
    EXPECT_EQ(parser->frameMatchPoints[2]->size(), 1u);
    ExpectStoreInvariants(*parser);
}

TEST_F(TrackFileParserTest, DamagedCountsAreBoundedByTheText) {
    // A negative observation count reads as none; the next words form the next record.
    Load(FeatureTracks("2\n-5 1 0 1 2 3\n1 2 0 4 5 6\n0 7 8\n"));
    parser->frameMatchPoints.assign(1, nullptr);
    std::string out = CaptureStdout([&] { parser->ReadFeatureTracks(); });
    EXPECT_EQ(out, "");
    ASSERT_EQ(parser->tracks.size(), 2u);
    EXPECT_EQ(parser->tracks[0]->GetTrackPointCount(), 0u);
    EXPECT_EQ(parser->tracks[1]->id, 2);
    ExpectStoreInvariants(*parser);

    // A record count far beyond the text: one warning, the records in the section are kept.
    Load(FeatureTracks("2000000000\n" + std::string(kTwoTracks).substr(2)) + CameraTrack(""));
    parser->frameMatchPoints.assign(2, nullptr);
    out = CaptureStdout([&] { parser->ReadFeatureTracks(); });
    EXPECT_EQ(out.rfind("Warning", 0), 0u) << out;
    EXPECT_EQ(out.find('\n'), out.size() - 1) << out;
    ASSERT_EQ(parser->tracks.size(), 2u);
    EXPECT_EQ(parser->tracks[1]->id, 8);
    ExpectStoreInvariants(*parser);

    // An observation count beyond the text: one warning, the whole records before it are kept.
    Load(FeatureTracks("3\n1 1 0 1 2 3\n0 1 1\n2147483647 2 0 1 2 3\n0 1 1\n1 3 0 1 2 3\n0 1 1\n"));
    parser->frameMatchPoints.assign(1, nullptr);
    out = CaptureStdout([&] { parser->ReadFeatureTracks(); });
    EXPECT_EQ(out.rfind("Warning", 0), 0u) << out;
    ASSERT_EQ(parser->tracks.size(), 1u);
    EXPECT_EQ(parser->frameMatchPoints[0]->size(), 1u);
    ExpectStoreInvariants(*parser);

    // A record count a little beyond the records: the text after them, then the end of the file,
    // read as records of zeros.
    Load(FeatureTracks("3\n" + std::string(kTwoTracks).substr(2)));
    parser->frameMatchPoints.assign(2, nullptr);
    out = CaptureStdout([&] { parser->ReadFeatureTracks(); });
    EXPECT_EQ(out, "");
    ASSERT_EQ(parser->tracks.size(), 3u);
    EXPECT_EQ(parser->tracks[2]->GetTrackPointCount(), 0u);

    // A huge count of extra words ends at the end of the file.
    Load(FeatureTracks("kpts: 2147483647\n1\n1 1 0 1 2 3\n0 1 1\n"));
    parser->frameMatchPoints.assign(1, nullptr);
    parser->ReadFeatureTracks();
    EXPECT_EQ(parser->tracks.size(), 1u);
}

TEST_F(TrackFileParserTest, OverlongValuesAndInvalidFrameCountsFail) {
    bool ok = true;
    std::string out =
        ParseText(kHeader + std::string("<Image Sequence>\nSequence:") + std::string(1000, 'a') +
                      "\n</Image Sequence>\n" + kIntrinsics + CameraTrack(""),
                  &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(out.rfind("ERROR:", 0), 0u) << out;
    EXPECT_NE(out.find("Sequence:"), std::string::npos) << out;

    // 999 characters still fit.
    out = ParseText(kHeader + std::string("<Image Sequence>\nSequence:") + std::string(999, 'a') +
                        "\nend:-1\n</Image Sequence>\n" + kIntrinsics + CameraTrack(""),
                    &ok);
    EXPECT_TRUE(ok) << out;
    EXPECT_EQ(seq.imagePath, std::string(999, 'a'));

    // Negative, too large, and beyond int: the sequence refuses the count; no entry is made.
    const std::pair<int, int> ranges[] = {{10, 0}, {0, kMaxFrameCount}, {INT_MIN, INT_MAX}};
    for (const auto& range : ranges) {
        CZelVideoSequence s;
        CTrackFileParser p(&s);
        testutil::WriteFile(path, kHeader + ImageSequence(range.first, 1, range.second) +
                                      kIntrinsics + CameraTrack(""));
        out = CaptureStdout([&] { ok = p.Parse(path.c_str()); });
        EXPECT_FALSE(ok);
        EXPECT_EQ(out.rfind("ERROR", 0), 0u) << out;
        EXPECT_TRUE(p.frameMatchPoints.empty());
    }
}

}  // namespace
