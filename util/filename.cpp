#include "util/filename.h"

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>

#include "util/chars.h"

namespace {

constexpr size_t kNone = std::string::npos;

size_t LastSeparator(const std::string& path) {
    return path.find_last_of("/\\");
}

// The start of the run of ASCII digits that ends just before end.
size_t DigitRunStart(const std::string& name, size_t end) {
    size_t r = end;
    while (r > 0 && IsDigit(name[r - 1])) {
        --r;
    }
    return r;
}

// The decimal value of name[from, to), all digits. Runs worth more than 10^18 - 1 saturate there,
// so that adding any int stays inside int64_t.
int64_t RunValue(const std::string& name, size_t from, size_t to) {
    constexpr int64_t kMax = 999999999999999999;  // 10^18 - 1
    int64_t value = 0;
    for (size_t i = from; i < to; ++i) {
        const int digit = name[i] - '0';
        if (value > (kMax - digit) / 10) {
            return kMax;
        }
        value = value * 10 + digit;
    }
    return value;
}

}  // namespace

std::string Directory(const std::string& path) {
    const size_t s = LastSeparator(path);
    return s == kNone ? std::string() : path.substr(0, s + 1);
}

std::string FileName(const std::string& path) {
    const size_t s = LastSeparator(path);
    return s == kNone ? path : path.substr(s + 1);
}

std::string FileTitle(const std::string& path) {
    const size_t s = LastSeparator(path);
    const size_t d = path.rfind('.');
    const size_t from = s == kNone ? 0 : s + 1;
    const size_t to = d == kNone ? path.size() : d;
    // A last '.' before the separator belongs to a directory: the whole file name is the title.
    return to < from ? path.substr(from) : path.substr(from, to - from);
}

std::string Extension(const std::string& path) {
    const size_t d = path.rfind('.');
    return d == kNone ? std::string() : path.substr(d + 1);
}

std::string StripExtension(const std::string& path) {
    const size_t d = path.rfind('.');
    return d == kNone ? path : path.substr(0, d);
}

int FileNumber(const std::string& name) {
    const size_t d = name.rfind('.');
    if (d == kNone) {
        return -1;
    }
    const size_t r = DigitRunStart(name, d);
    if (r == d) {
        return -1;
    }
    const int64_t value = RunValue(name, r, d);
    return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

std::string IncrementFileName(const std::string& name, int increment) {
    // The anchor is the extension dot. When the file part has no '.' (none at all, or the last
    // one lies in a directory name) the anchor is the end of the name: the digit run is the one
    // that ends the name and no extension is appended.
    const size_t s = LastSeparator(name);
    size_t d = name.rfind('.');
    const bool hasExtension = d != kNone && (s == kNone || d > s);
    if (!hasExtension) {
        d = name.size();
    }
    const size_t r = DigitRunStart(name, d);
    const size_t n = d - r;

    const int64_t value = (n == 0 ? 0 : RunValue(name, r, d)) + increment;

    // The width: the run's own, unless the value needs more digits than the run had.
    int64_t width = static_cast<int64_t>(n);
    if (value > 0) {
        const double digits = std::log10(static_cast<double>(value));
        if (digits > static_cast<double>(n)) {
            width = static_cast<int64_t>(digits);
        }
    }
    char number[32];
    if (width >= 2 && width <= 10) {
        std::snprintf(number, sizeof(number), "%.*lld", static_cast<int>(width),
                      static_cast<long long>(value));
    } else {
        std::snprintf(number, sizeof(number), "%lld", static_cast<long long>(value));
    }

    std::string result = name.substr(0, r);
    result += number;
    if (hasExtension) {
        result += '.';
        result += Extension(name);
    }
    return result;
}
