// EstimateMaxDisparity on the large synthetic project against a bare pass over the same tracks
// that only computes the depths: the same loops, the same skips and the frame's DepthOf, with
// the depths summed instead of collected and selected.
#include <memory>

#include "bench/bench_common.h"
#include "parser/trackfileparser.h"
#include "sequence/videoframe.h"
#include "sequence/videosequence.h"

namespace {

struct ParsedProject {
    std::unique_ptr<CZelVideoSequence> sequence;
    std::unique_ptr<CTrackFileParser> parser;
    bool ok = false;
};

const ParsedProject& Project() {
    static const ParsedProject* project = [] {
        auto* result = new ParsedProject;
        result->sequence = std::make_unique<CZelVideoSequence>();
        result->parser = std::make_unique<CTrackFileParser>(result->sequence.get());
        bench::StdoutToNull quiet;
        result->ok = result->parser->Parse(bench::LargeProject().projectPath.c_str());
        return result;
    }();
    return *project;
}

// The depths EstimateMaxDisparity collects, summed; also counts them.
double BareDepthPass(const CZelVideoSequence& sequence, const CTrackFileParser& parser,
                     long* count) {
    double sum = 0;
    long n = 0;
    const int frameCount = sequence.frameCount;
    for (const auto& track : parser.tracks) {
        if (track->status == -1 || track->status == 3) {
            continue;
        }
        const Vector3d pt3d = track->point;
        for (const CTrackPoint& p : track->trackPoints) {
            if (p.frame >= frameCount || p.frame < 0) {
                continue;
            }
            const float z = sequence.frames[static_cast<size_t>(p.frame)]->DepthOf(pt3d);
            if (z > 1e-10) {
                sum += z;
                n++;
            }
        }
    }
    *count = n;
    return sum;
}

// Each iteration times the bare pass and then EstimateMaxDisparity; the counter
// "Estimate/bare" is the median of the per-iteration ratios.
void BM_EstimateMaxDisparity(benchmark::State& state) {
    const ParsedProject& project = Project();
    if (!project.ok) {
        state.SkipWithError("Parse failed on the benchmark project");
        return;
    }
    bench::Comparison comparison({"bare", "Estimate"});
    long count = 0;
    double result = 0;
    for (auto _ : state) {
        comparison.Time(0, [&] {
            benchmark::DoNotOptimize(BareDepthPass(*project.sequence, *project.parser, &count));
        });
        comparison.Time(1, [&] {
            result = project.sequence->EstimateMaxDisparity(*project.parser);
            benchmark::DoNotOptimize(result);
        });
    }
    state.counters["depths"] = static_cast<double>(count);
    state.counters["max_disparity"] = result;
    comparison.Report(state);
}

}  // namespace

BENCHMARK(BM_EstimateMaxDisparity)->MinTime(2.0)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    bench::SilenceDiagnostics();
    bench::LargeProject();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
