#include "stages/options.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

using O = ZelStageOptions;

ZelStageOptionInfo Int(const char* name, const char* meta, const char* what, int O::*field, int lo,
                       int hi, const char* help) {
    return {name,  meta,  what, field,  nullptr, static_cast<double>(lo), static_cast<double>(hi),
            false, false, help, nullptr};
}

// Whole numbers in full ("1000000"), others as short as they read back ("0.1").
std::string Number(double v) {
    char text[40];
    std::snprintf(text, sizeof(text), v == std::floor(v) && std::fabs(v) < 1e15 ? "%.0f" : "%g", v);
    return text;
}

}  // namespace

const std::vector<ZelStageOptionInfo>& StageOptionTable() {
    static const std::vector<ZelStageOptionInfo> table = {
        Int("levels", "L", "the level count", &O::levels, 3, 1024,
            "disparity levels of the sweep, %r (default %d)"),
        Int("neighbours", "K", "the neighbour count", &O::neighbours, 1, 32,
            "frames matched against each frame, %r (default %d)"),
        Int("refine-neighbours", "R", "the refinement's neighbour count", &O::refineNeighbours, 1,
            64,
            "frames matched in the initialisation's refinement and checked\n"
            "against, %r (default %d)"),
        Int("passes", "P", "the pass count", &O::passes, 0, 3,
            "bundle-optimisation passes, %r (default %d; 0 = none)"),
        Int("bo-sweep", "B", "the bundle optimisation's sweep switch", &O::boSweep, 0, 1,
            "1: each bundle-optimisation pass sweeps every level again;\n"
            "0 (default %d): it refines the map of the pass before"),
        Int("threads", "N", "the thread count", &O::threads, 0, 256,
            "worker threads, %r (default %d = all hardware threads)"),
        Int(nullptr, nullptr, "the sweep's window radius", &O::windowRadius, 1, 7, ""),
        Int(nullptr, nullptr, "the refinement's window radius", &O::refineRadius, 1, 7, ""),
        Int(nullptr, nullptr, "the wide window's radius", &O::wideRadius, 0, 7, ""),
        Int("plane-scale", "S", "the plane fit's segment scale", &O::planeScale, 0, 1000000,
            "colour-segment scale of the plane fit that ends each stage,\n"
            "%r (default %d; larger: larger segments; 0 = none)"),
        Int("plane-min-size", "N", "the plane fit's smallest segment", &O::planeMinSize, 1, 1000000,
            "smallest colour segment of the plane fit, in pixels; smaller\n"
            "ones are merged into a neighbour, %r (default %d)"),
        {"min-parallax", "S", "the parallax share", nullptr, &O::minParallax, 0.0, 1.0, true, false,
         "skip neighbours that move the nearest point by less than S\n"
         "times the picture width, %r (default %d)",
         nullptr},
        {"track-residual", "PX", "the track residual", nullptr, &O::trackResidual, 0.0, 1000.0,
         false, true,
         "how far the cameras miss their feature tracks, in pixels,\n"
         "%r (default: measured from the project's tracks)",
         "measured"},
    };
    return table;
}

std::string StageOptionProblem(const ZelStageOptionInfo& info) {
    if (info.belowZeroMeasured) {
        return std::string("ERROR: ") + info.what + " must be at most " + Number(info.hi) +
               " pixels (below 0: measured)";
    }
    if (info.hiOpen) {
        return std::string("ERROR: ") + info.what + " must lie in " + StageOptionRange(info);
    }
    return std::string("ERROR: ") + info.what + " must lie between " + Number(info.lo) + " and " +
           Number(info.hi);
}

bool StageOptionAccepted(const ZelStageOptionInfo& info, double value) {
    return info.belowZeroMeasured ? value <= info.hi : StageOptionInRange(info, value);
}

std::string StageOptionRange(const ZelStageOptionInfo& info) {
    if (info.hiOpen) {
        return "[" + Number(info.lo) + ", " + Number(info.hi) + ")";
    }
    return Number(info.lo) + ".." + Number(info.hi);
}

std::string StageOptionDefault(const ZelStageOptionInfo& info) {
    if (info.documentedDefault != nullptr) {
        return info.documentedDefault;
    }
    return Number(StageOptionValue(info, ZelStageOptions()));
}

std::string StageOptionHelp(const ZelStageOptionInfo& info) {
    std::string out;
    for (const char* c = info.help; *c != '\0'; c++) {
        if (c[0] == '%' && (c[1] == 'r' || c[1] == 'd')) {
            out += c[1] == 'r' ? StageOptionRange(info) : StageOptionDefault(info);
            c++;
        } else {
            out += *c;
        }
    }
    return out;
}

double StageOptionValue(const ZelStageOptionInfo& info, const ZelStageOptions& options) {
    return info.intField != nullptr ? static_cast<double>(options.*info.intField)
                                    : options.*info.doubleField;
}

bool StageOptionInRange(const ZelStageOptionInfo& info, double value) {
    if (info.intField != nullptr && value != std::floor(value)) {
        return false;
    }
    return value >= info.lo && (info.hiOpen ? value < info.hi : value <= info.hi);
}

bool ParseStageOption(const ZelStageOptionInfo& info, const char* text, ZelStageOptions& options) {
    if (text == nullptr || *text == '\0' || std::isspace(static_cast<unsigned char>(*text))) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    double value = 0.0;
    if (info.intField != nullptr) {
        const long v = std::strtol(text, &end, 10);
        value = static_cast<double>(v);
    } else {
        value = std::strtod(text, &end);
    }
    if (errno != 0 || *end != '\0' || !std::isfinite(value) || !StageOptionInRange(info, value)) {
        return false;
    }
    if (info.intField != nullptr) {
        options.*info.intField = static_cast<int>(value);
    } else {
        options.*info.doubleField = value;
    }
    return true;
}
