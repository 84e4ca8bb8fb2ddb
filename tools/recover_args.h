// zel_recover's command line: the stage options and the run's own (frames, shards and step
// groups, planning, resuming, the depth formats), read and checked against each other.
#pragma once

#include <string>

#include "stages/options.h"

namespace zelrecover {

// What the command line asks for.
struct RecoverArgs {
    ZelStageOptions options;
    int firstFrame = 0;
    int lastFrame = -1;
    bool rangeGiven = false;
    std::string stage;  // "", "init" or "bo"
    int spanFirst = -1;
    int spanLast = -1;
    std::string until;  // "" or a step: run the stage up to it, sharing the span's folder
    bool plan = false;
    bool resume = false;
    bool clean = false;
    bool pfm = false;    // --depth-format pfm
    bool png16 = false;  // --depth-format png16
    std::string project;
};

// Reads the command line into args: the stage options from their table (stages/options.h), the
// run's own after them. Returns -1 to go on, or the exit status to end with (0 after --help, 2
// after a usage error).
int ParseRecoverArguments(int argc, const char* const argv[], RecoverArgs& args);

}  // namespace zelrecover
