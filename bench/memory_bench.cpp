// zel_memory_bench: zel_recover's peak memory against the video's length.
//
//   zel_memory_bench [--size WxH] [--frames N,M,...] [--keep]
//
// For each frame count, writes a synthetic sample of that many frames (zel_make_sample, same
// picture size and seed) under the bench build's tmp/ and runs zel_recover on it as a child
// process with small options (16 levels, 4 sweep and 6 refinement neighbours, two threads) and
// --min-parallax 0: the samples follow the same camera path whatever their length, so a longer
// one moves less per frame, and the parallax rule would pick neighbours farther apart in it,
// putting more pictures in flight; without it every run matches the 3 nearest frames on each
// side, and only the length differs.
// Three figures per run, from the child alone:
// - its peak before the stages: reading the project. The sample's feature tracks grow with the
//   square of its length (every tenth frame adds points, each seen in every frame), so this one
//   grows with the input;
// - its resident set when the stages start (zel_recover's "zel_recover: frames" line, after it
//   has given the tracks back);
// - the stages' peak: at that line the child's peak is reset (Linux: writing 5 to
//   /proc/<pid>/clear_refs), so its ru_maxrss at the end is the peak of the stages.
// Prints a row per run and the ratio of the stages' peaks, largest to smallest; memory
// independent of the length means a ratio near 1. Exit status 1 when it exceeds 1.15. Linux
// only.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <chrono>
#include <filesystem>
#endif

namespace {

#ifndef _WIN32
struct ChildRun {
    int status = -1;
    long peakKb = 0;        // ru_maxrss: since the reset, when there was one
    long peakBeforeKb = 0;  // the peak when it was reset (0: never reset)
    long residentAtKb = 0;  // the resident set then
    double seconds = 0.0;
};

// A "Vm...:" figure of /proc/<pid>/status in kB (0 when unknown).
long StatusKb(pid_t pid, const char* field) {
    std::FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
    long kb = 0;
    if (f != nullptr) {
        char line[256];
        const size_t n = std::strlen(field);
        while (std::fgets(line, sizeof(line), f) != nullptr) {
            if (std::strncmp(line, field, n) == 0 && line[n] == ':') {
                kb = std::strtol(line + n + 1, nullptr, 10);
                break;
            }
        }
        std::fclose(f);
    }
    return kb;
}

// Runs a program with its standard output going to log and its standard error read here (and
// appended to log); when a line of it begins with resetAt (unless empty), the child's peak
// resident set is reset.
ChildRun Run(const std::vector<std::string>& args, const std::string& log,
             const std::string& resetAt = std::string()) {
    ChildRun result;
    const auto t0 = std::chrono::steady_clock::now();
    int fds[2];
    if (pipe(fds) != 0) {
        return result;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        if (std::freopen(log.c_str(), "w", stdout) == nullptr || dup2(fds[1], 2) < 0) {
            _exit(127);
        }
        std::vector<char*> argv;
        for (const std::string& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        return result;
    }
    std::FILE* err = fdopen(fds[0], "r");
    std::FILE* logFile = std::fopen(log.c_str(), "a");
    char line[4096];
    while (err != nullptr && std::fgets(line, sizeof(line), err) != nullptr) {
        if (logFile != nullptr) {
            std::fputs(line, logFile);
        }
        if (!resetAt.empty() && result.peakBeforeKb == 0 &&
            std::strncmp(line, resetAt.c_str(), resetAt.size()) == 0) {
            const long before = StatusKb(pid, "VmHWM");
            std::FILE* clear =
                std::fopen(("/proc/" + std::to_string(pid) + "/clear_refs").c_str(), "w");
            if (clear != nullptr) {
                std::fputs("5", clear);
                if (std::fclose(clear) == 0) {
                    result.peakBeforeKb = before;
                    result.residentAtKb = StatusKb(pid, "VmRSS");
                }
            }
        }
    }
    if (logFile != nullptr) {
        std::fclose(logFile);
    }
    if (err != nullptr) {
        std::fclose(err);
    } else {
        close(fds[0]);
    }
    int status = 0;
    struct rusage usage {};
    if (wait4(pid, &status, 0, &usage) != pid) {
        return result;
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.peakKb = usage.ru_maxrss;
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return result;
}
#endif

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
    (void)argc;
    (void)argv;
    std::fprintf(stderr, "zel_memory_bench: needs Linux\n");
    return 1;
#else
    std::string size = "64x48";
    std::vector<int> counts = {30, 300};
    bool keep = false;
    for (int a = 1; a < argc; a++) {
        const std::string arg = argv[a];
        if (arg == "--help") {
            std::printf("usage: zel_memory_bench [--size WxH] [--frames N,M,...] [--keep]\n");
            return 0;
        }
        if (arg == "--keep") {
            keep = true;
        } else if ((arg == "--size" || arg == "--frames") && a + 1 < argc) {
            const std::string value = argv[++a];
            if (arg == "--size") {
                size = value;
                continue;
            }
            counts.clear();
            for (const char* p = value.c_str(); *p != '\0';) {
                char* end = nullptr;
                const long n = std::strtol(p, &end, 10);
                if (end == p || n < 2 || n > 1000) {
                    std::fprintf(stderr, "zel_memory_bench: invalid frame counts '%s'\n",
                                 value.c_str());
                    return 2;
                }
                counts.push_back(static_cast<int>(n));
                p = *end == ',' ? end + 1 : end;
            }
        } else {
            std::fprintf(stderr, "zel_memory_bench: unknown argument %s (--help)\n", arg.c_str());
            return 2;
        }
    }
    std::printf(
        "zel_recover, %s pictures, --levels 16 --neighbours 4 --refine-neighbours 6 "
        "--threads 2 (MB)\n",
        size.c_str());
    std::printf("%8s %14s %14s %14s %10s %12s\n", "frames", "reading peak", "at stages",
                "stages' peak", "seconds", "s per frame");
    long smallest = 0;
    long largest = 0;
    for (int frames : counts) {
        const std::string dir =
            std::string(ZEL_BENCH_TMP_DIR) + "/memory/" + std::to_string(frames) + "/";
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
        std::filesystem::create_directories(dir, ec);
        const ChildRun made =
            Run({ZEL_MAKE_SAMPLE_EXE, "--size", size, "--frames", std::to_string(frames), dir},
                dir + "make.log");
        if (made.status != 0) {
            std::fprintf(stderr, "zel_memory_bench: zel_make_sample failed (%s)\n",
                         (dir + "make.log").c_str());
            return 1;
        }
        const ChildRun run =
            Run({ZEL_RECOVER_EXE, "--levels", "16", "--neighbours", "4", "--refine-neighbours", "6",
                 "--min-parallax", "0", "--threads", "2", dir + "project.txt"},
                dir + "recover.log", "zel_recover: frames");
        if (run.status != 0 || run.peakBeforeKb == 0) {
            std::fprintf(stderr,
                         "zel_memory_bench: zel_recover failed or its peak could not be "
                         "reset (%s)\n",
                         (dir + "recover.log").c_str());
            return 1;
        }
        std::printf("%8d %14.1f %14.1f %14.1f %10.1f %12.3f\n", frames, run.peakBeforeKb / 1024.0,
                    run.residentAtKb / 1024.0, run.peakKb / 1024.0, run.seconds,
                    run.seconds / frames);
        std::fflush(stdout);
        smallest = smallest == 0 ? run.peakKb : std::min(smallest, run.peakKb);
        largest = std::max(largest, run.peakKb);
        if (!keep) {
            std::filesystem::remove_all(dir, ec);
        }
    }
    const double ratio = smallest > 0 ? static_cast<double>(largest) / smallest : 0.0;
    std::printf("stages' peak, largest / smallest: %.3f (at most 1.15 expected)\n", ratio);
    return ratio <= 1.15 ? 0 : 1;
#endif
}
