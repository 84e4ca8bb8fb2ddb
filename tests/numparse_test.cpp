#include "util/numparse.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

// atoi as glibc defines it, without the undefined behaviour of calling atoi out of range.
int ReferenceInt(const char* text) {
    return static_cast<int>(std::strtol(text, nullptr, 10));
}

uint64_t Bits(double value) {
    uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof(bits));
    return bits;
}

// Both conversions of one token, compared bit for bit (so -0.0 and NaN payloads count).
void ExpectSameAsCLibrary(const std::string& token) {
    EXPECT_EQ(ParseInt(token.c_str()), ReferenceInt(token.c_str())) << "token \"" << token << '"';
    const double expected = std::atof(token.c_str());
    const double actual = ParseDouble(token.c_str());
    EXPECT_EQ(Bits(actual), Bits(expected))
        << "token \"" << token << "\": " << actual << " instead of " << expected;
}

const char* const kEdgeTokens[] = {
    "",
    " ",
    "-",
    "+",
    ".",
    "-.",
    "+.",
    "e5",
    ".e5",
    "0",
    "-0",
    "+0",
    "00",
    "-0.0",
    "0.",
    ".5",
    "-.5",
    "5.",
    "1e",
    "1e+",
    "1e-",
    "1E5",
    "1e+5",
    "1e-5",
    "1.5e3x",
    "1.5E-3,",
    "12abc",
    "0x10",
    "0X1p4",
    "-0x1.8p1",
    "0x",
    "0xg",
    " 42",
    "\t-42",
    "\n7",
    "\v8",
    "\f9",
    "\r10",
    "+42",
    "+1.5",
    "--1",
    "-+1",
    "inf",
    "-inf",
    "INF",
    "infinity",
    "Infinity",
    "infx",
    "nan",
    "-nan",
    "NaN",
    "nan(123)",
    "nanx",
    "2147483647",
    "2147483648",
    "-2147483648",
    "-2147483649",
    "4294967296",
    "4294967297",
    "9223372036854775807",
    "9223372036854775808",
    "-9223372036854775808",
    "-9223372036854775809",
    "99999999999999999999999",
    "999999999999999999",
    "-999999999999999999",
    "1000000000000000000",
    "1.7976931348623157e308",
    "1.7976931348623158e308",
    "1.7976931348623159e308",
    "1e308",
    "1e309",
    "-1e309",
    "2e-308",
    "2.2250738585072014e-308",
    "2.2250738585072011e-308",
    "4.9406564584124654e-324",
    "5e-324",
    "3e-324",
    "2.4703282292062327e-324",
    "2.4703282292062328e-324",
    "1e-400",
    "-1e-400",
    "1e99999",
    "1e-99999",
    "0e99999",
    "0.000000000000000000000000000001e30",
    "123456789012345678901234567890",
    "0.1234567890123456789012345",
    "9007199254740993",
    "9007199254740992.5",
    "1.00000000000000011102230246251565404236316680908203125",
    "1.00000000000000011102230246251565404236316680908203124",
    "12,5",
    "1_000",
    "1 2",
    "3.14159265358979323846",
    "-273.15",
    "6.02214076e23",
    "1e0023",
    "1e-0023",
    "0.0e0",
};

TEST(NumParse, EdgeTokensMatchTheCLibrary) {
    for (const char* token : kEdgeTokens) {
        ExpectSameAsCLibrary(token);
    }
}

TEST(NumParse, TypicalProjectValues) {
    EXPECT_EQ(ParseInt("500"), 500);
    EXPECT_EQ(ParseInt("-17"), -17);
    EXPECT_EQ(ParseDouble("1234.5"), 1234.5);
    EXPECT_EQ(ParseDouble("-0.25"), -0.25);
    EXPECT_EQ(ParseDouble("1e-3"), 0.001);
    EXPECT_TRUE(std::signbit(ParseDouble("-0")));
    EXPECT_TRUE(std::isinf(ParseDouble("1e400")));
    EXPECT_TRUE(std::isnan(ParseDouble("nan")));
}

// Random tokens built from the pieces that make numbers and the characters that end them.
std::string RandomToken(std::mt19937_64& rng) {
    auto pick = [&rng](int n) { return static_cast<int>(rng() % static_cast<uint64_t>(n)); };
    std::string token;
    switch (pick(12)) {
        case 0:
            token += ' ';
            break;
        case 1:
            token += '-';
            break;
        case 2:
            token += '+';
            break;
        case 3:
            token += "-";
            break;
        default:
            break;
    }
    auto digits = [&](int maxCount) {
        const int count = pick(maxCount + 1);
        for (int i = 0; i < count; ++i) {
            token += static_cast<char>('0' + pick(10));
        }
    };
    switch (pick(20)) {
        case 0:
            token += "0x";
            digits(6);
            break;
        case 1:
            token += "inf";
            break;
        case 2:
            token += "nan";
            break;
        case 3:
            digits(40);
            break;  // long mantissas
        default:
            digits(pick(3) == 0 ? 20 : 9);
            break;
    }
    if (pick(2) == 0) {
        token += '.';
        digits(pick(4) == 0 ? 30 : 8);
    }
    if (pick(3) == 0) {
        token += "eE"[pick(2)];
        if (pick(2) == 0) {
            token += "+-"[pick(2)];
        }
        digits(pick(4) == 0 ? 6 : 3);  // huge exponents, subnormals and overflow
    }
    if (pick(4) == 0) {
        static const char kTail[] = "x.e+-,; 0\tE";
        token += kTail[pick(static_cast<int>(sizeof(kTail) - 1))];
        if (pick(2) == 0) {
            digits(3);
        }
    }
    return token;
}

TEST(NumParse, RandomTokensMatchTheCLibraryBitForBit) {
    std::mt19937_64 rng(20240615);
    for (int i = 0; i < 200000; ++i) {
        const std::string token = RandomToken(rng);
        ExpectSameAsCLibrary(token);
        if (HasFailure()) {
            break;  // one failing token is enough to read
        }
    }
}

TEST(NumParse, RandomDoublesPrintedAndReadBack) {
    // Every bit pattern class: printed with 17 digits (the fast path's ceiling region) and
    // with %.20g (past it), in fixed and exponent notation.
    std::mt19937_64 rng(77);
    char text[64];
    for (int i = 0; i < 50000; ++i) {
        uint64_t bits = rng();
        double value = 0;
        std::memcpy(&value, &bits, sizeof(value));
        if (!std::isfinite(value)) {
            continue;
        }
        for (const char* format : {"%.17g", "%.20g", "%.6e", "%.12f"}) {
            std::snprintf(text, sizeof(text), format, value);
            ExpectSameAsCLibrary(text);
        }
        if (HasFailure()) {
            break;
        }
    }
}

}  // namespace
