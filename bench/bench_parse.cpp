// The project reader on the large synthetic project, against two baselines measured in the
// same run:
// - the floor: one read of the file into one buffer plus a bare count of white-space separated
//   words (the least any reader of this text must do);
// - a plain std::ifstream reader that pulls the same values with operator>> into simple
//   structures.
// CTrackFileParser::Parse is timed from LoadFile to the inverted poses, on a fresh sequence every
// iteration (destruction is not timed). Each iteration runs all three, one after the other; the
// counters "Parse/floor", "ifstream/floor" and "Parse/ifstream" are medians of the per-iteration
// ratios. The peak memory of the parse is measured in a child process.
#include <malloc.h>
#include <sys/wait.h>

#include <array>
#include <cstring>
#include <fstream>
#include <memory>
#include <vector>

#include "bench/bench_common.h"
#include "parser/trackfileparser.h"
#include "sequence/videosequence.h"

namespace {

// --- the floor --------------------------------------------------------------------------------

// Reads the whole file with one read call into one new buffer, as the text reader does.
std::unique_ptr<char[]> ReadWholeFile(const char* path, size_t* size) {
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        return nullptr;
    }
    std::fseek(file, 0, SEEK_END);
    *size = static_cast<size_t>(std::ftell(file));
    std::fseek(file, 0, SEEK_SET);
    std::unique_ptr<char[]> buffer(new char[*size]);
    *size = std::fread(buffer.get(), 1, *size, file);
    std::fclose(file);
    return buffer;
}

// Words are runs of bytes other than '\n', '\t', '\r' and ' '.
size_t CountWords(const char* bytes, size_t size) {
    size_t words = 0;
    bool inWord = false;
    for (size_t i = 0; i < size; i++) {
        const char c = bytes[i];
        const bool space = c == ' ' || c == '\n' || c == '\t' || c == '\r';
        words += static_cast<size_t>(!space && !inWord);
        inWord = !space;
    }
    return words;
}

// One read of the file plus a word count; returns the count.
size_t ReadAndCountWords(const std::string& path) {
    size_t size = 0;
    std::unique_ptr<char[]> buffer = ReadWholeFile(path.c_str(), &size);
    return buffer ? CountWords(buffer.get(), size) : 0;
}

// --- a plain std::ifstream reader -------------------------------------------------------------

struct PlainObservation {
    int frame;
    double x;
    double y;
};

struct PlainTrack {
    int id;
    int status;
    double point[3];
    std::vector<PlainObservation> observations;
};

struct PlainProject {
    std::string imagePath;
    int start = 0;
    int step = 1;
    int end = 0;
    double intrinsics[6] = {};
    std::vector<PlainTrack> tracks;
    std::vector<std::array<double, 13>> cameras;
};

bool StartsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

bool ReadPlainProject(const std::string& path, PlainProject& project) {
    std::ifstream in(path);
    std::string line;
    if (!std::getline(in, line) || !StartsWith(line, "#camera track project file")) {
        return false;
    }
    while (std::getline(in, line)) {
        if (line == "<Image Sequence>") {
            while (std::getline(in, line) && line != "</Image Sequence>") {
                if (StartsWith(line, "Sequence:")) {
                    project.imagePath = line.substr(9);
                } else if (StartsWith(line, "start:")) {
                    project.start = std::atoi(line.c_str() + 6);
                } else if (StartsWith(line, "step:")) {
                    project.step = std::atoi(line.c_str() + 5);
                } else if (StartsWith(line, "end:")) {
                    project.end = std::atoi(line.c_str() + 4);
                }
            }
        } else if (line == "<intrinsic parameter>") {
            for (double& value : project.intrinsics) {
                in >> value;
            }
        } else if (line == "<Feature Tracks>") {
            int count = 0;
            in >> count;
            project.tracks.resize(static_cast<size_t>(count));
            for (PlainTrack& track : project.tracks) {
                int observations = 0;
                in >> observations >> track.id >> track.status >> track.point[0] >>
                    track.point[1] >> track.point[2];
                track.observations.resize(static_cast<size_t>(observations));
                for (PlainObservation& o : track.observations) {
                    in >> o.frame >> o.x >> o.y;
                }
            }
        } else if (StartsWith(line, "<FRAME")) {
            std::array<double, 13> camera{};
            for (double& value : camera) {
                in >> value;
            }
            project.cameras.push_back(camera);
        }
    }
    return true;
}

// --- the project reader -----------------------------------------------------------------------

// Each iteration times the floor, the plain reader and Parse, one after the other.
void BM_Parse(benchmark::State& state) {
    const std::string& path = bench::LargeProject().projectPath;
    bench::Comparison comparison({"floor", "ifstream", "Parse"});
    size_t words = 0;
    size_t tracks = 0;
    for (auto _ : state) {
        comparison.Time(0, [&] { words = ReadAndCountWords(path); });
        benchmark::DoNotOptimize(words);

        auto plain = std::make_unique<PlainProject>();
        bool ok = false;
        comparison.Time(1, [&] { ok = ReadPlainProject(path, *plain); });
        plain.reset();
        if (!ok) {
            state.SkipWithError("the plain reader failed");
            break;
        }

        auto sequence = std::make_unique<CZelVideoSequence>();
        auto parser = std::make_unique<CTrackFileParser>(sequence.get());
        {
            bench::StdoutToNull quiet;
            comparison.Time(2, [&] { ok = parser->Parse(path.c_str()); });
        }
        if (!ok) {
            state.SkipWithError("Parse failed on the benchmark project");
            break;
        }
        tracks = parser->tracks.size();
        parser.reset();
        sequence.reset();
    }
    state.counters["words"] = static_cast<double>(words);
    state.counters["tracks"] = static_cast<double>(tracks);
    comparison.Report(state);
    comparison.ReportRatio(state, 2, 1);
}

// --- peak memory of the parse -----------------------------------------------------------------

long StatusKilobytes(const char* key) {
    FILE* file = std::fopen("/proc/self/status", "r");
    if (file == nullptr) {
        return -1;
    }
    char line[256];
    long value = -1;
    const size_t keyLength = std::strlen(key);
    while (std::fgets(line, sizeof line, file) != nullptr) {
        if (std::strncmp(line, key, keyLength) == 0) {
            value = std::strtol(line + keyLength, nullptr, 10);
            break;
        }
    }
    std::fclose(file);
    return value;
}

// Runs one Parse in a child process and returns the growth of its resident set: the peak
// (VmHWM, reset just before the parse) minus the resident size before it, in bytes; -1 on
// failure. The child frees what it can first so that memory retained by earlier work does
// not hide the parse's own demand.
long long ParsePeakGrowth(const std::string& path) {
    int fds[2];
    if (pipe(fds) != 0) {
        return -1;
    }
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        malloc_trim(0);
        FILE* reset = std::fopen("/proc/self/clear_refs", "w");
        if (reset != nullptr) {
            std::fputs("5", reset);
            std::fclose(reset);
        }
        const long before = StatusKilobytes("VmRSS:");
        long long growth = -1;
        {
            CZelVideoSequence sequence;
            CTrackFileParser parser(&sequence);
            bench::StdoutToNull quiet;
            if (parser.Parse(path.c_str())) {
                growth = (StatusKilobytes("VmHWM:") - before) * 1024ll;
            }
        }
        const ssize_t written = write(fds[1], &growth, sizeof growth);
        _exit(written == sizeof growth ? 0 : 1);
    }
    close(fds[1]);
    long long growth = -1;
    if (child < 0 || read(fds[0], &growth, sizeof growth) != sizeof growth) {
        growth = -1;
    }
    close(fds[0]);
    if (child > 0) {
        waitpid(child, nullptr, 0);
    }
    return growth;
}

void BM_ParsePeakMemory(benchmark::State& state) {
    const SyntheticProjectInfo& project = bench::LargeProject();
    long long growth = -1;
    for (auto _ : state) {
        growth = ParsePeakGrowth(project.projectPath);
    }
    if (growth < 0) {
        state.SkipWithError("the measuring child failed");
        return;
    }
    const double budget =
        static_cast<double>(project.fileBytes) + 64.0 * static_cast<double>(project.observations);
    state.counters["peak_MB"] = static_cast<double>(growth) / 1e6;
    state.counters["budget_MB"] = budget / 1e6;
    state.counters["x_budget"] = static_cast<double>(growth) / budget;
    state.counters["bytes_per_obs"] =
        static_cast<double>(growth - project.fileBytes) / static_cast<double>(project.observations);
}

}  // namespace

// The memory measurement runs first, before the timed runs have grown this process.
BENCHMARK(BM_ParsePeakMemory)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Parse)->Iterations(7)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    bench::SilenceDiagnostics();
    bench::LargeProject();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
