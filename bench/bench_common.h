// Helpers shared by the benchmark programs: the large synthetic project, a way to silence the
// program's own standard-output lines while timing, and best-of-N timings that later benchmarks
// of the same run turn into ratios.
#pragma once

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <map>
#include <string>

#include "platform/platform.h"
#include "tools/projectgen.h"

namespace bench {

// The large project of the performance figures: 500 frames, 200,000 tracks, 25 observations per
// track on average (about 140 MB, 5 million observations). Written once into the benchmark
// scratch directory and reused by later runs; aborts the program when it cannot be written.
inline const SyntheticProjectInfo& LargeProject() {
    static const SyntheticProjectInfo info = [] {
        SyntheticProjectOptions options;
        SyntheticProjectInfo result;
        const std::string dir = std::string(ZEL_BENCH_TMP_DIR) + "/project_500f_200000t_25o";
        if (!EnsureSyntheticProject(dir, options, &result)) {
            std::fprintf(stderr, "cannot write the benchmark project into %s\n", dir.c_str());
            std::exit(1);
        }
        return result;
    }();
    return info;
}

// Discards the text reader's traces for the whole program.
inline void SilenceDiagnostics() {
    SetDiagnosticSink([](const char*) {});
}

// While alive, standard output goes to /dev/null (the parser prints its progress lines there).
class StdoutToNull {
  public:
    StdoutToNull() {
        std::fflush(stdout);
        saved_ = dup(1);
        const int null = open("/dev/null", O_WRONLY);
        if (null >= 0) {
            dup2(null, 1);
            close(null);
        }
    }
    ~StdoutToNull() {
        std::fflush(stdout);
        if (saved_ >= 0) {
            dup2(saved_, 1);
            close(saved_);
        }
    }
    StdoutToNull(const StdoutToNull&) = delete;
    StdoutToNull& operator=(const StdoutToNull&) = delete;

  private:
    int saved_;
};

// CPU time of the calling thread, in seconds. Ratios are taken on CPU time so that other work
// on a shared machine disturbs them less than it disturbs wall time.
inline double ThreadSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// Best (smallest) time per iteration of each named measurement in this run.
inline std::map<std::string, double>& BestTimes() {
    static std::map<std::string, double> times;
    return times;
}

// Records the best time of a measurement and reports it as a counter in milliseconds.
inline void RecordBest(benchmark::State& state, const std::string& name, double best) {
    BestTimes()[name] = best;
    state.counters["best_ms"] = best * 1e3;
}

// Sets counter `counter` to best / the best time of `baseline`, when that baseline ran.
inline void ReportRatio(benchmark::State& state, const std::string& counter, double best,
                        const std::string& baseline) {
    const auto found = BestTimes().find(baseline);
    if (found != BestTimes().end() && found->second > 0) {
        state.counters[counter] = best / found->second;
    }
}

// Times one iteration's work as thread CPU time and keeps the best.
class BestOf {
  public:
    void Start() { start_ = ThreadSeconds(); }
    void Stop() {
        const double elapsed = ThreadSeconds() - start_;
        if (elapsed < best_) {
            best_ = elapsed;
        }
    }
    double Best() const { return best_; }

  private:
    double start_ = 0;
    double best_ = std::numeric_limits<double>::infinity();
};

}  // namespace bench
