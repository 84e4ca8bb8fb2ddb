#include "util/numparse.h"

#include <cstdlib>

int ParseInt(const char* text) {
    return static_cast<int>(std::strtol(text, nullptr, 10));
}

double ParseDouble(const char* text) {
    return std::strtod(text, nullptr);
}
