#include "parser/fileparser.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tests/test_util.h"

namespace {

std::string g_diagnostics;

void CollectDiagnostics(const char* text) {
    g_diagnostics += text;
}

// Routes the diagnostic channel into g_diagnostics for the life of a test.
class CFileParserTest : public testing::Test {
  protected:
    void SetUp() override {
        g_diagnostics.clear();
        SetDiagnosticSink(CollectDiagnostics);
    }
    void TearDown() override { SetDiagnosticSink(nullptr); }

    // Writes bytes to a file named after the running test and loads it into parser.
    void Load(const std::string& bytes) {
        const std::string path =
            testutil::TempPath(testing::UnitTest::GetInstance()->current_test_info()->name());
        testutil::WriteFile(path, bytes);
        ASSERT_EQ(parser.LoadFile(path.c_str()), 1) << g_diagnostics;
        ASSERT_EQ(parser.length, static_cast<int32_t>(bytes.size()));
        parser.position = 0;
    }

    CFileParser parser;
};

// --- LoadFile and its traces --------------------------------------------------------------

TEST_F(CFileParserTest, LoadFileKeepsBytesAndTracesOnlyOnTheDiagnosticChannel) {
    const std::string bytes = std::string("a\r\nb\0c\n", 7);
    const std::string path = testutil::TempPath("load.txt");
    testutil::WriteFile(path, bytes);
    parser.position = 3;
    int loaded = 0;
    const std::string out =
        testutil::CaptureStdout([&] { loaded = parser.LoadFile(path.c_str()); });
    EXPECT_EQ(loaded, 1);
    EXPECT_EQ(out, "");
    EXPECT_EQ(g_diagnostics, "  opening...ok\n  length : 7 bytes\n  alloc...ok\n  reading...ok\n");
    EXPECT_EQ(parser.fileName, path);
    EXPECT_EQ(std::string(parser.buffer, static_cast<size_t>(parser.length)), bytes);
    EXPECT_EQ(parser.position, 3) << "LoadFile leaves position to the caller";
}

TEST_F(CFileParserTest, MissingFileDumpsTheErrnoAndLeavesTheBufferNull) {
    const std::string path = testutil::TempPath("no/such/file.txt");
    int loaded = 1;
    const std::string out =
        testutil::CaptureStdout([&] { loaded = parser.LoadFile(path.c_str()); });
    EXPECT_EQ(loaded, 0);
    EXPECT_EQ(out, "");
    EXPECT_EQ(g_diagnostics, "  opening...File could not be opened " + std::to_string(ENOENT) +
                                 "\nunable to open file for reading\n");
    EXPECT_EQ(parser.buffer, nullptr);
    EXPECT_EQ(parser.fileName, path);
}

TEST_F(CFileParserTest, FailedReadDumpsTheErrno) {
    // A directory opens for reading on POSIX systems, but reading it fails with EISDIR.
    const std::string dir = testutil::TempPath("a_directory");
    std::filesystem::create_directories(dir);
    struct stat info {};
    ASSERT_EQ(stat(dir.c_str(), &info), 0);
    if (info.st_size == 0) {
        GTEST_SKIP() << "this file system reports directories as empty";
    }
    EXPECT_EQ(parser.LoadFile(dir.c_str()), 0);
    const std::string expected = "  opening...ok\n  length : " + std::to_string(info.st_size) +
                                 " bytes\n  alloc...ok\n  reading...Error during reading " +
                                 std::to_string(EISDIR) + "\nerror during reading\n";
    EXPECT_EQ(g_diagnostics, expected);
}

TEST_F(CFileParserTest, SecondLoadReplacesTheFirstBuffer) {
    Load("first file\n");
    const std::string path = testutil::TempPath("second.txt");
    testutil::WriteFile(path, "2nd\n");
    ASSERT_EQ(parser.LoadFile(path.c_str()), 1);
    EXPECT_EQ(std::string(parser.buffer, 4), "2nd\n");
    EXPECT_EQ(parser.length, 4);
    // LeakSanitizer reports the first buffer if it was not freed.
}

TEST_F(CFileParserTest, FailedOpenOnALoadedReaderKeepsItsBuffer) {
    Load("kept\n");
    EXPECT_EQ(parser.LoadFile(testutil::TempPath("missing").c_str()), 0);
    ASSERT_NE(parser.buffer, nullptr);
    EXPECT_EQ(parser.length, 5);
    EXPECT_EQ(std::string(parser.buffer, 5), "kept\n");
}

TEST_F(CFileParserTest, EmptyFileLoadsAndReadsNothing) {
    Load("");
    EXPECT_EQ(parser.length, 0);
    EXPECT_EQ(g_diagnostics, "  opening...ok\n  length : 0 bytes\n  alloc...ok\n  reading...ok\n");
    // The header line of an empty project: an empty line, nothing read outside the buffer.
    std::strcpy(parser.lineBuffer, "stale");
    EXPECT_EQ(parser.ReadLine(), 1);
    EXPECT_STREQ(parser.lineBuffer, "");
    EXPECT_EQ(parser.position, 0);
    EXPECT_EQ(parser.ReadWord(), 0);
    EXPECT_EQ(parser.PeekNextLine(), 0);
    EXPECT_EQ(parser.position, 0) << "never negative";
    EXPECT_EQ(parser.FindLine(""), 0);
}

TEST_F(CFileParserTest, ReleaseBufferEmptiesTheReader) {
    Load("abc\n");
    parser.position = 2;
    parser.ReleaseBuffer();
    EXPECT_EQ(parser.buffer, nullptr);
    EXPECT_EQ(parser.position, 0);
    EXPECT_EQ(parser.ReadWord(), 0);
    EXPECT_EQ(parser.ReadLine(), 1);
    EXPECT_STREQ(parser.lineBuffer, "");
    parser.ReleaseBuffer();  // twice is harmless
}

// --- ReadLine and PeekNextLine ------------------------------------------------------------

TEST_F(CFileParserTest, ReadLineLineEnds) {
    // CR LF keeps the CR; a lone CR is no line end; the last line keeps its final character.
    Load("one\r\ntwo\rstill two\n\nlast");
    ASSERT_EQ(parser.ReadLine(), 1);
    EXPECT_STREQ(parser.lineBuffer, "one\r");
    EXPECT_EQ(parser.position, 5);
    parser.ReadLine();
    EXPECT_STREQ(parser.lineBuffer, "two\rstill two");
    parser.ReadLine();
    EXPECT_STREQ(parser.lineBuffer, "");
    parser.ReadLine();
    EXPECT_STREQ(parser.lineBuffer, "last");
    EXPECT_EQ(parser.position, parser.length);
    parser.ReadLine();  // at the end: an empty line, position stays
    EXPECT_STREQ(parser.lineBuffer, "");
    EXPECT_EQ(parser.position, parser.length);
}

TEST_F(CFileParserTest, ReadLineAtTheFixedBufferSize) {
    const std::string line9999(9999, 'a');
    const std::string line10000 = std::string(9999, 'b') + 'X';
    Load(line9999 + "\n" + line10000 + "\nnext\n" + std::string(10001, 'c'));

    parser.ReadLine();
    EXPECT_EQ(std::string(parser.lineBuffer), line9999) << "9999 characters are kept whole";
    EXPECT_EQ(parser.position, 10000);

    parser.ReadLine();
    EXPECT_EQ(std::string(parser.lineBuffer), std::string(9999, 'b')) << "the 10000th is lost";
    EXPECT_EQ(parser.position, 20000);
    parser.ReadLine();
    EXPECT_STREQ(parser.lineBuffer, "") << "the lone '\\n' of the long line";
    parser.ReadLine();
    EXPECT_STREQ(parser.lineBuffer, "next");

    // 10001 characters, no final line end: 9999, one lost, then the last one.
    parser.ReadLine();
    EXPECT_EQ(std::string(parser.lineBuffer), std::string(9999, 'c'));
    parser.ReadLine();
    EXPECT_STREQ(parser.lineBuffer, "c");
    EXPECT_EQ(parser.position, parser.length);
}

TEST_F(CFileParserTest, ReadLineOfExactlyTheBufferSizeAtTheEnd) {
    // 10000 characters and nothing after them: the window is full, so the 10000th is lost.
    Load(std::string(9999, 'd') + "Z");
    parser.ReadLine();
    EXPECT_EQ(std::string(parser.lineBuffer), std::string(9999, 'd'));
    EXPECT_EQ(parser.position, parser.length);
}

TEST_F(CFileParserTest, PeekNextLine) {
    Load("ab\ncd\r\nef");
    parser.position = 1;
    ASSERT_EQ(parser.PeekNextLine(), 1);
    EXPECT_STREQ(parser.lineBuffer, "cd\r");
    EXPECT_EQ(parser.position, 3) << "left at the first character of the following line";
    ASSERT_EQ(parser.PeekNextLine(), 1);
    EXPECT_STREQ(parser.lineBuffer, "ef");
    EXPECT_EQ(parser.position, 7);
    EXPECT_EQ(parser.PeekNextLine(), 0);
    EXPECT_EQ(parser.position, parser.length - 1);
}

TEST_F(CFileParserTest, PeekNextLineAfterAFinalLineEnd) {
    Load("only\n");
    EXPECT_EQ(parser.PeekNextLine(), 0);
    EXPECT_EQ(parser.position, 4);
}

// --- ReadWord ---------------------------------------------------------------------------

TEST_F(CFileParserTest, ReadWordWhiteSpaceIsExactlyFourCharacters) {
    // Form feed, vertical tab, NUL-free control bytes and bytes above 127 are token characters.
    Load(" \t\r\nalpha\fbeta\r\n\x01\x7f\xe9 \vx\t12.5");
    const char* expected[] = {"alpha\fbeta", "\x01\x7f\xe9", "\vx", "12.5"};
    for (const char* word : expected) {
        ASSERT_EQ(parser.ReadWord(), 1) << word;
        EXPECT_STREQ(parser.wordBuffer, word);
    }
    EXPECT_EQ(parser.position, parser.length) << "the last token keeps its final character";
    EXPECT_EQ(parser.ReadWord(), 0);
    EXPECT_STREQ(parser.wordBuffer, "");
}

TEST_F(CFileParserTest, ReadWordConsumesOneEndingCharacter) {
    Load("ab\r\ncd");
    parser.ReadWord();
    EXPECT_EQ(parser.position, 3) << "the '\\r' is consumed with the token, not the '\\n'";
    parser.ReadWord();
    EXPECT_STREQ(parser.wordBuffer, "cd");
}

TEST_F(CFileParserTest, ReadWordOnlyWhiteSpaceLeft) {
    Load("x  \r\n\t ");
    parser.ReadWord();
    std::strcpy(parser.wordBuffer, "stale");
    EXPECT_EQ(parser.ReadWord(), 0);
    EXPECT_STREQ(parser.wordBuffer, "");
    EXPECT_EQ(parser.position, parser.length);
}

TEST_F(CFileParserTest, ReadWordAtTheFixedBufferSize) {
    const std::string token999(999, 'a');
    const std::string token1000 = std::string(999, 'b') + 'X';
    Load(token999 + " " + token1000 + " next " + std::string(1001, 'c'));
    parser.ReadWord();
    EXPECT_EQ(std::string(parser.wordBuffer), token999);
    parser.ReadWord();
    EXPECT_EQ(std::string(parser.wordBuffer), std::string(999, 'b')) << "the 1000th is lost";
    parser.ReadWord();
    EXPECT_STREQ(parser.wordBuffer, "next");
    parser.ReadWord();
    EXPECT_EQ(std::string(parser.wordBuffer), std::string(999, 'c'));
    ASSERT_EQ(parser.ReadWord(), 1);
    EXPECT_STREQ(parser.wordBuffer, "c") << "the remainder of a long token is the next token";
    EXPECT_EQ(parser.ReadWord(), 0);
}

TEST_F(CFileParserTest, ReadWordMatchesASimpleSplitOnAMixedText) {
    std::string text;
    std::vector<std::string> words;
    unsigned seed = 7;
    for (int i = 0; i < 2000; ++i) {
        seed = seed * 1103515245u + 12345u;
        std::string word(1 + (seed >> 16) % 12, 'w');
        word[0] = static_cast<char>('a' + (seed >> 8) % 26);
        words.push_back(word);
        text += word;
        text += " \t\r\n"[(seed >> 4) % 4];
        if ((seed >> 20) % 3 == 0) {
            text += "\r\n";
        }
    }
    Load(text);
    for (size_t i = 0; i < words.size(); ++i) {
        ASSERT_EQ(parser.ReadWord(), 1) << "word " << i;
        ASSERT_EQ(words[i], parser.wordBuffer) << "word " << i;
    }
    EXPECT_EQ(parser.ReadWord(), 0);
}

// --- FindLine and FindLineInRange ---------------------------------------------------------

TEST_F(CFileParserTest, FindLineLandsOnTheOccurrence) {
    Load("ab\nxxneedle\n");
    ASSERT_EQ(parser.FindLine("needle"), 1);
    EXPECT_EQ(parser.position, 5);
    EXPECT_STREQ(parser.lineBuffer, "xxneedle");
}

TEST_F(CFileParserTest, FindLineSearchesFromThePositionOnly) {
    Load("needle one\nneedle two\n");
    parser.position = 1;  // the first occurrence lies before the position on its line
    ASSERT_EQ(parser.FindLine("needle"), 1);
    EXPECT_EQ(parser.position, 11);
    // Found again at the same place: the search starts on the occurrence.
    ASSERT_EQ(parser.FindLine("needle"), 1);
    EXPECT_EQ(parser.position, 11);
}

TEST_F(CFileParserTest, FindLineNotFoundIsCaseSensitive) {
    Load("Needle\nneedl\n");
    EXPECT_EQ(parser.FindLine("needle"), 0);
    EXPECT_GE(parser.position, parser.length);
}

TEST_F(CFileParserTest, FindLineEmptyTextMatchesTheFirstLineRead) {
    Load("ab\ncd\n");
    parser.position = 3;
    ASSERT_EQ(parser.FindLine(""), 1);
    EXPECT_EQ(parser.position, 3);
}

TEST_F(CFileParserTest, FindLineOnALastLineWithoutLineEndAndAfterANulByte) {
    Load(std::string("a\0b\nzz tag", 10));
    ASSERT_EQ(parser.FindLine("tag"), 1);
    EXPECT_EQ(parser.position, 7);
    parser.position = 0;
    EXPECT_EQ(parser.FindLine("b"), 0) << "a line is searched as a C string, up to its NUL";
}

TEST_F(CFileParserTest, FindLineInALongLinePastTheFixedBuffer) {
    // The tag sits in the remainder of a line longer than 9999 characters.
    Load(std::string(10000, 'x') + "<tag>\n");
    ASSERT_EQ(parser.FindLine("<tag>"), 1);
    EXPECT_EQ(parser.position, 10000);
}

TEST_F(CFileParserTest, FindLineInRange) {
    //     0123 4567 89
    Load("a\nb\nkey c\nkey d\n");
    // The line starting at 4 is searched whole, though the key lies beyond the limit 4.
    ASSERT_EQ(parser.FindLineInRange("c", 0, 4), 1);
    EXPECT_EQ(parser.position, 8);
    // Lines starting after the limit are not examined; position ends after the last line read.
    EXPECT_EQ(parser.FindLineInRange("d", 0, 9), 0);
    EXPECT_EQ(parser.position, 10);
    ASSERT_EQ(parser.FindLineInRange("key", 10, 10), 1);
    EXPECT_EQ(parser.position, 10);
}

TEST_F(CFileParserTest, FindLineInRangeFromBeyondLimitExaminesNothing) {
    Load("key\nkey\n");
    std::strcpy(parser.lineBuffer, "untouched");
    EXPECT_EQ(parser.FindLineInRange("key", 4, 3), 0);
    EXPECT_EQ(parser.position, 4);
    EXPECT_STREQ(parser.lineBuffer, "untouched");
    EXPECT_EQ(parser.FindLineInRange("key", 20, 30), 0) << "from beyond the buffer";
    EXPECT_EQ(parser.position, 20);
}

// --- FindTag and FindTagInRange -----------------------------------------------------------

TEST_F(CFileParserTest, FindTagOnTagsAloneOnTheirLines) {
    const std::string text = "head\n<Section>\n1 2\n3 4\n</Section>\ntail\n";
    Load(text);
    int first = -7;
    int last = -7;
    parser.FindTag("Section", first, last);
    EXPECT_EQ(first, static_cast<int>(text.find("<Section>\n") + 9));
    EXPECT_EQ(text[static_cast<size_t>(first)], '\n');
    EXPECT_EQ(last, static_cast<int>(text.find("</Section>") - 1));
    EXPECT_EQ(text[static_cast<size_t>(last)], '\n');
    EXPECT_EQ(text.substr(static_cast<size_t>(first), static_cast<size_t>(last - first)),
              "\n1 2\n3 4");
}

TEST_F(CFileParserTest, FindTagOnOneLine) {
    Load("x <a>12</a> y\n");
    int first = -1;
    int last = -1;
    parser.FindTag("a", first, last);
    EXPECT_EQ(first, 5);
    EXPECT_EQ(last, 6);
}

TEST_F(CFileParserTest, FindTagMissingSectionWritesNothing) {
    Load("<Other>\n</Section>\n");
    int first = 123;
    int last = 456;
    parser.FindTag("Section", first, last);
    EXPECT_EQ(first, 123);
    EXPECT_EQ(last, 456) << "the closing tag is not looked for before the opening one";
    EXPECT_GE(parser.position, parser.length);
}

TEST_F(CFileParserTest, FindTagMissingClosingTagWritesOnlyFirst) {
    Load("<S>\nbody\n");
    int first = -1;
    int last = -1;
    parser.FindTag("S", first, last);
    EXPECT_EQ(first, 3);
    EXPECT_EQ(last, -1);
}

TEST_F(CFileParserTest, FindTagWithALongName) {
    const std::string name(300, 'n');  // longer than any ordinary tag
    Load("<" + name + ">x</" + name + ">\n");
    int first = -1;
    int last = -1;
    parser.FindTag(name, first, last);
    EXPECT_EQ(first, 302);
    EXPECT_EQ(last, 302);
}

TEST_F(CFileParserTest, FindTagInRangeStaysInsideTheRange) {
    //                 0         1         2         3
    //                 0123456789012345678901234567890123456
    const std::string text = "<F>\n<R>1</R>\n</F>\n<F>\n<R>2</R>\n</F>\n";
    Load(text);
    int first = -1;
    int last = -1;
    parser.FindTagInRange("R", 18, 35, first, last);
    EXPECT_EQ(first, 25);
    EXPECT_EQ(last, 25);
    EXPECT_EQ(text[25], '2');

    first = last = -1;
    parser.FindTagInRange("R", 0, 3, first, last);
    EXPECT_EQ(first, -1) << "the tag line starts after the limit";
    EXPECT_EQ(last, -1);

    // Both searches start at from: a closing tag before the opening one is still found.
    Load("</T> <T>\n");
    first = last = -9;
    parser.FindTagInRange("T", 0, 0, first, last);
    EXPECT_EQ(first, 8);
    EXPECT_EQ(last, -1);
}

}  // namespace
