#include "stages/refine/median.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "stages/threads.h"

namespace zelstages {

namespace {

// The buckets the median filter counts values in.
// (Fine buckets: on a smooth surface a window's values lie close together, and the fewer of
// them share the median's bucket, the less the exact pick has to sort.)
const int kBuckets = 4096;

// Each pixel's bucket among kBuckets even steps from the smallest to the largest finite value,
// -1 for a value that is not finite.
std::vector<int16_t> ValueBuckets(const std::vector<float>& in) {
    float lo = std::numeric_limits<float>::max();
    float hi = std::numeric_limits<float>::lowest();
    for (const float d : in) {
        if (std::isfinite(d)) {
            lo = std::min(lo, d);
            hi = std::max(hi, d);
        }
    }
    // (A spread too small or too large for a finite scale puts every value in one bucket.)
    const float perValue = hi > lo ? static_cast<float>(kBuckets) / (hi - lo) : 0.0f;
    const float scale = std::isfinite(perValue) ? perValue : 0.0f;
    std::vector<int16_t> buckets(in.size());
    for (size_t p = 0; p < in.size(); p++) {
        buckets[p] = static_cast<int16_t>(
            std::isfinite(in[p]) ? std::min(kBuckets - 1, static_cast<int>((in[p] - lo) * scale))
                                 : -1);
    }
    return buckets;
}

// The median of the finite values of each (2 r + 1)^2 window (the value itself when none), rows
// y0 .. y1 - 1.
// `buckets` holds each pixel's bucket (ValueBuckets).
void MedianRows(int W, int H, int r, const std::vector<float>& in,
                const std::vector<int16_t>& buckets, std::vector<float>& out, int y0, int y1) {
    // The window's finite values counted in buckets of their value as it slides along the row
    // (each step takes out the column it leaves and puts in the one it enters); the median lies
    // in the bucket where the counts pass half the window, and is picked exactly from the
    // window's values in that bucket.
    std::vector<int> counts(static_cast<size_t>(kBuckets));
    std::vector<float> picked(static_cast<size_t>((2 * r + 1) * (2 * r + 1)));
    for (int y = y0; y < y1; y++) {
        const int v0 = std::max(0, y - r);
        const int v1 = std::min(H - 1, y + r);
        std::fill(counts.begin(), counts.end(), 0);
        int count = 0;
        int at = 0;     // the bucket the median was last found in ...
        int below = 0;  // ... and how many of the window's values lie in the buckets below it
        auto column = [&](int u, int step) {
            for (int v = v0; v <= v1; v++) {
                const int b = buckets[static_cast<size_t>(v) * W + u];
                if (b >= 0) {
                    counts[static_cast<size_t>(b)] += step;
                    count += step;
                    below += b < at ? step : 0;
                }
            }
        };
        for (int u = 0; u <= std::min(r, W - 1); u++) {
            column(u, 1);
        }
        for (int x = 0; x < W; x++) {
            if (x > 0) {
                if (x - r - 1 >= 0) {
                    column(x - r - 1, -1);
                }
                if (x + r < W) {
                    column(x + r, 1);
                }
            }
            const size_t p = static_cast<size_t>(y) * W + x;
            if (count == 0) {
                out[p] = in[p];
                continue;
            }
            const int k = count / 2;  // the median is the k-th smallest value (from 0)
            while (below > k) {
                at--;
                below -= counts[static_cast<size_t>(at)];
            }
            while (below + counts[static_cast<size_t>(at)] <= k) {
                below += counts[static_cast<size_t>(at)];
                at++;
            }
            float* end = picked.data();
            for (int v = v0; v <= v1; v++) {
                const float* row = &in[static_cast<size_t>(v) * W];
                const int16_t* rowBuckets = &buckets[static_cast<size_t>(v) * W];
                for (int u = std::max(0, x - r); u <= std::min(W - 1, x + r); u++) {
                    *end = row[u];
                    end += rowBuckets[u] == at ? 1 : 0;
                }
            }
            float* median = picked.data() + (k - below);
            std::nth_element(picked.data(), median, end);
            out[p] = *median;
        }
    }
}

}  // namespace

void MedianFilter(int W, int H, int r, const std::vector<float>& in, std::vector<float>& out,
                  int threads) {
    out.resize(in.size());
    const std::vector<int16_t> buckets = ValueBuckets(in);
    RowBands(H, threads, [&](int y0, int y1) { MedianRows(W, H, r, in, buckets, out, y0, y1); });
}

}  // namespace zelstages
