// The stage options as one table: for each, its name on the command line, its field in
// ZelStageOptions, its range and its help text. CReferenceStages::CheckOptions checks the ranges
// from it, zel_recover reads and explains its options from it, and a test holds the option table
// of docs/recovering-depth.md against it.
#pragma once

#include <string>
#include <vector>

#include "stages/referencestages.h"

struct ZelStageOptionInfo {
    const char* name;  // on the command line, without "--"; nullptr: not a command-line option
    const char* meta;  // the value's name in the help ("L")
    const char* what;  // for CheckOptions' message ("the level count")
    int ZelStageOptions::*intField;        // the field: an int ...
    double ZelStageOptions::*doubleField;  // ... or a double (the other is nullptr)
    double lo;                             // the range, lo and hi included ...
    double hi;
    bool hiOpen;  // ... unless hi is excluded
    // Values below 0 stand for "measured" (the library takes them; the command line leaves the
    // option out instead).
    bool belowZeroMeasured;
    // The help text; "%r" stands for the range, "%d" for the default. Lines are separated by
    // "\n" (zel_recover indents them under the first).
    const char* help;
    // The default as the documentation's table shows it ("measured" where it is measured).
    const char* documentedDefault;
};

// Every option of ZelStageOptions with a range, in the order zel_recover lists them.
const std::vector<ZelStageOptionInfo>& StageOptionTable();

// The range as the help and the documentation write it: "3..1024", "[0, 1)".
std::string StageOptionRange(const ZelStageOptionInfo& info);
// The default value of the option as text ("128", "0.1").
std::string StageOptionDefault(const ZelStageOptionInfo& info);
// The help text with its range and default filled in.
std::string StageOptionHelp(const ZelStageOptionInfo& info);

// The option's value in options, as a double.
double StageOptionValue(const ZelStageOptionInfo& info, const ZelStageOptions& options);

// Whether value lies in the option's range (an int option: a whole number).
bool StageOptionInRange(const ZelStageOptionInfo& info, double value);

// What the library takes: the range, and for belowZeroMeasured any value below 0 as well.
bool StageOptionAccepted(const ZelStageOptionInfo& info, double value);
// CheckOptions' line for a value it does not take: "ERROR: the level count must lie between 3
// and 1024".
std::string StageOptionProblem(const ZelStageOptionInfo& info);

// Reads text into the option's field of options: the whole text a number (an int option: a
// whole decimal number) within the option's range. False, options unchanged, otherwise.
bool ParseStageOption(const ZelStageOptionInfo& info, const char* text, ZelStageOptions& options);
