// Writes a large synthetic camera-track project for benchmarks and stress runs.
//
//   zel_gen_project <directory> [frames [tracks [observations per track [seed]]]]
//
// Defaults: 500 frames, 200000 tracks, 25 observations per track on average, seed 1 (about
// 140 MB). The same arguments always give the same bytes.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tools/projectgen.h"

namespace {

bool ParseArgument(const char* text, long long lo, long long hi, long long* value) {
    char* end = nullptr;
    const long long v = std::strtoll(text, &end, 10);
    if (end == text || *end != '\0' || v < lo || v > hi) {
        return false;
    }
    *value = v;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 6) {
        std::printf(
            "usage: zel_gen_project <directory> [frames [tracks [observations per track "
            "[seed]]]]\n");
        return 1;
    }
    SyntheticProjectOptions options;
    long long value = 0;
    const struct {
        long long lo, hi;
    } limits[] = {{1, 1000000}, {0, 100000000}, {1, 100000}, {0, (1ll << 62)}};
    for (int i = 2; i < argc; i++) {
        if (!ParseArgument(argv[i], limits[i - 2].lo, limits[i - 2].hi, &value)) {
            std::printf("ERROR: bad argument: %s\n", argv[i]);
            return 1;
        }
        switch (i) {
            case 2:
                options.frames = static_cast<int>(value);
                break;
            case 3:
                options.tracks = static_cast<int>(value);
                break;
            case 4:
                options.meanObservations = static_cast<int>(value);
                break;
            default:
                options.seed = static_cast<uint64_t>(value);
                break;
        }
    }
    SyntheticProjectInfo info;
    if (!WriteSyntheticProject(argv[1], options, &info)) {
        return 1;
    }
    std::printf("%s: %lld bytes, %d frames, %d tracks, %lld observations\n",
                info.projectPath.c_str(), static_cast<long long>(info.fileBytes), options.frames,
                options.tracks, static_cast<long long>(info.observations));
    return 0;
}
