#include "util/filename.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace {

TEST(FileNameHelpers, DirectoryAndFileNameSplitAtTheRightmostSeparator) {
    EXPECT_EQ(Directory("C:\\data/seq\\img0001.jpg"), "C:\\data/seq\\");
    EXPECT_EQ(Directory("C:\\data\\seq/img0001.jpg"), "C:\\data\\seq/");
    EXPECT_EQ(Directory("img0001.jpg"), "");
    EXPECT_EQ(Directory("seq/"), "seq/");
    EXPECT_EQ(Directory(""), "");
    EXPECT_EQ(FileName("a/b.c"), "b.c");
    EXPECT_EQ(FileName("b.c"), "b.c");
    EXPECT_EQ(FileName("a\\b/c\\d.e"), "d.e");
    EXPECT_EQ(FileName("seq/"), "");
}

TEST(FileNameHelpers, FileTitle) {
    EXPECT_EQ(FileTitle("a/img0001.jpg"), "img0001");
    EXPECT_EQ(FileTitle("a\\b/img"), "img");
    EXPECT_EQ(FileTitle("./seq/img"), "img") << "the only dot lies in a directory name";
    EXPECT_EQ(FileTitle("img0001.jpg"), "img0001");
    EXPECT_EQ(FileTitle("img"), "img");
    EXPECT_EQ(FileTitle("a.b/c.d.e"), "c.d");
    EXPECT_EQ(FileTitle(".hidden"), "");
    EXPECT_EQ(FileTitle(""), "");
}

TEST(FileNameHelpers, ExtensionAndStripExtensionIgnoreSeparators) {
    EXPECT_EQ(Extension("a/b.tar.gz"), "gz");
    EXPECT_EQ(Extension("a/b"), "");
    EXPECT_EQ(Extension("a.d/b"), "d/b");
    EXPECT_EQ(Extension("b."), "");
    EXPECT_EQ(StripExtension("a/b.tar.gz"), "a/b.tar");
    EXPECT_EQ(StripExtension("a/b"), "a/b");
    EXPECT_EQ(StripExtension("a.d/b"), "a");
}

TEST(FileNameHelpers, FileNumber) {
    EXPECT_EQ(FileNumber("img0042.png"), 42);
    EXPECT_EQ(FileNumber("img.png"), -1);
    EXPECT_EQ(FileNumber("0042.png"), 42);
    EXPECT_EQ(FileNumber("seq/img0000.jpg"), 0);
    EXPECT_EQ(FileNumber("img0042"), -1) << "no extension dot";
    EXPECT_EQ(FileNumber("12.3.png"), 3) << "the run before the last dot";
    EXPECT_EQ(FileNumber("img\xb9"
                         "7.png"),
              7)
        << "a byte above 127 is no digit";
}

TEST(FileNameHelpers, FileNumberOfAVeryLongRunIsDefined) {
    EXPECT_EQ(FileNumber("img2147483647.png"), INT_MAX);
    EXPECT_EQ(FileNumber("img2147483648.png"), INT_MAX);
    EXPECT_EQ(FileNumber("img123456789012345678901234567890.png"), INT_MAX);
}

TEST(FileNameHelpers, IncrementFileNameExamples) {
    EXPECT_EQ(IncrementFileName("seq/img0000.jpg", 3), "seq/img0003.jpg");
    EXPECT_EQ(IncrementFileName("img0009.jpg", 1), "img0010.jpg");
    EXPECT_EQ(IncrementFileName("img9.jpg", 1), "img10.jpg");
    EXPECT_EQ(IncrementFileName("img9999.jpg", 1), "img10000.jpg");
    EXPECT_EQ(IncrementFileName("img7.jpg", 5), "img12.jpg");
    EXPECT_EQ(IncrementFileName("img.jpg", 5), "img5.jpg");
    EXPECT_EQ(IncrementFileName("0007.jpg", 1), "0008.jpg");
    EXPECT_EQ(IncrementFileName("img0001.jpg", -3), "img-0002.jpg");
}

TEST(FileNameHelpers, IncrementFileNameWidthRule) {
    EXPECT_EQ(IncrementFileName("img00.png", 0), "img00.png");
    EXPECT_EQ(IncrementFileName("img00.png", 1234), "img1234.png") << "never truncated";
    EXPECT_EQ(IncrementFileName("img0.png", 0), "img0.png");
    EXPECT_EQ(IncrementFileName("img.png", 0), "img0.png");
    EXPECT_EQ(IncrementFileName("img.png", 100), "img100.png");
    EXPECT_EQ(IncrementFileName("img5.png", -7), "img-2.png");
    EXPECT_EQ(IncrementFileName("a0000000000.png", 7), "a0000000007.png") << "10 digits padded";
    EXPECT_EQ(IncrementFileName("a00000000000.png", 7), "a7.png") << "more than 10: no padding";
    EXPECT_EQ(IncrementFileName("a.b/c\\x.y.0001.tif", 1), "a.b/c\\x.y.0002.tif");
    EXPECT_EQ(IncrementFileName("img\xc3\xa9"
                                "01.jpg",
                                1),
              "img\xc3\xa9"
              "02.jpg");
}

TEST(FileNameHelpers, IncrementFileNameBeyondTheIntRange) {
    // The run and the sum are computed in 64 bits: no wrap-around, no undefined behaviour.
    EXPECT_EQ(IncrementFileName("f2147483647.png", 1), "f2147483648.png");
    EXPECT_EQ(IncrementFileName("f9999999999.png", 1), "f10000000000.png");
    EXPECT_EQ(IncrementFileName("f0.png", INT_MIN), "f-2147483648.png");
    EXPECT_EQ(IncrementFileName("f99999999999999999999999.png", 1), "f1000000000000000000.png")
        << "runs beyond 18 digits saturate at 10^18 - 1";
}

TEST(FileNameHelpers, IncrementFileNameWithoutAnExtensionUsesTheEndOfTheName) {
    EXPECT_EQ(IncrementFileName("img0007", 1), "img0008");
    EXPECT_EQ(IncrementFileName("seq.d/img0099", 1), "seq.d/img0100");
    EXPECT_EQ(IncrementFileName("seq.1/", 2), "seq.1/2");
    EXPECT_EQ(IncrementFileName("img", 3), "img3");
    EXPECT_EQ(IncrementFileName("", 3), "3");
    EXPECT_EQ(IncrementFileName("img7.", 1), "img8.") << "an empty extension is kept";
}

}  // namespace
