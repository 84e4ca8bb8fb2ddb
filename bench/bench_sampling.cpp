// The frame's bilinear sampling, GetColor and GetDisparity, at random sub-pixel positions of a
// 1920 x 1080 frame, against a minimal inline bilinear sampler written here, over the same
// precomputed positions.
#include <cmath>
#include <memory>
#include <vector>

#include "bench/bench_common.h"
#include "sequence/videoframe.h"

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr size_t kPositions = 1 << 20;

struct Scene {
    std::unique_ptr<CZelVideoFrame> frame;
    std::vector<double> xs;
    std::vector<double> ys;
};

// A frame with a random colour image and disparity map, and positions in [0, W - 1) x [0, H - 1).
const Scene& TheScene() {
    static const Scene* scene = [] {
        auto* s = new Scene;
        CZelVideoFrame::SetImageSize(kWidth, kHeight);
        CZelVideoFrame::SetReduced(false);
        s->frame = std::make_unique<CZelVideoFrame>();
        s->frame->colorImg = new ZImage<unsigned char>(kWidth, kHeight, 3);
        s->frame->dspImg = new ZImage<float>(kWidth, kHeight, 1);
        uint64_t state = 12345;
        auto next = [&state] {
            state = state * 6364136223846793005ull + 1442695040888963407ull;
            return static_cast<uint32_t>(state >> 33);
        };
        for (int y = 0; y < kHeight; y++) {
            for (int x = 0; x < kWidth; x++) {
                for (int c = 0; c < 3; c++) {
                    s->frame->colorImg->At(x, y, c) = static_cast<unsigned char>(next());
                }
                s->frame->dspImg->At(x, y, 0) = static_cast<float>(next() % 100000) * 1e-5f;
            }
        }
        s->xs.resize(kPositions);
        s->ys.resize(kPositions);
        for (size_t i = 0; i < kPositions; i++) {
            s->xs[i] = (kWidth - 1) * (next() * (1.0 / 2147483648.0));
            s->ys[i] = (kHeight - 1) * (next() * (1.0 / 2147483648.0));
        }
        return s;
    }();
    return *scene;
}

// The baselines: plain bilinear interpolation straight from the buffers, for positions whose
// right and lower neighbours exist.
inline void InlineColor(const ZImage<unsigned char>& img, double x, double y, double rgb[3]) {
    const int x0 = static_cast<int>(x);
    const int y0 = static_cast<int>(y);
    const double dx = x - x0;
    const double dy = y - y0;
    const unsigned char* p = img.data + static_cast<ptrdiff_t>(y0) * img.stride + x0 * 3;
    const unsigned char* q = p + img.stride;
    for (int c = 0; c < 3; c++) {
        rgb[c] =
            ((1 - dx) * p[c] + dx * p[c + 3]) * (1 - dy) + dy * ((1 - dx) * q[c] + dx * q[c + 3]);
    }
}

inline double InlineDisparity(const ZImage<float>& img, double x, double y) {
    const int x0 = static_cast<int>(x);
    const int y0 = static_cast<int>(y);
    const double dx = x - x0;
    const double dy = y - y0;
    const float* p =
        reinterpret_cast<const float*>(img.data + static_cast<ptrdiff_t>(y0) * img.stride) + x0;
    const float* q =
        reinterpret_cast<const float*>(reinterpret_cast<const unsigned char*>(p) + img.stride);
    return p[0] * (1 - dx) * (1 - dy) + p[1] * dx * (1 - dy) + q[0] * (1 - dx) * dy +
           q[1] * dx * dy;
}

void BM_Color_InlineSampler(benchmark::State& state) {
    const Scene& scene = TheScene();
    bench::BestOf best;
    for (auto _ : state) {
        best.Start();
        double sum = 0;
        for (size_t i = 0; i < kPositions; i++) {
            double rgb[3];
            InlineColor(*scene.frame->colorImg, scene.xs[i], scene.ys[i], rgb);
            benchmark::DoNotOptimize(rgb);
            sum += rgb[1];
        }
        benchmark::DoNotOptimize(sum);
        best.Stop();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kPositions));
    bench::RecordBest(state, "inline_color", best.Best());
}

void BM_Color_GetColor(benchmark::State& state) {
    const Scene& scene = TheScene();
    bench::BestOf best;
    for (auto _ : state) {
        best.Start();
        double sum = 0;
        for (size_t i = 0; i < kPositions; i++) {
            Vector3d rgb;
            scene.frame->GetColor(scene.xs[i], scene.ys[i], rgb);
            benchmark::DoNotOptimize(rgb);
            sum += rgb[1];
        }
        benchmark::DoNotOptimize(sum);
        best.Stop();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kPositions));
    bench::RecordBest(state, "GetColor", best.Best());
    bench::ReportRatio(state, "x_inline", best.Best(), "inline_color");
}

void BM_Disparity_InlineSampler(benchmark::State& state) {
    const Scene& scene = TheScene();
    bench::BestOf best;
    for (auto _ : state) {
        best.Start();
        double sum = 0;
        for (size_t i = 0; i < kPositions; i++) {
            const double d = InlineDisparity(*scene.frame->dspImg, scene.xs[i], scene.ys[i]);
            benchmark::DoNotOptimize(d);
            sum += d;
        }
        benchmark::DoNotOptimize(sum);
        best.Stop();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kPositions));
    bench::RecordBest(state, "inline_disparity", best.Best());
}

void BM_Disparity_GetDisparity(benchmark::State& state) {
    const Scene& scene = TheScene();
    bench::BestOf best;
    for (auto _ : state) {
        best.Start();
        double sum = 0;
        for (size_t i = 0; i < kPositions; i++) {
            const double d = scene.frame->GetDisparity(scene.xs[i], scene.ys[i]);
            benchmark::DoNotOptimize(d);
            sum += d;
        }
        benchmark::DoNotOptimize(sum);
        best.Stop();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kPositions));
    bench::RecordBest(state, "GetDisparity", best.Best());
    bench::ReportRatio(state, "x_inline", best.Best(), "inline_disparity");
}

}  // namespace

BENCHMARK(BM_Color_InlineSampler)->MinTime(0.5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Color_GetColor)->MinTime(0.5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Disparity_InlineSampler)->MinTime(0.5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Disparity_GetDisparity)->MinTime(0.5)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
