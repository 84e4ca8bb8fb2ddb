// The stage options' table against what the library takes (CheckOptions), what the command line
// takes (ParseStageOption) and what the documentation's option table says.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>
#include <string>

#include "stages/options.h"
#include "stages/referencestages.h"

namespace {

// Options that CheckOptions takes, with a disparity range.
ZelStageOptions Valid() {
    ZelStageOptions o;
    o.maxDisparity = 0.5;
    return o;
}

bool Checks(const ZelStageOptionInfo& info, double value, std::string* message = nullptr) {
    ZelStageOptions o = Valid();
    if (info.intField != nullptr) {
        o.*info.intField = static_cast<int>(value);
    } else {
        o.*info.doubleField = value;
    }
    std::string text;
    const bool ok = CReferenceStages::CheckOptions(o, text);
    if (message != nullptr) {
        *message = text;
    }
    return ok;
}

// Text that strtod reads back as v exactly.
std::string Text(double v) {
    char text[40];
    std::snprintf(text, sizeof(text), "%.17g", v);
    return text;
}

TEST(StageOptions, LibraryAndCommandLineTakeTheTablesRange) {
    std::string message;
    ASSERT_TRUE(CReferenceStages::CheckOptions(Valid(), message)) << message;
    for (const ZelStageOptionInfo& info : StageOptionTable()) {
        SCOPED_TRACE(info.what);
        const double step = info.intField != nullptr ? 1.0 : 1e-9;
        const double top = info.hiOpen ? info.hi - step : info.hi;
        // The default and both ends are taken by the library and, for options on the command
        // line, by the command line (the default "measured" is left out there).
        for (double v : {StageOptionValue(info, ZelStageOptions()), info.lo, top}) {
            if (info.belowZeroMeasured && v < 0.0) {
                EXPECT_TRUE(Checks(info, v));
                continue;
            }
            EXPECT_TRUE(Checks(info, v, &message)) << v << ": " << message;
            ZelStageOptions parsed;
            if (info.name != nullptr) {
                EXPECT_TRUE(ParseStageOption(info, Text(v).c_str(), parsed)) << v;
                EXPECT_EQ(StageOptionValue(info, parsed), v);
            }
        }
        // Just beyond either end: the command line refuses both; the library refuses all but
        // values below 0 of a measured option, with a line naming the option.
        for (double v : {info.lo - step, info.hiOpen ? info.hi : info.hi + step}) {
            ZelStageOptions parsed;
            if (info.name != nullptr) {
                EXPECT_FALSE(ParseStageOption(info, Text(v).c_str(), parsed)) << v;
            }
            if (info.belowZeroMeasured && v < 0.0) {
                continue;
            }
            EXPECT_FALSE(Checks(info, v, &message)) << v;
            EXPECT_EQ(message.rfind(std::string("ERROR: ") + info.what, 0), 0u) << message;
        }
    }
    const ZelStageOptionInfo* parallax = nullptr;
    for (const ZelStageOptionInfo& info : StageOptionTable()) {
        parallax =
            info.name != nullptr && std::string(info.name) == "min-parallax" ? &info : parallax;
    }
    ASSERT_NE(parallax, nullptr);
    ZelStageOptions parsed;
    for (const char* bad : {"", " 0.5", "0.5x", "nan", "inf", "1"}) {
        EXPECT_FALSE(ParseStageOption(*parallax, bad, parsed)) << bad;
    }
    EXPECT_TRUE(ParseStageOption(*parallax, "0.95", parsed));
    EXPECT_FALSE(Checks(*parallax, std::nan("")));
}

// Every command-line option of the table has a row in docs/recovering-depth.md with its range
// and default.
TEST(StageOptions, DocumentedAsInTheTable) {
    std::ifstream file(std::string(ZEL_SOURCE_DIR) + "/docs/recovering-depth.md");
    ASSERT_TRUE(file.good());
    std::stringstream text;
    text << file.rdbuf();
    const std::string docs = text.str();
    for (const ZelStageOptionInfo& info : StageOptionTable()) {
        if (info.name == nullptr) {
            continue;
        }
        const std::string head = std::string("| `--") + info.name + " " + info.meta + "` | ";
        const size_t at = docs.find(head);
        ASSERT_NE(at, std::string::npos) << head;
        const std::string row = docs.substr(at, docs.find('\n', at) - at);
        EXPECT_NE(row.find(StageOptionRange(info)), std::string::npos) << row;
        const std::string tail = " | " + StageOptionDefault(info) + " |";
        EXPECT_EQ(row.compare(row.size() - tail.size(), tail.size(), tail), 0) << row;
    }
}

}  // namespace
