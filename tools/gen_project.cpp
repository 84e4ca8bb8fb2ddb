// Writes a large synthetic camera-track project for benchmarks and stress runs.
//
//   zel_gen_project <directory> [frames [tracks [observations per track [seed]]]]
//
// Defaults: 500 frames, 200000 tracks, 25 observations per track on average, seed 1 (about
// 140 MB). The same arguments always give the same bytes. Usage errors: one line on standard
// error, exit status 2.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/frontend.h"
#include "tools/projectgen.h"

namespace {

const char* const kUsage =
    "usage: zel_gen_project <directory> [frames [tracks [observations per track [seed]]]]";

void PrintHelp() {
    std::printf(
        "%s\n"
        "\n"
        "Writes a large synthetic camera-track project into <directory> for benchmarks and\n"
        "stress runs: frames 1..1000000 (default 500), tracks 0..100000000 (default 200000),\n"
        "observations per track on average 1..100000 (default 25), seed 0..2^62 (default 1).\n"
        "The same arguments always give the same bytes.\n"
        "\n"
        "Exit status: 0 when the project was written, 1 when it could not be, 2 for a usage\n"
        "error.\n",
        kUsage);
}

// Reads the command line into the directory and options. Returns -1 to go on, or the exit status
// to end with (0 after --help, 2 after a usage error).
int ParseArguments(int argc, const char* const argv[], std::string& dir,
                   SyntheticProjectOptions& options) {
    zeltool::UsageStyle style;
    style.prefix = "zel_gen_project: ";
    style.suffix = std::string("; ") + kUsage;
    const zeltool::CommandLine line(style, PrintHelp);
    std::vector<std::string> args;
    const int status = line.Parse(argc, argv, args);
    if (status >= 0) {
        return status;
    }
    if (args.empty() || args.size() > 5) {
        return line.Usage(args.empty() ? "no directory given" : "too many arguments");
    }
    dir = args[0];
    const struct {
        long long lo, hi;
    } limits[] = {{1, 1000000}, {0, 100000000}, {1, 100000}, {0, (1ll << 62)}};
    for (size_t i = 1; i < args.size(); i++) {
        const char* text = args[i].c_str();
        char* end = nullptr;
        errno = 0;
        const long long value = std::strtoll(text, &end, 10);
        if (end == text || *end != '\0' || errno != 0 || value < limits[i - 1].lo ||
            value > limits[i - 1].hi) {
            return line.Usage("bad argument: " + args[i]);
        }
        switch (i) {
            case 1:
                options.frames = static_cast<int>(value);
                break;
            case 2:
                options.tracks = static_cast<int>(value);
                break;
            case 3:
                options.meanObservations = static_cast<int>(value);
                break;
            default:
                options.seed = static_cast<uint64_t>(value);
                break;
        }
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    std::string dir;
    SyntheticProjectOptions options;
    const int status = ParseArguments(argc, argv, dir, options);
    if (status >= 0) {
        return status;
    }
    SyntheticProjectInfo info;
    if (!WriteSyntheticProject(dir, options, &info)) {
        return 1;
    }
    std::printf("%s: %lld bytes, %d frames, %d tracks, %lld observations\n",
                info.projectPath.c_str(), static_cast<long long>(info.fileBytes), options.frames,
                options.tracks, static_cast<long long>(info.observations));
    return 0;
}
