// zel_depth_eval: measures recovered depth files against ground truth, per frame and in total.
// `zel_depth_eval --help` prints the usage.
#include <cstdio>

#include "tools/deptheval_lib.h"

int main(int argc, char** argv) {
    // Line-buffered, so the table and the error lines keep their order on a terminal.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    return zeleval::DepthEvalMain(argc, argv);
}
