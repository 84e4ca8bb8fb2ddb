// Helpers shared by the benchmark programs: the large synthetic project, a way to silence the
// program's own standard-output lines while timing, and interleaved timings of a subject and its
// baselines, turned into ratios.
#pragma once

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

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

// Compares several variants of the same work. Every iteration of a benchmark runs each variant
// once, one after the other, so that they all see the same machine load; the figures are the
// best time of each variant and the median over iterations of each variant's time divided by
// the baseline's (variant 0) time in the same iteration.
class Comparison {
  public:
    explicit Comparison(std::vector<std::string> names)
        : names_(std::move(names)), times_(names_.size()) {}

    // Runs work() as variant v of the current iteration, timing it in thread CPU time.
    template <class Work>
    void Time(size_t v, Work&& work) {
        const double start = ThreadSeconds();
        work();
        times_[v].push_back(ThreadSeconds() - start);
    }

    // Sets, for every variant, "<name>_ms" (its best time) and, for every variant after the
    // baseline, "<name>/<baseline name>" (MedianRatio against the baseline).
    void Report(benchmark::State& state) const {
        for (size_t v = 0; v < names_.size(); v++) {
            if (times_[v].empty()) {
                continue;
            }
            state.counters[names_[v] + "_ms"] = 1e3 * Best(v);
        }
        for (size_t v = 1; v < names_.size(); v++) {
            ReportRatio(state, v, 0);
        }
    }

    // Sets counter "<name v>/<name w>" to MedianRatio(v, w) and "<name v>/<name w>_best" to the
    // ratio of the two best times, when there is data. The median follows the typical
    // iteration; the best times are what the code does when the machine leaves it alone.
    void ReportRatio(benchmark::State& state, size_t v, size_t w) const {
        const double ratio = MedianRatio(v, w);
        if (ratio > 0) {
            state.counters[names_[v] + "/" + names_[w]] = ratio;
            state.counters[names_[v] + "/" + names_[w] + "_best"] = Best(v) / Best(w);
        }
    }

    // The best time of variant v, in seconds.
    double Best(size_t v) const { return *std::min_element(times_[v].begin(), times_[v].end()); }

    // Median over iterations of time(v) / time(w); 0 without data.
    double MedianRatio(size_t v, size_t w) const {
        std::vector<double> ratios;
        for (size_t i = 0; i < times_[v].size() && i < times_[w].size(); i++) {
            if (times_[w][i] > 0) {
                ratios.push_back(times_[v][i] / times_[w][i]);
            }
        }
        if (ratios.empty()) {
            return 0;
        }
        std::sort(ratios.begin(), ratios.end());
        const size_t n = ratios.size();
        return n % 2 == 1 ? ratios[n / 2] : 0.5 * (ratios[n / 2 - 1] + ratios[n / 2]);
    }

  private:
    std::vector<std::string> names_;
    std::vector<std::vector<double>> times_;
};

}  // namespace bench
