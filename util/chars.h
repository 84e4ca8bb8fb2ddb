// The character classes and constants that the text readers and the number conversion share,
// defined once: the white space that ends a word, the ASCII digits and the exact powers of ten.
#pragma once

#include <cstdint>

// The four white-space characters that separate words in project files and text read by
// CFileParser: '\t' (9), '\n' (10), '\r' (13) and ' ' (32). Other control characters are part of
// a word.
inline constexpr bool IsWordSpace(char c) {
    constexpr uint64_t kMask = (uint64_t{1} << '\t') | (uint64_t{1} << '\n') |
                               (uint64_t{1} << '\r') | (uint64_t{1} << ' ');
    const unsigned char u = static_cast<unsigned char>(c);
    return u <= ' ' && ((kMask >> u) & 1u) != 0;
}

// '0' to '9', whatever the locale.
inline constexpr bool IsDigit(char c) {
    return static_cast<unsigned char>(c - '0') < 10;
}

// 10^0 .. 10^22: every one is exact in double, so one multiplication or division by them rounds
// once.
inline constexpr double kPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                          1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                          1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
