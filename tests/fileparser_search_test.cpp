// FindLine and FindLineInRange search the buffer directly instead of copying every line; these
// tests hold them to the line-by-line reading they replace (ReadLine, then strstr on the line),
// on random buffers full of the awkward cases: lines longer than the 9999 characters a line
// keeps, occurrences cut by that limit, NUL bytes before an occurrence, CR, a last line without
// '\n', ranges that end mid-line.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>

#include "parser/fileparser.h"

namespace {

// The search as defined line by line.
int ReferenceFindLineInRange(CFileParser& p, const char* text, int from, int limit) {
    p.position = from < 0 ? 0 : from;
    while (p.position < p.length && p.position <= limit) {
        const int32_t lineStart = p.position;
        p.ReadLine();
        if (const char* found = std::strstr(p.lineBuffer, text)) {
            p.position = lineStart + static_cast<int32_t>(found - p.lineBuffer);
            return 1;
        }
    }
    return 0;
}

void SetBuffer(CFileParser& p, const std::string& bytes) {
    p.ReleaseBuffer();
    p.buffer = new char[bytes.size()];
    std::memcpy(p.buffer, bytes.data(), bytes.size());
    p.length = static_cast<int32_t>(bytes.size());
}

std::string RandomText(std::mt19937& rng) {
    static const char kAlphabet[] = "ab<>/ \r\n\n\t";
    std::string bytes;
    const int lines = static_cast<int>(rng() % 12);
    for (int i = 0; i < lines; i++) {
        const auto kind = rng() % 10;
        // Mostly short lines; some around and beyond the 10000-character line limit.
        const size_t size = kind < 6   ? rng() % 30
                            : kind < 9 ? 9990 + rng() % 25
                                       : 10000 + rng() % 25000;
        for (size_t j = 0; j < size; j++) {
            const auto r = rng() % 1000;
            bytes += r == 0 ? '\0' : r < 3 ? '\n' : kAlphabet[r % 9];
        }
        if (rng() % 8 != 0) {
            bytes += '\n';
        }
    }
    return bytes;
}

// A text to search for: mostly a piece of the buffer (so that it is found, or cut by a line
// limit), sometimes a piece that is nowhere.
std::string RandomNeedle(std::mt19937& rng, const std::string& bytes) {
    if (bytes.empty() || rng() % 5 == 0) {
        return rng() % 2 ? "<x>" : "a";
    }
    const size_t at = rng() % bytes.size();
    const size_t size = 1 + rng() % 12;
    std::string needle = bytes.substr(at, size);
    return needle.substr(0, needle.find('\0'));  // a C string ends at its NUL
}

TEST(FindLineSearchTest, MatchesLineByLineReadingOnRandomBuffers) {
    std::mt19937 rng(20240611);
    CFileParser fast;
    CFileParser reference;
    for (int trial = 0; trial < 1200; trial++) {
        const std::string bytes = RandomText(rng);
        SetBuffer(fast, bytes);
        SetBuffer(reference, bytes);
        const int length = static_cast<int>(bytes.size());
        for (int query = 0; query < 4; query++) {
            const std::string needle = RandomNeedle(rng, bytes);
            const int from = static_cast<int>(rng() % (length + 2)) - 1;
            const bool ranged = rng() % 2 == 0;
            const int limit = static_cast<int>(rng() % (length + 20002)) - 10001;
            std::memset(fast.lineBuffer, 0, sizeof fast.lineBuffer);
            std::memset(reference.lineBuffer, 0, sizeof reference.lineBuffer);
            int expected = 0;
            int actual = 0;
            if (ranged) {
                expected = ReferenceFindLineInRange(reference, needle.c_str(), from, limit);
                actual = fast.FindLineInRange(needle.c_str(), from, limit);
            } else {
                reference.position = from;
                fast.position = from;
                expected = ReferenceFindLineInRange(reference, needle.c_str(), from, INT32_MAX);
                actual = fast.FindLine(needle.c_str());
            }
            SCOPED_TRACE("trial " + std::to_string(trial) + " query " + std::to_string(query) +
                         (ranged ? " ranged" : "") + " from " + std::to_string(from) + " limit " +
                         std::to_string(limit) + " needle '" + needle + "'");
            ASSERT_EQ(actual, expected);
            ASSERT_EQ(fast.position, reference.position);
            ASSERT_STREQ(fast.lineBuffer, reference.lineBuffer);
        }
    }
}

TEST(FindLineSearchTest, OccurrenceCutByTheLineLimitIsFoundOnlyWhereALineKeepsIt) {
    CFileParser p;
    // 9997 filler characters, then "<a>" whose '>' is the lost 10000th character; the rest of
    // the line is read as the next line, which holds "<a>" whole.
    std::string bytes(9997, 'x');
    bytes += "<a>";
    bytes += "yy<a>\n";
    SetBuffer(p, bytes);
    p.position = 0;
    ASSERT_EQ(p.FindLine("<a>"), 1);
    EXPECT_EQ(p.position, 10002);
    EXPECT_STREQ(p.lineBuffer, "yy<a>");
}

TEST(FindLineSearchTest, NulBeforeAnOccurrenceHidesItAndNotFoundLeavesTheLastLine) {
    CFileParser p;
    SetBuffer(p, std::string("ab\0<t>\nlast line\n", 17));
    p.position = 0;
    EXPECT_EQ(p.FindLine("<t>"), 0);
    EXPECT_EQ(p.position, 17);
    EXPECT_STREQ(p.lineBuffer, "last line");
    EXPECT_EQ(p.FindLineInRange("last", 0, 6), 0) << "the second line starts after the limit";
    EXPECT_EQ(p.position, 7);
    EXPECT_STREQ(p.lineBuffer, "ab");
}

}  // namespace
