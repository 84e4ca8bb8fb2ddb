// zel_fuse: fuses the frames' depth files into one coloured point cloud (a binary PLY file).
// `zel_fuse --help` prints the usage.
#include <cstdio>

#include "tools/fuse_lib.h"

int main(int argc, char** argv) {
    // Line-buffered, so warnings and the summary keep their order when piped.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    return zelfuse::FuseMain(argc, argv);
}
