#include "stages/aggregate/sgm.h"

#include <algorithm>
#include <thread>

#include "stages/simd.h"
#include "stages/threads.h"

namespace zelstages {

ZEL_SIMD_CLONES int PathStep(const uint16_t* c, const uint16_t* prev, int minPrev, int p2, int L,
                             uint16_t* __restrict out, uint16_t* __restrict acc) {
    const int cap = minPrev + p2;
    auto put = [&](int l, int v) {
        const int o = c[l] + std::min(v, cap) - minPrev;
        out[l] = static_cast<uint16_t>(o);
        acc[l] = static_cast<uint16_t>(acc[l] + o);
    };
    put(0, std::min<int>(prev[0], prev[1] + kP1));
    put(L - 1, std::min<int>(prev[L - 1], prev[L - 2] + kP1));
    // The smallest out[l] is taken along the way rather than in a pass of its own.
    int best = std::min<int>(out[0], out[L - 1]);
    for (int l = 1; l + 1 < L; l++) {
        const int o =
            c[l] + std::min(std::min<int>(prev[l], std::min(prev[l - 1], prev[l + 1]) + kP1), cap) -
            minPrev;
        out[l] = static_cast<uint16_t>(o);
        acc[l] = static_cast<uint16_t>(acc[l] + o);
        best = std::min<int>(best, out[l]);
    }
    return best;
}

ZEL_SIMD_CLONES int PathStart(const uint16_t* c, int L, uint16_t* __restrict out,
                              uint16_t* __restrict acc) {
    int best = c[0];
    for (int l = 0; l < L; l++) {
        out[l] = c[l];
        acc[l] = static_cast<uint16_t>(acc[l] + c[l]);
        best = std::min<int>(best, c[l]);
    }
    return best;
}

void AggregatePass(const std::vector<uint16_t>& C, const Grey& grey, int L, int pass,
                   std::vector<uint16_t>& S) {
    const int W = grey.w;
    const int H = grey.h;
    // Path costs of the previous and current rows for the three row-to-row directions, and of
    // the previous pixel along the row.
    std::vector<uint16_t> prevRow[3], curRow[3];
    for (int k = 0; k < 3; k++) {
        prevRow[k].assign(static_cast<size_t>(W) * L, 0);
        curRow[k].assign(static_cast<size_t>(W) * L, 0);
    }
    std::vector<uint16_t> along(static_cast<size_t>(L));
    std::vector<uint16_t> alongPrev(static_cast<size_t>(L));
    std::vector<uint16_t> prevMin[3], curMin[3];
    for (int k = 0; k < 3; k++) {
        prevMin[k].assign(static_cast<size_t>(W), 0);
        curMin[k].assign(static_cast<size_t>(W), 0);
    }
    auto penalty = [&grey](int x0, int y0, int x1, int y1) {
        const float diff = std::fabs(grey.At(x0, y0) - grey.At(x1, y1));
        return diff > kEdgeGrey ? kP2 / 2 : kP2;
    };
    const int sy = pass == 0 ? 1 : -1;
    const int sx = sy;
    // Row-to-row directions, as offsets of the predecessor: (-sx, -sy), (0, -sy), (sx, -sy).
    const int dxs[3] = {-sx, 0, sx};
    for (int yi = 0; yi < H; yi++) {
        const int y = pass == 0 ? yi : H - 1 - yi;
        int alongMin = 0;
        for (int xi = 0; xi < W; xi++) {
            const int x = pass == 0 ? xi : W - 1 - xi;
            const size_t p = static_cast<size_t>(y) * W + x;
            const uint16_t* c = &C[p * L];
            uint16_t* acc = &S[p * L];
            // Along the row.
            if (xi == 0) {
                alongMin = PathStart(c, L, along.data(), acc);
            } else {
                std::swap(along, alongPrev);
                alongMin = PathStep(c, alongPrev.data(), alongMin, penalty(x, y, x - sx, y), L,
                                    along.data(), acc);
            }
            for (int k = 0; k < 3; k++) {
                const int px = x + dxs[k];
                uint16_t* out = &curRow[k][static_cast<size_t>(x) * L];
                if (yi == 0 || px < 0 || px >= W) {
                    curMin[k][static_cast<size_t>(x)] =
                        static_cast<uint16_t>(PathStart(c, L, out, acc));
                } else {
                    const int py = y - sy;
                    curMin[k][static_cast<size_t>(x)] = static_cast<uint16_t>(PathStep(
                        c, &prevRow[k][static_cast<size_t>(px) * L],
                        prevMin[k][static_cast<size_t>(px)], penalty(x, y, px, py), L, out, acc));
                }
            }
        }
        for (int k = 0; k < 3; k++) {
            std::swap(prevRow[k], curRow[k]);
            std::swap(prevMin[k], curMin[k]);
        }
    }
}

void Aggregate(const std::vector<uint16_t>& C, const Grey& grey, int L, int threads,
               std::vector<float>& level, std::vector<int>& label) {
    const int W = grey.w;
    const int H = grey.h;
    const size_t n = static_cast<size_t>(W) * H;
    std::vector<uint16_t> S(n * L, 0);
    if (threads >= 2) {
        std::vector<uint16_t> back(n * L, 0);
        std::thread helper([&] { AggregatePass(C, grey, L, 1, back); });
        AggregatePass(C, grey, L, 0, S);
        helper.join();
        RowBands(H, threads, [&](int y0, int y1) {
            for (size_t k = static_cast<size_t>(y0) * W * L; k < static_cast<size_t>(y1) * W * L;
                 k++) {
                S[k] = static_cast<uint16_t>(S[k] + back[k]);
            }
        });
    } else {
        AggregatePass(C, grey, L, 0, S);
        AggregatePass(C, grey, L, 1, S);
    }

    level.assign(n, 0.0f);
    label.assign(n, 0);
    // Each pixel's winner on its own: rows split among the threads.
    RowBands(H, threads, [&](int y0, int y1) {
        for (size_t p = static_cast<size_t>(y0) * W; p < static_cast<size_t>(y1) * W; p++) {
            const uint16_t* s = &S[p * L];
            int best = 0;
            for (int l = 1; l < L; l++) {
                if (s[l] < s[best]) {
                    best = l;
                }
            }
            float offset = 0.0f;
            if (best > 0 && best + 1 < L) {
                const float a = s[best - 1];
                const float b = s[best];
                const float c = s[best + 1];
                const float denom = a - 2.0f * b + c;
                if (denom > 0.0f) {
                    offset = std::min(std::max(0.5f * (a - c) / denom, -0.5f), 0.5f);
                }
            }
            level[p] = static_cast<float>(best) + offset;
            label[p] = best;
        }
    });
}

}  // namespace zelstages
