// Number conversion over the tokens of the large synthetic project: the C library's atof and
// atoi, the project's ParseDouble and ParseInt (a fast path with a fallback to the C library),
// and std::from_chars, all over the same tokens in the same run. The integer tokens are the
// observation counts, ids, statuses and frame indexes of the "Feature Tracks" section, the real
// tokens its 3D points and image positions.
#include <charconv>
#include <cstring>
#include <memory>
#include <vector>

#include "bench/bench_common.h"
#include "util/numparse.h"

namespace {

constexpr size_t kMaxTokens = 4000000;  // of each kind, to bound the run's memory and time

struct Tokens {
    std::unique_ptr<char[]> text;     // the section with every separator replaced by NUL
    std::vector<const char*> begins;  // NUL-terminated tokens
    std::vector<const char*> ends;    // one past each token's last character
};

struct TokenSets {
    Tokens integers;
    Tokens reals;
};

// Splits the "Feature Tracks" section into tokens and sorts them by their role in the records.
const TokenSets& ProjectTokens() {
    static const TokenSets sets = [] {
        TokenSets result;
        const std::string& path = bench::LargeProject().projectPath;
        FILE* file = std::fopen(path.c_str(), "rb");
        std::fseek(file, 0, SEEK_END);
        const size_t size = static_cast<size_t>(std::ftell(file));
        std::fseek(file, 0, SEEK_SET);
        std::unique_ptr<char[]> text(new char[size + 1]);
        const size_t got = std::fread(text.get(), 1, size, file);
        std::fclose(file);
        text[got] = '\0';
        char* cursor = std::strstr(text.get(), "<Feature Tracks>");
        char* sectionEnd = std::strstr(text.get(), "</Feature Tracks>");
        cursor += std::strlen("<Feature Tracks>");
        // Role of each token: the count N, then per record C id status X Y Z and C triples.
        enum Role { kInt, kReal };
        long remainingInRecord = -1;  // words left in the current record; -1 before N
        long observationWord = 0;
        while (cursor < sectionEnd) {
            while (cursor < sectionEnd &&
                   (*cursor == ' ' || *cursor == '\n' || *cursor == '\r' || *cursor == '\t')) {
                *cursor++ = '\0';
            }
            if (cursor >= sectionEnd) {
                break;
            }
            char* begin = cursor;
            while (cursor < sectionEnd && *cursor != ' ' && *cursor != '\n' && *cursor != '\r' &&
                   *cursor != '\t') {
                cursor++;
            }
            char* end = cursor;
            Role role = kInt;
            if (remainingInRecord < 0) {
                remainingInRecord = 0;  // N
            } else if (remainingInRecord == 0) {
                remainingInRecord = 5 + 3 * std::atol(begin);  // C, then the rest of the record
                observationWord = -5;
            } else {
                role = (observationWord < 0 && observationWord >= -3) ||
                               (observationWord >= 0 && observationWord % 3 != 0)
                           ? kReal
                           : kInt;
                observationWord++;
                remainingInRecord--;
            }
            Tokens& tokens = role == kInt ? result.integers : result.reals;
            if (tokens.begins.size() < kMaxTokens) {
                tokens.begins.push_back(begin);
                tokens.ends.push_back(end);
            }
        }
        *sectionEnd = '\0';
        result.integers.text = std::move(text);
        return result;
    }();
    return sets;
}

template <class Convert>
double SumOver(const Tokens& tokens, Convert convert) {
    double sum = 0;
    const size_t n = tokens.begins.size();
    for (size_t i = 0; i < n; i++) {
        sum += convert(tokens.begins[i], tokens.ends[i]);
    }
    return sum;
}

// Each iteration converts every real token with atof, std::from_chars and ParseDouble, one after
// the other. The counters "ParseDouble/atof" and "ParseDouble/from_chars" are medians of the
// per-iteration ratios. Before timing, ParseDouble is checked bit for bit against atof.
void BM_Real(benchmark::State& state) {
    const Tokens& tokens = ProjectTokens().reals;
    for (size_t i = 0; i < tokens.begins.size(); i++) {
        const double a = std::atof(tokens.begins[i]);
        const double b = ParseDouble(tokens.begins[i]);
        if (std::memcmp(&a, &b, sizeof a) != 0) {
            state.SkipWithError("ParseDouble differs from atof");
            return;
        }
    }
    bench::Comparison comparison({"atof", "from_chars", "ParseDouble"});
    for (auto _ : state) {
        comparison.Time(0, [&] {
            benchmark::DoNotOptimize(
                SumOver(tokens, [](const char* s, const char*) { return std::atof(s); }));
        });
        comparison.Time(1, [&] {
            benchmark::DoNotOptimize(SumOver(tokens, [](const char* s, const char* e) {
                double v = 0;
                std::from_chars(s, e, v);
                return v;
            }));
        });
        comparison.Time(2, [&] {
            benchmark::DoNotOptimize(
                SumOver(tokens, [](const char* s, const char*) { return ParseDouble(s); }));
        });
    }
    state.counters["tokens"] = static_cast<double>(tokens.begins.size());
    comparison.Report(state);
    comparison.ReportRatio(state, 2, 1);
}

// The same for the integer tokens with atoi, std::from_chars and ParseInt.
void BM_Int(benchmark::State& state) {
    const Tokens& tokens = ProjectTokens().integers;
    for (size_t i = 0; i < tokens.begins.size(); i++) {
        if (std::atoi(tokens.begins[i]) != ParseInt(tokens.begins[i])) {
            state.SkipWithError("ParseInt differs from atoi");
            return;
        }
    }
    bench::Comparison comparison({"atoi", "from_chars", "ParseInt"});
    for (auto _ : state) {
        comparison.Time(0, [&] {
            benchmark::DoNotOptimize(
                SumOver(tokens, [](const char* s, const char*) { return std::atoi(s); }));
        });
        comparison.Time(1, [&] {
            benchmark::DoNotOptimize(SumOver(tokens, [](const char* s, const char* e) {
                int v = 0;
                std::from_chars(s, e, v);
                return v;
            }));
        });
        comparison.Time(2, [&] {
            benchmark::DoNotOptimize(
                SumOver(tokens, [](const char* s, const char*) { return ParseInt(s); }));
        });
    }
    state.counters["tokens"] = static_cast<double>(tokens.begins.size());
    comparison.Report(state);
    comparison.ReportRatio(state, 2, 1);
}

}  // namespace

BENCHMARK(BM_Real)->MinTime(2.0)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Int)->MinTime(1.0)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    bench::LargeProject();
    ProjectTokens();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
