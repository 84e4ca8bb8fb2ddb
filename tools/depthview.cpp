// zel_depthview: writes a colour PNG of each frame's depth file, for looking at what the
// depth-recovery stages stored. `zel_depthview --help` prints the usage.
#include <cstdio>

#include "tools/depthview_lib.h"

int main(int argc, char** argv) {
    // Line-buffered, so errors and progress keep their order when piped.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    return zelview::DepthViewMain(argc, argv);
}
