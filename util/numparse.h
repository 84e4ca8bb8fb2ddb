// Number conversion with exactly the meaning of the C library's atoi and atof: leading white
// space skipped, an optional sign (a leading '+' included), the longest valid prefix converted
// (hex floats, "inf" and "nan" included for reals), 0 when there is none. A fast path handles the
// common plain-decimal tokens and gives bit-identical results; everything else falls back to the
// C library. Integers out of range behave as atoi does with a 64-bit long (glibc on 64-bit
// Linux): the value saturated to 64 bits, then reduced modulo 2^32, on every platform and with
// no undefined behaviour.
#pragma once

#include "util/chars.h"

int ParseInt(const char* text);
double ParseDouble(const char* text);

// Word conversion for readers that hold the text in a buffer: each function converts the word
// that starts at begin when it is a plain decimal number standing alone, that is, followed
// within [begin, end) by one of the white-space characters ' ', '\t', '\r' or '\n'. It then
// stores the value ParseInt / ParseDouble would give for the word and returns a pointer to that
// white-space character. For any other word (other characters, a number the quick conversion
// does not cover, no white space before end) it returns nullptr and stores nothing; the caller
// then takes the general way. Reads nothing at or past end.
//
// ParseWordInt: '-'? and 1 to 9 digits. ParseWordDouble: '-'? digits ('.' digits?)? or
// '-'? '.' digits, at most 19 digits, a value below 2^53 in units of the last digit and at most
// 22 digits after the point: then the value is that integer divided by a power of ten, both
// exact in double, so the one correctly rounded division gives the correctly rounded value, as
// strtod does.
inline const char* ParseWordInt(const char* begin, const char* end, int* value) {
    const char* p = begin;
    const bool negative = p < end && *p == '-';
    if (negative) {
        ++p;
    }
    const char* digits = p;
    int v = 0;
    while (p < end && IsDigit(*p) && p - digits < 9) {
        v = v * 10 + (*p - '0');
        ++p;
    }
    if (p == digits || p >= end || !IsWordSpace(*p)) {
        return nullptr;
    }
    *value = negative ? -v : v;
    return p;
}

inline const char* ParseWordDouble(const char* begin, const char* end, double* value) {
    const char* p = begin;
    const bool negative = p < end && *p == '-';
    if (negative) {
        ++p;
    }
    unsigned long long w = 0;
    int digits = 0;
    while (p < end && IsDigit(*p)) {
        w = w * 10 + static_cast<unsigned>(*p - '0');
        ++p;
        ++digits;
        if (digits > 19) {
            return nullptr;
        }
    }
    int fraction = 0;
    if (p < end && *p == '.') {
        ++p;
        while (p < end && IsDigit(*p)) {
            w = w * 10 + static_cast<unsigned>(*p - '0');
            ++p;
            ++fraction;
            if (digits + fraction > 19) {
                return nullptr;
            }
        }
    }
    if (digits + fraction == 0 || p >= end || !IsWordSpace(*p) || fraction > 22 ||
        w > (1ull << 53)) {
        return nullptr;
    }
    const double magnitude = static_cast<double>(w) / kPowersOfTen[fraction];
    *value = negative ? -magnitude : magnitude;
    return p;
}
