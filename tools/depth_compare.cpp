// zel_depth_compare: one PNG with a frame's colour image, its true and its recovered disparity
// side by side. `zel_depth_compare --help` prints the usage.
#include <cstdio>

#include "tools/depthcompare_lib.h"

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    return zeleval::DepthCompareMain(argc, argv);
}
