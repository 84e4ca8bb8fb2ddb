#include "stages/cost/combine.h"

#include <algorithm>
#include <cmath>

#include "stages/simd.h"

namespace zelstages {

std::vector<std::pair<int, int>> SortingNetwork(int count) {
    int size = 1;
    while (size < count) {
        size <<= 1;
    }
    std::vector<std::pair<int, int>> pairs;
    for (int p = 1; p < size; p <<= 1) {
        for (int k = p; k >= 1; k >>= 1) {
            for (int j = k % p; j + k < size; j += 2 * k) {
                for (int i = 0; i < std::min(k, size - j - k); i++) {
                    const int a = i + j;
                    const int b = i + j + k;
                    if (a / (2 * p) == b / (2 * p) && b < count) {
                        pairs.emplace_back(a, b);
                    }
                }
            }
        }
    }
    return pairs;
}

ZEL_SIMD_CLONES void CombineAll(ViewCosts& w, size_t K, float worst, float* out) {
    const size_t n = w.nbCost[0].size();
    if (w.networkViews != K) {
        w.network = SortingNetwork(static_cast<int>(K));
        w.networkViews = K;
    }
    const size_t kBlock = 64;
    w.sortBlock.resize(K * kBlock);
    float* v = w.sortBlock.data();
    for (size_t p0 = 0; p0 < n; p0 += kBlock) {
        const size_t B = std::min(kBlock, n - p0);
        for (size_t j = 0; j < K; j++) {
            std::copy(&w.nbCost[j][p0], &w.nbCost[j][p0] + B, v + j * kBlock);
        }
        for (const std::pair<int, int>& c : w.network) {
            float* a = v + static_cast<size_t>(c.first) * kBlock;
            float* b = v + static_cast<size_t>(c.second) * kBlock;
            for (size_t q = 0; q < B; q++) {
                const float lo = std::min(a[q], b[q]);
                const float hi = std::max(a[q], b[q]);
                a[q] = lo;
                b[q] = hi;
            }
        }
        for (size_t q = 0; q < B; q++) {
            int seen = 0;
            for (size_t j = 0; j < K; j++) {
                seen += v[j * kBlock + q] < kOutside ? 1 : 0;
            }
            const int keep = std::max(1, (3 * seen + 2) / 4);
            float s = 0.0f;
            for (int j = 0; j < keep; j++) {
                s += v[static_cast<size_t>(j) * kBlock + q];
            }
            out[p0 + q] = seen == 0 ? worst : s / static_cast<float>(keep);
        }
    }
}

ZEL_SIMD_CLONES void CombineLevel(Worker& w, size_t K, float worst, float scale, uint16_t* out) {
    const size_t n = w.valid.size();
    w.sum.resize(n);
    w.seen.resize(n);
    w.max1.resize(n);
    w.max2.resize(n);
    float* sum = w.sum.data();
    float* seen = w.seen.data();
    float* m1 = w.max1.data();
    float* m2 = w.max2.data();
    // Blocks of pixels, all views of a block at a time: the running values stay in the cache.
    const size_t kBlock = 1024;
    for (size_t p0 = 0; p0 < n; p0 += kBlock) {
        const size_t p1 = std::min(n, p0 + kBlock);
        std::fill(sum + p0, sum + p1, 0.0f);
        std::fill(seen + p0, seen + p1, 0.0f);
        std::fill(m1 + p0, m1 + p1, -1.0f);
        std::fill(m2 + p0, m2 + p1, -1.0f);
        for (size_t j = 0; j < K; j++) {
            const float* cost = w.nbCost[j].data();
            for (size_t p = p0; p < p1; p++) {
                const float c = cost[p];
                const bool in = c < kOutside;
                const float v = in ? c : -1.0f;
                sum[p] += in ? c : 0.0f;
                seen[p] += in ? 1.0f : 0.0f;
                m2[p] = std::max(m2[p], std::min(m1[p], v));
                m1[p] = std::max(m1[p], v);
            }
        }
    }
    for (size_t p = 0; p < n; p++) {
        const int views = static_cast<int>(seen[p]);
        const int keep = std::max(1, (3 * views + 2) / 4);
        const int drop = views - keep;
        float s = sum[p];
        s -= drop >= 1 ? m1[p] : 0.0f;
        s -= drop >= 2 ? m2[p] : 0.0f;
        const float c = views > 0 ? s / static_cast<float>(keep) : worst;
        out[p] = static_cast<uint16_t>(std::min(c * scale, float(kCostScale)) + 0.5f);
    }
}

}  // namespace zelstages
