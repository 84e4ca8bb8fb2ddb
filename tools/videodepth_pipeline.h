// zel_video_depth's run of its steps, and what it shares with the rest of the program.
#pragma once

#include <string>

#include "tools/videodepth_lib.h"

namespace zelvideo {

// "%.17g" of a value: the stamps' seconds and the intrinsics handed to COLMAP.
std::string Number(double v);

// Runs the steps for options (read and checked by then) and writes the summary; self is argv[0],
// which locates the sibling programs when /proc/self/exe does not. Returns the exit status: 0
// after a run, 1 on a failure. POSIX systems only.
int RunPipeline(const VideoDepthOptions& options, const std::string& self);

}  // namespace zelvideo
