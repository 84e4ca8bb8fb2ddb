#include "util/numparse.h"

#include <cctype>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <system_error>

namespace {

// strtod, with the results C99 fixes made the same on every platform: a token without a number
// gives +0 (some C libraries give -0 after a '-'), and "nan" or "nan(n-char-sequence)" gives a
// quiet NaN with the token's sign, carrying the sequence's value (read as strtoull reads it, base
// 0) in its low 51 bits when the whole sequence is that number, as glibc does (others give a
// signalling NaN or read the sequence otherwise).
double ConvertWithCLibrary(const char* text) {
    const char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) {
        ++p;
    }
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+') {
        ++p;
    }
    if ((p[0] | 0x20) == 'n' && (p[1] | 0x20) == 'a' && (p[2] | 0x20) == 'n') {
        uint64_t payload = 0;
        if (p[3] == '(') {
            const char* q = p + 4;
            while (std::isalnum(static_cast<unsigned char>(*q)) || *q == '_') {
                ++q;
            }
            char* end = nullptr;
            const unsigned long long value = std::strtoull(p + 4, &end, 0);
            if (*q == ')' && end == q) {
                payload = value & ((uint64_t{1} << 51) - 1);
            }
        }
        const uint64_t bits =
            (negative ? uint64_t{1} << 63 : 0) | uint64_t{0x7FF8000000000000} | payload;
        double nan = 0.0;
        std::memcpy(&nan, &bits, sizeof(nan));
        return nan;
    }
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    return end == text ? 0.0 : value;
}

}  // namespace

int ParseInt(const char* text) {
    // Fast path: an optional '-' and at most 18 digits, whose value fits a 64-bit integer
    // exactly; whatever follows the digits ends the number, as for strtoll. Everything else
    // (white space, '+', no digits, longer runs that may overflow) goes to strtoll itself, which
    // saturates at 64 bits on every platform (strtol would saturate at 32 bits where long has
    // 32, as on Windows).
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
                return static_cast<int>(std::strtoll(text, nullptr, 10));
            }
        }
        const int64_t signedValue =
            negative ? -static_cast<int64_t>(value) : static_cast<int64_t>(value);
        // The same conversion to int that atoi makes with a 64-bit long (modulo 2^32).
        return static_cast<int>(signedValue);
    }
    return static_cast<int>(std::strtoll(text, nullptr, 10));
}

double ParseDouble(const char* text) {
    // Fast path: [-] digits [. digits] [e [sign] digits], with at most 19 mantissa digits and at
    // most 4 exponent digits. When the mantissa as an integer is at most 2^53 and the decimal
    // exponent at most 22 either way, one multiplication or division of two exact doubles gives
    // the correctly rounded value; otherwise std::from_chars converts it (correctly rounded,
    // like glibc's strtod, and independent of the locale). Anything else -- white space, '+',
    // hex, inf, nan, no digits, long mantissas, results out of range -- goes to strtod itself
    // (ConvertWithCLibrary).
    const char* p = text;
    const bool negative = *p == '-';
    if (negative) {
        ++p;
    }
    if (*p == '0' && (p[1] == 'x' || p[1] == 'X')) {
        return ConvertWithCLibrary(text);
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
        return ConvertWithCLibrary(text);
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
                    return ConvertWithCLibrary(text);
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
        return ConvertWithCLibrary(text);
    }
    return value;
}
