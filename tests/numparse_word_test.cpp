// ParseWordInt and ParseWordDouble convert a word straight from a reader's buffer. They must
// either decline or give exactly what ParseInt / ParseDouble give for the word, stop at the white
// space that ends it, and never read at or past the end they are given. (ParseInt and ParseDouble
// are checked against the C99 results in numparse_test, on every platform; the C library is not
// the reference here, since not every platform's conforms.)
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>

#include "util/numparse.h"

namespace {

uint64_t Bits(double value) {
    uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof(bits));
    return bits;
}

// Checks one word followed by `after` in a buffer that ends exactly there (so ASan sees any
// read past the end). Returns whether the quick conversion took it.
bool CheckWord(const std::string& word, const std::string& after) {
    const std::string text = word + after;
    std::unique_ptr<char[]> buffer(new char[text.size()]);
    std::memcpy(buffer.get(), text.data(), text.size());
    const char* end = buffer.get() + text.size();

    double real = 12345.0;
    const char* stop = ParseWordDouble(buffer.get(), end, &real);
    if (stop != nullptr) {
        EXPECT_EQ(stop - buffer.get(), static_cast<ptrdiff_t>(word.size())) << '"' << word << '"';
        EXPECT_EQ(Bits(real), Bits(ParseDouble(word.c_str()))) << '"' << word << '"';
    } else {
        EXPECT_EQ(real, 12345.0) << "nothing is stored when declining";
    }
    int integer = 12345;
    const char* intStop = ParseWordInt(buffer.get(), end, &integer);
    if (intStop != nullptr) {
        EXPECT_EQ(intStop - buffer.get(), static_cast<ptrdiff_t>(word.size())) << word;
        EXPECT_EQ(integer, ParseInt(word.c_str())) << '"' << word << '"';
    }
    return stop != nullptr;
}

TEST(NumParseWord, TakesPlainWordsFollowedByWhiteSpaceOnly) {
    EXPECT_TRUE(CheckWord("803.384910", " "));
    EXPECT_TRUE(CheckWord("-0.000000", "\n"));
    EXPECT_TRUE(CheckWord("5.", "\r\n"));
    EXPECT_TRUE(CheckWord(".5", "\t"));
    EXPECT_TRUE(CheckWord("9007199254740992", " "));        // 2^53
    EXPECT_FALSE(CheckWord("9007199254740993", " "));       // above 2^53: declined
    EXPECT_FALSE(CheckWord("1.0000000000000000000", " "));  // 20 digits
    EXPECT_FALSE(CheckWord("1.5", ""));                     // no white space before the end
    EXPECT_FALSE(CheckWord("1.5e3", " "));
    EXPECT_FALSE(CheckWord("0x10", " "));
    EXPECT_FALSE(CheckWord("+1", " "));
    EXPECT_FALSE(CheckWord("1.5abc", " "));
    EXPECT_FALSE(CheckWord("-", " "));
    EXPECT_FALSE(CheckWord(".", " "));
    EXPECT_FALSE(CheckWord("\f1", " "));
    EXPECT_FALSE(CheckWord("1\v", " "));
}

TEST(NumParseWord, RandomWordsAgreeWithTheGeneralConversion) {
    std::mt19937_64 rng(7);
    static const char kPieces[] = "0123456789012345678901234567890123456789.-e+x ";
    int taken = 0;
    for (int trial = 0; trial < 200000; trial++) {
        std::string word;
        const auto size = 1 + rng() % 24;
        for (uint64_t i = 0; i < size; i++) {
            const auto r = rng() % 100;
            word += r < 85 ? static_cast<char>('0' + r % 10)
                           : kPieces[rng() % (sizeof(kPieces) - 2)];  // no blank inside
        }
        if (rng() % 3 == 0) {
            word.insert(word.begin(), '-');
        }
        taken += CheckWord(word, rng() % 2 ? " " : "\n") ? 1 : 0;
    }
    EXPECT_GT(taken, 10000) << "the quick conversion should take most plain words";
}

}  // namespace
