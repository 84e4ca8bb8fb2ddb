#include "util/numparse.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

uint64_t Bits(double value) {
    uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof(bits));
    return bits;
}

// What atoi and atof give for awkward tokens, as C99 defines them with a 64-bit long (the
// results of glibc on 64-bit Linux): the fixed results the project's conversion must give on
// every platform. Doubles as bit patterns, so -0.0 and the NaN payload of "nan(123)" count.
struct C99Result {
    const char* token;
    int integer;
    uint64_t bits;
};

const C99Result kC99Results[] = {
    {"", 0, 0x0000000000000000u},                                     // 0
    {" ", 0, 0x0000000000000000u},                                    // 0
    {"-", 0, 0x0000000000000000u},                                    // 0
    {"+", 0, 0x0000000000000000u},                                    // 0
    {".", 0, 0x0000000000000000u},                                    // 0
    {"-.", 0, 0x0000000000000000u},                                   // 0
    {"+.", 0, 0x0000000000000000u},                                   // 0
    {"e5", 0, 0x0000000000000000u},                                   // 0
    {".e5", 0, 0x0000000000000000u},                                  // 0
    {"0", 0, 0x0000000000000000u},                                    // 0
    {"-0", 0, 0x8000000000000000u},                                   // -0
    {"+0", 0, 0x0000000000000000u},                                   // 0
    {"00", 0, 0x0000000000000000u},                                   // 0
    {"-0.0", 0, 0x8000000000000000u},                                 // -0
    {"0.", 0, 0x0000000000000000u},                                   // 0
    {".5", 0, 0x3fe0000000000000u},                                   // 0.5
    {"-.5", 0, 0xbfe0000000000000u},                                  // -0.5
    {"5.", 5, 0x4014000000000000u},                                   // 5
    {"1e", 1, 0x3ff0000000000000u},                                   // 1
    {"1e+", 1, 0x3ff0000000000000u},                                  // 1
    {"1e-", 1, 0x3ff0000000000000u},                                  // 1
    {"1E5", 1, 0x40f86a0000000000u},                                  // 100000
    {"1e+5", 1, 0x40f86a0000000000u},                                 // 100000
    {"1e-5", 1, 0x3ee4f8b588e368f1u},                                 // 1.0000000000000001e-05
    {"1.5e3x", 1, 0x4097700000000000u},                               // 1500
    {"1.5E-3,", 1, 0x3f589374bc6a7efau},                              // 0.0015
    {"12abc", 12, 0x4028000000000000u},                               // 12
    {"0x10", 0, 0x4030000000000000u},                                 // 16
    {"0X1p4", 0, 0x4030000000000000u},                                // 16
    {"-0x1.8p1", 0, 0xc008000000000000u},                             // -3
    {"0x", 0, 0x0000000000000000u},                                   // 0
    {"0xg", 0, 0x0000000000000000u},                                  // 0
    {" 42", 42, 0x4045000000000000u},                                 // 42
    {"\t-42", -42, 0xc045000000000000u},                              // -42
    {"\n7", 7, 0x401c000000000000u},                                  // 7
    {"\v8", 8, 0x4020000000000000u},                                  // 8
    {"\f9", 9, 0x4022000000000000u},                                  // 9
    {"\r10", 10, 0x4024000000000000u},                                // 10
    {"+42", 42, 0x4045000000000000u},                                 // 42
    {"+1.5", 1, 0x3ff8000000000000u},                                 // 1.5
    {"--1", 0, 0x0000000000000000u},                                  // 0
    {"-+1", 0, 0x0000000000000000u},                                  // 0
    {"inf", 0, 0x7ff0000000000000u},                                  // inf
    {"-inf", 0, 0xfff0000000000000u},                                 // -inf
    {"INF", 0, 0x7ff0000000000000u},                                  // inf
    {"infinity", 0, 0x7ff0000000000000u},                             // inf
    {"Infinity", 0, 0x7ff0000000000000u},                             // inf
    {"infx", 0, 0x7ff0000000000000u},                                 // inf
    {"nan", 0, 0x7ff8000000000000u},                                  // nan
    {"-nan", 0, 0xfff8000000000000u},                                 // -nan
    {"NaN", 0, 0x7ff8000000000000u},                                  // nan
    {"nan(123)", 0, 0x7ff800000000007bu},                             // nan
    {"nanx", 0, 0x7ff8000000000000u},                                 // nan
    {"2147483647", 2147483647, 0x41dfffffffc00000u},                  // 2147483647
    {"2147483648", INT_MIN, 0x41e0000000000000u},                     // 2147483648
    {"-2147483648", INT_MIN, 0xc1e0000000000000u},                    // -2147483648
    {"-2147483649", 2147483647, 0xc1e0000000200000u},                 // -2147483649
    {"4294967296", 0, 0x41f0000000000000u},                           // 4294967296
    {"4294967297", 1, 0x41f0000000100000u},                           // 4294967297
    {"9223372036854775807", -1, 0x43e0000000000000u},                 // 9.2233720368547758e+18
    {"9223372036854775808", -1, 0x43e0000000000000u},                 // 9.2233720368547758e+18
    {"-9223372036854775808", 0, 0xc3e0000000000000u},                 // -9.2233720368547758e+18
    {"-9223372036854775809", 0, 0xc3e0000000000000u},                 // -9.2233720368547758e+18
    {"99999999999999999999999", -1, 0x44b52d02c7e14af6u},             // 9.9999999999999992e+22
    {"999999999999999999", -1486618625, 0x43abc16d674ec800u},         // 1e+18
    {"-999999999999999999", 1486618625, 0xc3abc16d674ec800u},         // -1e+18
    {"1000000000000000000", -1486618624, 0x43abc16d674ec800u},        // 1e+18
    {"1.7976931348623157e308", 1, 0x7fefffffffffffffu},               // 1.7976931348623157e+308
    {"1.7976931348623158e308", 1, 0x7fefffffffffffffu},               // 1.7976931348623157e+308
    {"1.7976931348623159e308", 1, 0x7ff0000000000000u},               // inf
    {"1e308", 1, 0x7fe1ccf385ebc8a0u},                                // 1e+308
    {"1e309", 1, 0x7ff0000000000000u},                                // inf
    {"-1e309", -1, 0xfff0000000000000u},                              // -inf
    {"2e-308", 2, 0x000e61acf033d1a4u},                               // 1.9999999999999998e-308
    {"2.2250738585072014e-308", 2, 0x0010000000000000u},              // 2.2250738585072014e-308
    {"2.2250738585072011e-308", 2, 0x000fffffffffffffu},              // 2.2250738585072009e-308
    {"4.9406564584124654e-324", 4, 0x0000000000000001u},              // 4.9406564584124654e-324
    {"5e-324", 5, 0x0000000000000001u},                               // 4.9406564584124654e-324
    {"3e-324", 3, 0x0000000000000001u},                               // 4.9406564584124654e-324
    {"2.4703282292062327e-324", 2, 0x0000000000000000u},              // 0
    {"2.4703282292062328e-324", 2, 0x0000000000000001u},              // 4.9406564584124654e-324
    {"1e-400", 1, 0x0000000000000000u},                               // 0
    {"-1e-400", -1, 0x8000000000000000u},                             // -0
    {"1e99999", 1, 0x7ff0000000000000u},                              // inf
    {"1e-99999", 1, 0x0000000000000000u},                             // 0
    {"0e99999", 0, 0x0000000000000000u},                              // 0
    {"0.000000000000000000000000000001e30", 0, 0x3ff0000000000000u},  // 1
    {"123456789012345678901234567890", -1, 0x45f8ee90ff6c373eu},      // 1.2345678901234568e+29
    {"0.1234567890123456789012345", 0, 0x3fbf9add3746f65fu},          // 0.12345678901234568
    {"9007199254740993", 1, 0x4340000000000000u},                     // 9007199254740992
    {"9007199254740992.5", 0, 0x4340000000000000u},                   // 9007199254740992
    {"1.00000000000000011102230246251565404236316680908203125", 1, 0x3ff0000000000000u},  // 1
    {"1.00000000000000011102230246251565404236316680908203124", 1, 0x3ff0000000000000u},  // 1
    {"12,5", 12, 0x4028000000000000u},                                                    // 12
    {"1_000", 1, 0x3ff0000000000000u},                                                    // 1
    {"1 2", 1, 0x3ff0000000000000u},                                                      // 1
    {"3.14159265358979323846", 3, 0x400921fb54442d18u},  // 3.1415926535897931
    {"-273.15", -273, 0xc071126666666666u},              // -273.14999999999998
    {"6.02214076e23", 6, 0x44dfe185ca57c517u},           // 6.0221407599999999e+23
    {"1e0023", 1, 0x44b52d02c7e14af6u},                  // 9.9999999999999992e+22
    {"1e-0023", 1, 0x3b282db34012b251u},                 // 9.9999999999999996e-24
    {"0.0e0", 0, 0x0000000000000000u},                   // 0
};

// The C library's conversions: strtod, and strtoll brought to int as atoi does with a 64-bit long.
int CLibraryInt(const char* text) {
    return static_cast<int>(std::strtoll(text, nullptr, 10));
}
double CLibraryDouble(const char* text) {
    return std::strtod(text, nullptr);
}

// The first token of the table the C library converts differently, or nullptr when it gives every
// C99 result. Where it does not (MinGW's strtod under Wine gives -0 for "-." and a signalling
// NaN for "nan(123)"; msvcrt's atof reads no hex floats), it is no reference for the random
// comparisons below.
const char* CLibraryDeviation() {
    for (const C99Result& c : kC99Results) {
        if (CLibraryInt(c.token) != c.integer || Bits(CLibraryDouble(c.token)) != c.bits) {
            return c.token;
        }
    }
    return nullptr;
}

#define ZEL_REQUIRE_C99_C_LIBRARY()                                                          \
    if (const char* token = CLibraryDeviation()) {                                           \
        GTEST_SKIP() << "the C library does not convert \"" << token                         \
                     << "\" as C99 does here, so it is no reference (the table test covers " \
                        "the project's conversion)";                                         \
    }

// Both conversions of one token against the C library, bit for bit.
void ExpectSameAsCLibrary(const std::string& token) {
    EXPECT_EQ(ParseInt(token.c_str()), CLibraryInt(token.c_str())) << "token \"" << token << '"';
    const double expected = CLibraryDouble(token.c_str());
    const double actual = ParseDouble(token.c_str());
    EXPECT_EQ(Bits(actual), Bits(expected))
        << "token \"" << token << "\": " << actual << " instead of " << expected;
}

TEST(NumParse, EdgeTokensGiveTheC99Results) {
    for (const C99Result& c : kC99Results) {
        EXPECT_EQ(ParseInt(c.token), c.integer) << "token \"" << c.token << '"';
        const double actual = ParseDouble(c.token);
        EXPECT_EQ(Bits(actual), c.bits) << "token \"" << c.token << "\": " << actual;
    }
}

#ifdef __GLIBC__
// glibc conforms: the table is its results, and the random comparisons below run against it.
TEST(NumParse, GlibcGivesTheTable) {
    EXPECT_EQ(CLibraryDeviation(), nullptr) << CLibraryDeviation();
}
#endif

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
    ZEL_REQUIRE_C99_C_LIBRARY();
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
    ZEL_REQUIRE_C99_C_LIBRARY();
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
