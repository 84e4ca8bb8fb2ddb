#include "util/numparse.h"

#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <system_error>

int ParseInt(const char* text) {
    // Fast path: an optional '-' and at most 18 digits, whose value fits a 64-bit integer
    // exactly; whatever follows the digits ends the number, as for strtol. Everything else
    // (white space, '+', no digits, longer runs that may overflow) goes to strtol itself.
    const char* p = text;
    const bool negative = *p == '-';
    if (negative) {
        ++p;
    }
    if (IsDigit(*p)) {
        const char* digits = p;
        uint64_t value = 0;
        while (IsDigit(*p)) {
            value = value * 10 + static_cast<uint64_t>(*p - '0');
            ++p;
            if (p - digits > 18) {
                return static_cast<int>(std::strtol(text, nullptr, 10));
            }
        }
        const int64_t signedValue =
            negative ? -static_cast<int64_t>(value) : static_cast<int64_t>(value);
        // The same conversion of a long to int that atoi makes (modulo 2^32 with g++).
        return static_cast<int>(static_cast<long>(signedValue));
    }
    return static_cast<int>(std::strtol(text, nullptr, 10));
}

double ParseDouble(const char* text) {
    // Fast path: [-] digits [. digits] [e [sign] digits], with at most 19 mantissa digits and at
    // most 4 exponent digits. When the mantissa as an integer is at most 2^53 and the decimal
    // exponent at most 22 either way, one multiplication or division of two exact doubles gives
    // the correctly rounded value; otherwise std::from_chars converts it (correctly rounded,
    // like glibc's strtod, and independent of the locale). Anything else -- white space, '+',
    // hex, inf, nan, no digits, long mantissas, results out of range -- goes to strtod itself.
    const char* p = text;
    const bool negative = *p == '-';
    if (negative) {
        ++p;
    }
    if (*p == '0' && (p[1] == 'x' || p[1] == 'X')) {
        return std::strtod(text, nullptr);
    }
    uint64_t mantissa = 0;
    int mantissaDigits = 0;
    int exponent = 0;  // decimal exponent of the mantissa's last digit
    while (IsDigit(*p)) {
        mantissa = mantissa * 10 + static_cast<uint64_t>(*p - '0');
        ++p;
        ++mantissaDigits;
    }
    if (*p == '.') {
        ++p;
        while (IsDigit(*p)) {
            mantissa = mantissa * 10 + static_cast<uint64_t>(*p - '0');
            ++p;
            ++mantissaDigits;
            --exponent;
        }
    }
    if (mantissaDigits == 0 || mantissaDigits > 19) {
        return std::strtod(text, nullptr);
    }
    if (*p == 'e' || *p == 'E') {
        const char* q = p + 1;
        const bool negativeExponent = *q == '-';
        if (*q == '+' || *q == '-') {
            ++q;
        }
        if (IsDigit(*q)) {
            const char* digits = q;
            int written = 0;
            while (IsDigit(*q)) {
                written = written * 10 + (*q - '0');
                ++q;
                if (q - digits > 4) {
                    return std::strtod(text, nullptr);
                }
            }
            exponent += negativeExponent ? -written : written;
            p = q;
        }
    }
    if (mantissa <= (uint64_t{1} << 53) && exponent >= -22 && exponent <= 22) {
        const double m = static_cast<double>(mantissa);
        const double magnitude =
            exponent < 0 ? m / kPowersOfTen[-exponent] : m * kPowersOfTen[exponent];
        return negative ? -magnitude : magnitude;
    }
    double value = 0.0;
    const std::from_chars_result result = std::from_chars(text, p, value);
    if (result.ec != std::errc() || result.ptr != p) {
        return std::strtod(text, nullptr);
    }
    return value;
}
