// A catalogue of damaged project files, one suite per kind of damage. Each case checks the
// sound outcome: no crash, the clear message on standard output, false where the file is
// unusable, and what can be kept is kept. Memory and time stay bounded because the inputs are
// small and nothing is allocated by a count read from the file.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "parser/trackfileparser.h"
#include "platform/platform.h"
#include "sequence/videoframe.h"
#include "sequence/videosequence.h"
#include "tests/test_util.h"

namespace {

// The parts of a project whose reference picture ref0000.bmp lies beside it. The camera track
// comes before the feature tracks, so a file cut inside the feature tracks still has every
// required section.
const char kHeader[] = "#camera track project file\n";
const char kSequence[] =
    "<Image Sequence>\nSequence:./ref0000.bmp\nstart:0\nstep:1\nend:2\n</Image Sequence>\n";
const char kIntrinsics[] = "<intrinsic parameter>\n1000 1000 2 1.5 0\n</intrinsic parameter>\n";
const char kCameras[] =
    "<Camera Track>\n"
    "<FRAME0>\n1000 1 0 0 0 0 1 0 0 0 0 1 0\n</FRAME0>\n"
    "<FRAME1>\n1000 1 0 0 0.5 0 1 0 0 0 0 1 0\n</FRAME1>\n"
    "<FRAME2>\n1000 1 0 0 1 0 1 0 0 0 0 1 0\n</FRAME2>\n"
    "</Camera Track>\n";
// Two tracks: one seen in frames 0 and 1 at depth 4, one seen in frame 2 at depth 8.
const char kTracks[] =
    "<Feature Tracks>\n2\n"
    "2 7 0 0 0 4 0 10.5 20.5 1 11.5 21.5\n"
    "1 8 0 1 1 8 2 30 40\n"
    "</Feature Tracks>\n";

std::string Project(const std::string& sequence = kSequence,
                    const std::string& intrinsics = kIntrinsics,
                    const std::string& cameras = kCameras, const std::string& tracks = kTracks) {
    return kHeader + sequence + intrinsics + cameras + tracks;
}

std::string Tracks(const std::string& content) {
    return "<Feature Tracks>\n" + content + "\n</Feature Tracks>\n";
}

// What a parse left behind.
struct Outcome {
    bool ok = false;
    std::string out;  // standard output
    int frames = 0;
    std::vector<std::shared_ptr<CMatchLinker>> tracks;
    std::vector<size_t> perFrame;  // observations in each frame's array (0 for a null entry)
    double disparity = 0.0;        // EstimateMaxDisparity after a successful parse
    ProjectError error = ProjectError::kNone;
    std::string subject;  // the section or key the failure names

    // The number of output lines that begin with prefix.
    int Lines(const std::string& prefix) const {
        std::istringstream in(out);
        int n = 0;
        for (std::string line; std::getline(in, line);) {
            n += line.compare(0, prefix.size(), prefix) == 0 ? 1 : 0;
        }
        return n;
    }
    // True when the output names the failure: an "ERROR..." line or the header message.
    bool Reported() const {
        return Lines("ERROR") > 0 || Lines("This is not camera track Project File!") > 0;
    }
};

class BadProject : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        SetDiagnosticSink([](const char*) {});
        testutil::WriteBmp24(testutil::TempPath("ref0000.bmp"), 4, 3,
                             std::vector<testutil::Rgb>(12, testutil::Rgb{10, 20, 30}));
    }

    // Writes text as a project beside the reference picture and parses it as the program does.
    static void TearDownTestSuite() { SetDiagnosticSink(nullptr); }

    static Outcome Parse(const std::string& name, const std::string& text) {
        const std::string path = testutil::TempPath(name + ".txt");
        testutil::WriteFile(path, text);
        Outcome r;
        CZelVideoSequence sequence;
        CTrackFileParser parser(&sequence);
        r.out = testutil::CaptureStdout([&] { r.ok = parser.Parse(path.c_str()); });
        r.error = parser.GetLastError();
        r.subject = parser.GetErrorSubject();
        r.frames = sequence.GetFrameCount();
        r.tracks = parser.tracks;
        for (const auto& list : parser.frameMatchPoints) {
            r.perFrame.push_back(list ? list->size() : 0);
        }
        if (r.ok) {
            parser.HandOverMatchPoints();
            r.disparity = sequence.EstimateMaxDisparity(parser);
        }
        return r;
    }
};

// The reference outcome of the undamaged file: every later case is measured against it.
TEST_F(BadProject, UndamagedFileParses) {
    const Outcome r = Parse("undamaged", Project());
    ASSERT_TRUE(r.ok) << r.out;
    EXPECT_EQ(r.frames, 3);
    EXPECT_EQ(r.tracks.size(), 2u);
    EXPECT_EQ(r.perFrame, (std::vector<size_t>{1, 1, 1}));
    EXPECT_EQ(r.Lines("ERROR") + r.Lines("Warning"), 0) << r.out;
    EXPECT_GT(r.disparity, 0.0);
}

using BadProjectTruncated = BadProject;

// The file cut after every byte. A cut before the camera track's closing tag leaves a required
// section open and fails with a message naming the section it falls in; a cut inside the
// feature tracks leaves that optional section open, so the file parses without tracks.
TEST_F(BadProjectTruncated, EveryCutFailsNamingItsSectionOrParsesWithoutTracks) {
    const std::string full = Project();
    const size_t sequenceEnd = full.find("</Image Sequence>") + 17;
    const size_t intrinsicsEnd = full.find("</intrinsic parameter>") + 22;
    const size_t camerasEnd = full.find("</Camera Track>") + 15;
    const size_t tracksEnd = full.find("</Feature Tracks>") + 17;
    for (size_t cut = 0; cut <= full.size(); cut++) {
        SCOPED_TRACE("cut after " + std::to_string(cut) + " bytes");
        const Outcome r = Parse("truncated", full.substr(0, cut));
        if (cut < 26) {
            EXPECT_FALSE(r.ok);
            EXPECT_EQ(r.Lines("This is not camera track Project File!"), 1);
        } else if (cut < sequenceEnd) {
            EXPECT_FALSE(r.ok);
            EXPECT_NE(r.out.find("ERROR:Can not find the Image Sequence section"),
                      std::string::npos)
                << r.out;
        } else if (cut < intrinsicsEnd) {
            EXPECT_FALSE(r.ok);
            EXPECT_NE(r.out.find("ERROR:Can not find the intrinsic parameter section"),
                      std::string::npos)
                << r.out;
        } else if (cut < camerasEnd) {
            EXPECT_FALSE(r.ok);
            EXPECT_NE(r.out.find("ERROR:Can not find the Camera Track section"), std::string::npos)
                << r.out;
        } else {
            ASSERT_TRUE(r.ok) << r.out;
            EXPECT_EQ(r.Lines("ERROR"), 0);
            EXPECT_EQ(r.tracks.size(), cut < tracksEnd ? 0u : 2u);
        }
        if (::testing::Test::HasFailure()) {
            break;  // one cut's report is enough
        }
    }
}

// Feature-track counts that the text cannot hold: the reader stops with one warning and keeps
// the whole records read before, and it never sizes anything by the count.
TEST_F(BadProject, CountsBeyondTheTextStopWithOneWarning) {
    struct Case {
        const char* name;
        std::string tracks;
        size_t keptTracks;
    };
    const std::vector<Case> cases = {
        {"RecordCount2e9", Tracks("2000000000\n1 5 0 0 0 4 0 1 1"), 1},
        {"RecordCount2e9Alone", Tracks("2000000000"), 0},
        {"ObservationCount2e9", Tracks("2\n1 5 0 0 0 4 0 1 1\n2000000000 6 0 0 0 4 0 1 1"), 1},
        {"BothCounts2e9", Tracks("2000000000\n2000000000 6 0 0 0 4 0 1 1"), 0},
        {"ExtraWords2e9", Tracks("kpts: 2000000000 2000000000\n1 5 0 0 0 4 0 1 1"), 1},
        // atoi of a number beyond the int range: (int) LONG_MAX is -1, so no record is read.
        {"RecordCountOverflowsInt", Tracks("99999999999999999999\n1 5 0 0 0 4 0 1 1"), 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome r = Parse(c.name, Project(kSequence, kIntrinsics, kCameras, c.tracks));
        ASSERT_TRUE(r.ok) << r.out;
        EXPECT_EQ(r.tracks.size(), c.keptTracks);
        EXPECT_LE(r.Lines("Warning"), 1) << r.out;
        for (const auto& track : r.tracks) {
            EXPECT_LE(track->trackPoints.size(), 1u);
        }
    }
}

// Negative counts read no record or no observation, without a warning; the words after a
// negative observation count start the next record.
TEST_F(BadProject, NegativeCountsReadAsZero) {
    Outcome r = Parse("negative_records",
                      Project(kSequence, kIntrinsics, kCameras, Tracks("-3\n1 5 0 0 0 4 0 1 1")));
    ASSERT_TRUE(r.ok) << r.out;
    EXPECT_TRUE(r.tracks.empty());
    EXPECT_EQ(r.perFrame, (std::vector<size_t>{0, 0, 0}));

    r = Parse("negative_observations", Project(kSequence, kIntrinsics, kCameras,
                                               Tracks("2\n-5 1 0 0 0 4\n1 2 0 0 0 8 1 3 3")));
    ASSERT_TRUE(r.ok) << r.out;
    ASSERT_EQ(r.tracks.size(), 2u);
    EXPECT_TRUE(r.tracks[0]->trackPoints.empty());
    EXPECT_EQ(r.tracks[1]->id, 2);
    EXPECT_EQ(r.perFrame, (std::vector<size_t>{0, 1, 0}));
    EXPECT_EQ(r.Lines("Warning"), 0) << r.out;
}

// Observations naming a frame below 0 or at or past the frame count stay in their track with
// index -1 and enter no frame array; one warning counts them; the disparity estimate uses the
// track's other observations.
TEST_F(BadProject, FrameIndicesOutsideTheSequenceStayInTheirTrack) {
    const std::string tracks =
        Tracks("1\n5 9 0 0 0 4  -1 1 1  3 2 2  2 5 5  -2147483648 3 3  99999999999 4 4");
    const Outcome r = Parse("frame_indices", Project(kSequence, kIntrinsics, kCameras, tracks));
    ASSERT_TRUE(r.ok) << r.out;
    ASSERT_EQ(r.tracks.size(), 1u);
    const std::vector<CTrackPoint>& points = r.tracks[0]->trackPoints;
    ASSERT_EQ(points.size(), 5u);
    for (size_t j = 0; j < points.size(); j++) {
        EXPECT_EQ(points[j].index, j == 2 ? 0 : -1) << "observation " << j;
    }
    EXPECT_EQ(r.perFrame, (std::vector<size_t>{0, 0, 1}));
    EXPECT_EQ(r.Lines("Warning"), 1) << r.out;
    EXPECT_NE(r.out.find(" 4 "), std::string::npos) << "the warning counts the four: " << r.out;
    // Frame 2's camera is translated by 1 along x only: the point keeps depth 4.
    EXPECT_DOUBLE_EQ(r.disparity, 1.0 / (4.0 * 0.7));
}

// Each required section missing, as a whole or by one of its tags, fails with a message that
// names it; a missing FRAME0 block fails too; the optional feature tracks may be missing.
TEST_F(BadProject, MissingSectionsAreNamed) {
    struct Case {
        const char* name;
        std::string text;
        const char* named;  // text the ERROR line must hold; null: the file parses
    };
    auto without = [](std::string text, const std::string& part) {
        const size_t at = text.find(part);
        return text.erase(at, part.size());
    };
    const std::string full = Project();
    const std::vector<Case> cases = {
        {"NoImageSequence", Project("", kIntrinsics), "Image Sequence"},
        {"NoImageSequenceOpening", without(full, "<Image Sequence>"), "Image Sequence"},
        {"NoImageSequenceClosing", without(full, "</Image Sequence>"), "Image Sequence"},
        {"NoIntrinsics", Project(kSequence, ""), "intrinsic parameter"},
        {"NoIntrinsicsClosing", without(full, "</intrinsic parameter>"), "intrinsic parameter"},
        {"NoCameraTrack", Project(kSequence, kIntrinsics, ""), "Camera Track"},
        {"NoCameraTrackOpening", without(full, "<Camera Track>"), "Camera Track"},
        {"NoFrame0", without(full, "<FRAME0>"), "FRAME0"},
        {"NoFeatureTracks", Project(kSequence, kIntrinsics, kCameras, ""), nullptr},
        {"NoFeatureTracksClosing", without(full, "</Feature Tracks>"), nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome r = Parse(c.name, c.text);
        if (c.named == nullptr) {
            EXPECT_TRUE(r.ok) << r.out;
            EXPECT_TRUE(r.tracks.empty());
            EXPECT_EQ(r.perFrame, (std::vector<size_t>{0, 0, 0}));
            continue;
        }
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.Lines("ERROR"), 1) << r.out;
        EXPECT_NE(r.out.find(c.named), std::string::npos) << r.out;
        if (std::string(c.named) == "FRAME0") {
            EXPECT_EQ(r.error, ProjectError::kMissingFrame0);
        } else {
            EXPECT_EQ(r.error, ProjectError::kMissingSection);
            EXPECT_EQ(r.subject, c.named);
        }
    }
}

// Bytes that are no project at all, or garbage inside a well-formed frame.
TEST_F(BadProject, EmptyFileAndGarbage) {
    Outcome r = Parse("empty", "");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.out, "This is not camera track Project File!\n");
    EXPECT_EQ(r.error, ProjectError::kNotProjectFile);

    std::mt19937 random(12345);
    std::string garbage(8192, '\0');
    for (char& c : garbage) {
        c = static_cast<char>(random() & 0xFF);
    }
    r = Parse("garbage", garbage);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.Lines("This is not camera track Project File!"), 1);

    // Past the header, garbage has no sections: the first required one is reported.
    r = Parse("header_then_garbage", kHeader + garbage);
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(r.Reported()) << r.out;

    // Garbage (without '<') as the feature tracks and between the sections: whatever it reads
    // as, the two views of the tracks stay consistent.
    std::string words = garbage;
    for (char& c : words) {
        if (c == '<' || c == '>') {
            c = ' ';
        }
    }
    r = Parse("garbage_tracks",
              Project(kSequence + words + "\n", kIntrinsics, kCameras, Tracks(words)));
    ASSERT_TRUE(r.ok) << r.out;
    size_t inFrames = 0;
    for (const auto& track : r.tracks) {
        for (const CTrackPoint& p : track->trackPoints) {
            inFrames += p.index >= 0 ? 1 : 0;
        }
    }
    size_t listed = 0;
    for (size_t n : r.perFrame) {
        listed += n;
    }
    EXPECT_EQ(listed, inFrames);
}

// A line of 20000 characters: as a keyed value it is refused with a message; elsewhere it is
// text the reader splits into parts of at most 9999 characters (lines) or 999 (words).
TEST_F(BadProject, LinesOf20000Characters) {
    const std::string longText(20000, '7');
    Outcome r = Parse("long_value", Project("<Image Sequence>\nSequence:" + longText +
                                            "\nstart:0\nend:2\n</Image Sequence>\n"));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.Lines("ERROR"), 1) << r.out.substr(0, 300);
    EXPECT_NE(r.out.find("longer than 999 characters"), std::string::npos);
    EXPECT_EQ(r.error, ProjectError::kValueTooLong);
    EXPECT_EQ(r.subject, "Sequence:");

    r = Parse("long_header",
              std::string(kHeader, 26) + longText + "\n" + Project().substr(sizeof(kHeader) - 1));
    EXPECT_TRUE(r.ok) << r.out;
    EXPECT_EQ(r.tracks.size(), 2u);

    r = Parse("long_line_between_sections",
              kHeader + longText + "\n" + Project().substr(sizeof(kHeader) - 1));
    EXPECT_TRUE(r.ok) << r.out;
    EXPECT_EQ(r.tracks.size(), 2u);

    // A 20000-digit focal length reads its first 999 digits (infinite as a float); the rest of
    // the line becomes the next words.
    r = Parse("long_word", Project(kSequence, "<intrinsic parameter>\n" + longText +
                                                  " 1 2 1.5 0\n</intrinsic parameter>\n"));
    EXPECT_TRUE(r.ok) << r.out;
}

// Files that end without a line end after their last section or inside a number.
TEST_F(BadProject, NoFinalLineEnd) {
    std::string full = Project();
    full.pop_back();  // after "</Feature Tracks>"
    Outcome r = Parse("no_final_lf", full);
    ASSERT_TRUE(r.ok) << r.out;
    EXPECT_EQ(r.tracks.size(), 2u);

    std::string camerasLast = kHeader + std::string(kSequence) + kIntrinsics + kTracks + kCameras;
    camerasLast.pop_back();
    r = Parse("no_final_lf_cameras", camerasLast);
    ASSERT_TRUE(r.ok) << r.out;
    EXPECT_EQ(r.tracks.size(), 2u);

    // A file that ends inside the feature tracks, in the middle of a number: the section is not
    // closed, so it is not read.
    const std::string open = kHeader + std::string(kSequence) + kIntrinsics + kCameras +
                             "<Feature Tracks>\n1\n1 5 0 0 0 4 1 2.5 3.5";
    r = Parse("ends_in_a_number", open);
    ASSERT_TRUE(r.ok) << r.out;
    EXPECT_TRUE(r.tracks.empty()) << "an unclosed feature section is not read";
}

// Frame ranges that give a negative count, or more frames than a sequence takes, fail with a
// message and make no frames; an "end:" one below "start:" gives an empty sequence.
TEST_F(BadProject, FrameRanges) {
    auto range = [](const std::string& keys) {
        return "<Image Sequence>\nSequence:./ref0000.bmp\n" + keys + "</Image Sequence>\n";
    };
    const std::vector<std::string> refused = {
        "start:100\nend:-2000000000\n",
        "start:2147483647\nend:-2147483648\n",
        "start:0\nstep:1\nend:2147483647\n",
        "start:0\nend:" + std::to_string(kMaxFrameCount) + "\n",
    };
    for (const std::string& keys : refused) {
        SCOPED_TRACE(keys);
        const Outcome r = Parse("range", Project(range(keys)));
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.Lines("ERROR: Invalid frame range"), 1) << r.out;
        EXPECT_EQ(r.error, ProjectError::kFrameRange);
        EXPECT_EQ(r.frames, 0);
        EXPECT_TRUE(r.perFrame.empty());
    }

    const Outcome r = Parse("empty_range", Project(range("start:5\nend:4\n")));
    EXPECT_TRUE(r.ok) << r.out;
    EXPECT_EQ(r.error, ProjectError::kNone);
    EXPECT_EQ(r.frames, 0);
    EXPECT_EQ(r.disparity, -1.0) << "observations of no frame give no depth";
}

// A reference picture that cannot be read: the sequence reports it with its path, the parse
// fails and no later section is read. The frames exist with default contents.
TEST_F(BadProject, DamagedReferencePictures) {
    const std::string good = testutil::Bmp24Bytes(4, 3, testutil::DistinctPixels(4, 3));
    // The good picture with 32-bit header fields replaced: (byte offset, value) pairs.
    auto patched = [&good](std::initializer_list<std::pair<size_t, uint32_t>> fields) {
        std::string bytes = good;
        for (const auto& [at, value] : fields) {
            for (size_t i = 0; i < 4; i++) {
                bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
            }
        }
        return bytes;
    };
    auto seed = [](const char* name) {
        return testutil::ReadFile(std::string(ZEL_SOURCE_DIR) + "/fuzz/corpus/fuzz_image/" + name);
    };
    struct Case {
        const char* name;
        std::string bytes;
    };
    const std::vector<Case> cases = {
        {"NotAPicture", "#camera track project file\n"},
        {"Empty", ""},
        {"ZeroWidth", patched({{18, 0}})},
        {"MostNegativeHeight", patched({{22, 0x80000000u}})},
        {"SizeOverflows32Bits", patched({{18, 0x10000}, {22, 0x10000}})},
        {"BogusBitCount", patched({{28, 13}})},
        {"OffsetBeyondFile", patched({{10, 0x7FFFFFF0u}})},
        {"TruncatedPixels", good.substr(0, good.size() - 5)},
        {"PaletteIndexBeyondPalette", seed("bmp4_index_beyond_palette.bmp")},
        {"TruncatedPng", seed("png_rgb8_truncated.png")},
        {"TruncatedJpeg", seed("jpeg_truncated_pixels.jpg")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string picture = std::string("bad_") + c.name + ".bmp";
        testutil::WriteFile(testutil::TempPath(picture), c.bytes);
        const Outcome r = Parse(c.name, Project("<Image Sequence>\nSequence:./" + picture +
                                                "\nstart:0\nend:2\n</Image Sequence>\n"));
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.Lines("ERROR"), 1) << r.out;
        EXPECT_NE(r.out.find("ERROR: Can not load imag file: " + testutil::TempPath(picture)),
                  std::string::npos)
            << r.out;
        EXPECT_EQ(r.error, ProjectError::kReferenceImage);
        EXPECT_EQ(r.subject, testutil::TempPath(picture));
        EXPECT_EQ(r.frames, 3);
        EXPECT_TRUE(r.tracks.empty());
    }
}

}  // namespace
