// The feature-track reader converts plain numbers straight from the buffer. Whatever the words
// look like, it must read exactly what ReadWord followed by the general conversions ParseInt /
// ParseDouble (atoi / atof as C99 defines them, on every platform) reads: these tests compare it
// with that reading on random sections full of awkward words.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "parser/trackfileparser.h"
#include "sequence/videosequence.h"
#include "tests/test_util.h"
#include "util/numparse.h"

namespace {

uint64_t Bits(double value) {
    uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof(bits));
    return bits;
}

void SetBuffer(CFileParser& p, const std::string& bytes) {
    p.ReleaseBuffer();
    p.buffer = new char[bytes.size()];
    std::memcpy(p.buffer, bytes.data(), bytes.size());
    p.length = static_cast<int32_t>(bytes.size());
    p.position = 0;
}

std::string RandomWord(std::mt19937& rng, bool integer) {
    static const char* const kOdd[] = {
        "+7",    "0x1A", "1.5e3", "12abc", "-",  ".",   "inf",         "nan",
        "1e-05", "-0",   "007",   "5.",    ".5", "\f3", "99999999999", "1.2345678901234567890123"};
    if (rng() % 8 == 0) {
        return kOdd[rng() % (sizeof(kOdd) / sizeof(kOdd[0]))];
    }
    const int value = static_cast<int>(rng() % 4000) - 50;
    if (integer) {
        return std::to_string(value % 6);  // small counts and frame numbers
    }
    char text[64];
    std::snprintf(text, sizeof text, "%.6f", value + static_cast<double>(rng() % 1000000) / 1e6);
    return text;
}

std::string RandomSeparator(std::mt19937& rng) {
    static const char* const kSeparators[] = {" ", "\n", "\r\n", "\t", "  ", " \n"};
    return kSeparators[rng() % 6];
}

// A "Feature Tracks" section of random records; counts come out of the words themselves.
std::string RandomSection(std::mt19937& rng) {
    std::string text = "<Feature Tracks>\n" + std::to_string(1 + rng() % 6) + "\n";
    const int words = static_cast<int>(rng() % 120);
    for (int i = 0; i < words; i++) {
        text += RandomWord(rng, i % 3 != 2) + RandomSeparator(rng);
    }
    return text + "</Feature Tracks>\n";
}

struct ReferenceTrack {
    int id;
    int status;
    double point[3];
    std::vector<CTrackPoint> points;
};

// The records as ReadWord, ParseInt and ParseDouble read them, up to a record whose observation
// count cannot fit the rest of the buffer (where the parser stops too). Returns false when the
// record count itself cannot fit (the parser then reads differently).
bool ReferenceRead(CFileParser& p, std::vector<ReferenceTrack>& tracks) {
    p.position = static_cast<int32_t>(std::strlen("<Feature Tracks>"));
    p.ReadWord();
    const int records = ParseInt(p.wordBuffer);
    if (records > 0 && 12 * int64_t{records} - 1 > p.length - p.position) {
        return false;
    }
    for (int r = 0; r < records; r++) {
        ReferenceTrack t;
        p.ReadWord();
        int count = ParseInt(p.wordBuffer);
        p.ReadWord();
        t.id = ParseInt(p.wordBuffer);
        p.ReadWord();
        t.status = ParseInt(p.wordBuffer);
        for (double& v : t.point) {
            p.ReadWord();
            v = ParseDouble(p.wordBuffer);
        }
        count = count < 0 ? 0 : count;
        if (count > 0 && 6 * int64_t{count} - 1 > p.length - p.position) {
            break;
        }
        for (int j = 0; j < count; j++) {
            CTrackPoint point;
            p.ReadWord();
            point.frame = ParseInt(p.wordBuffer);
            p.ReadWord();
            point.x = ParseDouble(p.wordBuffer);
            p.ReadWord();
            point.y = ParseDouble(p.wordBuffer);
            t.points.push_back(point);
        }
        tracks.push_back(t);
    }
    return true;
}

TEST(FeatureTrackWordsTest, ReadsWhatReadWordAndTheGeneralConversionsRead) {
    std::mt19937 rng(99);
    int compared = 0;
    for (int trial = 0; trial < 3000; trial++) {
        const std::string text = RandomSection(rng);
        CZelVideoSequence sequence;
        CTrackFileParser parser(&sequence);
        parser.frameMatchPoints.resize(4);
        SetBuffer(parser, text);
        testutil::CaptureStdout([&] { parser.ReadFeatureTracks(); });  // warnings expected

        CFileParser reference;
        SetBuffer(reference, text);
        std::vector<ReferenceTrack> expected;
        if (!ReferenceRead(reference, expected)) {
            continue;
        }
        ASSERT_EQ(parser.tracks.size(), expected.size()) << text;
        for (size_t t = 0; t < expected.size(); t++) {
            const CMatchLinker& got = *parser.tracks[t];
            SCOPED_TRACE("trial " + std::to_string(trial) + ", track " + std::to_string(t) + ":\n" +
                         text);
            ASSERT_EQ(got.id, expected[t].id);
            ASSERT_EQ(got.status, expected[t].status);
            for (int k = 0; k < 3; k++) {
                ASSERT_EQ(Bits(got.point[k]), Bits(expected[t].point[k]));
            }
            const size_t count = expected[t].points.size();
            ASSERT_EQ(got.trackPoints.size(), count);
            for (size_t j = 0; j < count; j++) {
                ASSERT_EQ(got.trackPoints[j].frame, expected[t].points[j].frame);
                ASSERT_EQ(Bits(got.trackPoints[j].x), Bits(expected[t].points[j].x));
                ASSERT_EQ(Bits(got.trackPoints[j].y), Bits(expected[t].points[j].y));
            }
        }
        ASSERT_EQ(parser.position, reference.position) << text;
        ASSERT_STREQ(parser.wordBuffer, reference.wordBuffer) << text;
        compared++;
    }
    EXPECT_GT(compared, 1000);
}

}  // namespace
