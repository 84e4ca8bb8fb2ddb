// The frame's bilinear sampling, GetColor and GetDisparity, at random sub-pixel positions of a
// 1920 x 1080 frame, against a minimal inline bilinear sampler written here, over the same
// precomputed positions. Each iteration runs the sampler and its baseline once; the counter
// "GetColor/inline" ("GetDisparity/inline") is the median of the per-iteration time ratios.
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

void BM_GetColor(benchmark::State& state) {
    const Scene& scene = TheScene();
    const CZelVideoFrame& frame = *scene.frame;
    bench::Comparison comparison({"inline", "GetColor"});
    for (auto _ : state) {
        comparison.Time(0, [&] {
            double sum = 0;
            for (size_t i = 0; i < kPositions; i++) {
                double rgb[3];
                InlineColor(*frame.colorImg, scene.xs[i], scene.ys[i], rgb);
                benchmark::DoNotOptimize(rgb);
                sum += rgb[1];
            }
            benchmark::DoNotOptimize(sum);
        });
        comparison.Time(1, [&] {
            double sum = 0;
            for (size_t i = 0; i < kPositions; i++) {
                Vector3d rgb;
                frame.GetColor(scene.xs[i], scene.ys[i], rgb);
                benchmark::DoNotOptimize(rgb);
                sum += rgb[1];
            }
            benchmark::DoNotOptimize(sum);
        });
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kPositions));
    comparison.Report(state);
}

void BM_GetDisparity(benchmark::State& state) {
    const Scene& scene = TheScene();
    const CZelVideoFrame& frame = *scene.frame;
    bench::Comparison comparison({"inline", "GetDisparity"});
    for (auto _ : state) {
        comparison.Time(0, [&] {
            double sum = 0;
            for (size_t i = 0; i < kPositions; i++) {
                const double d = InlineDisparity(*frame.dspImg, scene.xs[i], scene.ys[i]);
                benchmark::DoNotOptimize(d);
                sum += d;
            }
            benchmark::DoNotOptimize(sum);
        });
        comparison.Time(1, [&] {
            double sum = 0;
            for (size_t i = 0; i < kPositions; i++) {
                const double d = frame.GetDisparity(scene.xs[i], scene.ys[i]);
                benchmark::DoNotOptimize(d);
                sum += d;
            }
            benchmark::DoNotOptimize(sum);
        });
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kPositions));
    comparison.Report(state);
}

}  // namespace

BENCHMARK(BM_GetColor)->MinTime(1.0)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GetDisparity)->MinTime(1.0)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
