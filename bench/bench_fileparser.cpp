// The text reader and the number conversion over a large synthetic project-like text, each
// against a floor measured in the same run: one read of the file plus a bare count of
// white-space-separated words. The ratio of the best processor times is reported as the counter
// "x_floor".
//
//   bench_fileparser [--benchmark_filter=...]      (size in MB as the benchmark argument)
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <time.h>

#include "parser/fileparser.h"
#include "platform/platform.h"
#include "util/numparse.h"

namespace {

// Processor time of this (single-threaded) process: steadier than wall time on a shared machine.
double CpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

void QuietSink(const char*) {}

// Lines that look like a project's track section: an index, a count, then "frame x y" groups.
std::string MakeText(size_t bytes) {
    std::mt19937 rng(12345);
    std::uniform_real_distribution<double> coord(0.0, 1920.0);
    std::string text;
    text.reserve(bytes + 256);
    char item[64];
    for (int track = 0; text.size() < bytes; ++track) {
        const int count = 5 + static_cast<int>(rng() % 40);
        text += std::to_string(track) + " " + std::to_string(count) + "\n";
        std::snprintf(item, sizeof(item), "%.9f %.9f %.9f\n", coord(rng), coord(rng),
                      coord(rng) - 960.0);
        text += item;
        for (int i = 0; i < count; ++i) {
            std::snprintf(item, sizeof(item), "%d %.6f %.6f\n", static_cast<int>(rng() % 500),
                          coord(rng), coord(rng));
            text += item;
        }
    }
    return text;
}

std::string FilePath(int megabytes) {
    std::filesystem::create_directories(ZEL_BENCH_TMP_DIR);
    const std::string path =
        std::string(ZEL_BENCH_TMP_DIR) + "/text_" + std::to_string(megabytes) + "MB.txt";
    if (!std::filesystem::exists(path)) {
        const std::string text = MakeText(static_cast<size_t>(megabytes) << 20);
        std::FILE* out = std::fopen(path.c_str(), "wb");
        std::fwrite(text.data(), 1, text.size(), out);
        std::fclose(out);
    }
    return path;
}

// One read of the whole file, then a count of the words: what any reader has to do at least.
size_t Floor(const std::string& path) {
    std::FILE* in = std::fopen(path.c_str(), "rb");
    std::fseek(in, 0, SEEK_END);
    const long size = std::ftell(in);
    std::rewind(in);
    // Not zero-filled, like the reader's own buffer.
    const std::unique_ptr<char[]> data(new char[static_cast<size_t>(size)]);
    const size_t got = std::fread(data.get(), 1, static_cast<size_t>(size), in);
    std::fclose(in);
    static const auto kSpace = [] {
        std::array<unsigned char, 256> table{};
        table[' '] = table['\n'] = table['\r'] = table['\t'] = 1;
        return table;
    }();
    size_t words = 0;
    unsigned previousSpace = 1;
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(data.get());
    for (size_t i = 0; i < got; ++i) {
        const unsigned space = kSpace[bytes[i]];
        words += previousSpace & (space ^ 1u);
        previousSpace = space;
    }
    return words;
}

double FloorSeconds(const std::string& path) {
    static std::string measuredPath;
    static double best = 0;
    if (measuredPath != path) {
        best = 1e30;
        for (int i = 0; i < 5; ++i) {
            const double start = CpuSeconds();
            benchmark::DoNotOptimize(Floor(path));
            best = std::min(best, CpuSeconds() - start);
        }
        measuredPath = path;
    }
    return best;
}

template <class Body>
void RunAgainstFloor(benchmark::State& state, Body body) {
    SetDiagnosticSink(QuietSink);
    const std::string path = FilePath(static_cast<int>(state.range(0)));
    const double floor = FloorSeconds(path);
    double best = 1e30;
    for (auto _ : state) {
        const double start = CpuSeconds();
        body(path);
        best = std::min(best, CpuSeconds() - start);
    }
    state.counters["x_floor"] = best / floor;
    state.counters["floor_ms"] = floor * 1e3;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(std::filesystem::file_size(path)));
}

void BM_Floor(benchmark::State& state) {
    RunAgainstFloor(state, [](const std::string& path) { benchmark::DoNotOptimize(Floor(path)); });
}

void BM_ReadWord(benchmark::State& state) {
    RunAgainstFloor(state, [](const std::string& path) {
        CFileParser parser;
        parser.LoadFile(path.c_str());
        parser.position = 0;
        size_t words = 0;
        while (parser.ReadWord()) {
            ++words;
        }
        benchmark::DoNotOptimize(words);
    });
}

void BM_ReadLineThenWords(benchmark::State& state) {
    // The project parser's pattern for counted lists: one ReadLine per header line, then words.
    RunAgainstFloor(state, [](const std::string& path) {
        CFileParser parser;
        parser.LoadFile(path.c_str());
        parser.position = 0;
        size_t n = 0;
        while (parser.position < parser.length) {
            parser.ReadLine();
            n += parser.lineBuffer[0] != '\0';
            for (int i = 0; i < 3 && parser.ReadWord(); ++i) {
                ++n;
            }
        }
        benchmark::DoNotOptimize(n);
    });
}

void BM_ReadWordParseDouble(benchmark::State& state) {
    RunAgainstFloor(state, [](const std::string& path) {
        CFileParser parser;
        parser.LoadFile(path.c_str());
        parser.position = 0;
        double sum = 0;
        while (parser.ReadWord()) {
            sum += ParseDouble(parser.wordBuffer);
        }
        benchmark::DoNotOptimize(sum);
    });
}

void BM_ReadWordAtof(benchmark::State& state) {
    RunAgainstFloor(state, [](const std::string& path) {
        CFileParser parser;
        parser.LoadFile(path.c_str());
        parser.position = 0;
        double sum = 0;
        while (parser.ReadWord()) {
            sum += std::atof(parser.wordBuffer);
        }
        benchmark::DoNotOptimize(sum);
    });
}

void BM_FindLineToTheEnd(benchmark::State& state) {
    RunAgainstFloor(state, [](const std::string& path) {
        CFileParser parser;
        parser.LoadFile(path.c_str());
        parser.position = 0;
        benchmark::DoNotOptimize(parser.FindLine("<not there>"));
    });
}

}  // namespace

BENCHMARK(BM_Floor)->Arg(64)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadWord)->Arg(64)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadLineThenWords)->Arg(64)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FindLineToTheEnd)->Arg(64)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadWordParseDouble)->Arg(64)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadWordAtof)->Arg(64)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
