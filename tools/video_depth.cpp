// zel_video_depth: from a video or a folder of frames to depth files and a point cloud, running
// ffmpeg, COLMAP and the toolkit's programs in turn. `zel_video_depth --help` prints the usage.
#include <cstdio>

#include "tools/videodepth_lib.h"

int main(int argc, char** argv) {
    // Line-buffered, so that the summary and the steps' lines keep their order when piped.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    return zelvideo::VideoDepthMain(argc, argv);
}
