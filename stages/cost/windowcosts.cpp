#include "stages/cost/windowcosts.h"

#include <algorithm>
#include <cmath>

#include "stages/simd.h"
#include "stages/threads.h"

namespace zelstages {

void BoxSum(const float* src, float* dst, std::vector<float>& column, int W, int H, int r) {
    column.resize(static_cast<size_t>(W) * H);
    float* col = column.data();
    std::fill(col, col + W, 0.0f);
    // Vertical: row y holds the sum of rows y - r .. y + r.
    for (int y = 0; y <= std::min(r, H - 1); y++) {
        const float* s = src + static_cast<size_t>(y) * W;
        for (int x = 0; x < W; x++) {
            col[x] += s[x];
        }
    }
    for (int y = 1; y < H; y++) {
        float* c = col + static_cast<size_t>(y) * W;
        const float* prev = c - W;
        const bool adds = y + r < H;
        const bool subtracts = y - r - 1 >= 0;
        const float* add = src + static_cast<size_t>(adds ? y + r : 0) * W;
        const float* sub = src + static_cast<size_t>(subtracts ? y - r - 1 : 0) * W;
        if (adds && subtracts) {
            for (int x = 0; x < W; x++) {
                c[x] = prev[x] + add[x] - sub[x];
            }
        } else if (adds) {
            for (int x = 0; x < W; x++) {
                c[x] = prev[x] + add[x];
            }
        } else if (subtracts) {
            for (int x = 0; x < W; x++) {
                c[x] = prev[x] - sub[x];
            }
        } else {
            std::copy(prev, prev + W, c);
        }
    }
    // Horizontal.
    for (int y = 0; y < H; y++) {
        const float* c = col + static_cast<size_t>(y) * W;
        float* d = dst + static_cast<size_t>(y) * W;
        float s = 0.0f;
        for (int x = 0; x <= std::min(r, W - 1); x++) {
            s += c[x];
        }
        d[0] = s;
        for (int x = 1; x < W; x++) {
            if (x + r < W) {
                s += c[x + r];
            }
            if (x - r - 1 >= 0) {
                s -= c[x - r - 1];
            }
            d[x] = s;
        }
    }
}

void PrepareStats(const std::vector<float>& I, int W, int H, int r, float floor,
                  std::vector<float>& count, std::vector<float>& invCount,
                  std::vector<float>& meanI, std::vector<float>& invSdI, std::vector<float>& column,
                  int threads) {
    const size_t n = I.size();
    meanI.resize(n);
    invSdI.resize(n);
    count.resize(n);
    invCount.resize(n);
    std::vector<float> ones(n, 1.0f);
    std::vector<float> sq(n);
    for (size_t p = 0; p < n; p++) {
        sq[p] = I[p] * I[p];
    }
    std::vector<float> sI(n);
    std::vector<float> sII(n);
    // The three sums on up to three threads (each with a column buffer of its own), then the
    // statistics of each pixel over bands of rows.
    const float* from[3] = {ones.data(), I.data(), sq.data()};
    float* to[3] = {count.data(), sI.data(), sII.data()};
    const int T = std::max(1, std::min(threads, 3));
    OnThreads(T, [&](int t) {
        std::vector<float> own;
        for (int k = t; k < 3; k += T) {
            BoxSum(from[k], to[k], t == 0 ? column : own, W, H, r);
        }
    });
    RowBands(H, threads, [&](int y0, int y1) {
        for (size_t p = static_cast<size_t>(y0) * W; p < static_cast<size_t>(y1) * W; p++) {
            invCount[p] = 1.0f / count[p];
            meanI[p] = sI[p] * invCount[p];
            const float var = std::max(sII[p] * invCount[p] - meanI[p] * meanI[p], 0.0f);
            invSdI[p] = 1.0f / std::sqrt(var + floor);
        }
    });
}

void PrepareReference(const FrameSet& fs, int r, Worker& w) {
    w.statsVersion++;
    w.wideR = 0;
    w.I = fs.ref->v;
    const float noise = fs.ref->noise;
    w.floor = kVarianceFloor + kNoiseFloor * std::max(noise * noise - kQuantisation, 0.0f);
    PrepareStats(w.I, fs.ref->w, fs.ref->h, r, w.floor, w.count, w.invCount, w.meanI, w.invSdI,
                 w.column, w.inner);
}

void PrepareWide(const FrameSet& fs, int wideR, Worker& w) {
    w.statsVersion++;
    w.wideR = wideR;
    if (wideR <= 0) {
        return;
    }
    PrepareStats(w.I, fs.ref->w, fs.ref->h, wideR, w.floor, w.count2, w.invCount2, w.meanI2,
                 w.invSdI2, w.column, w.inner);
    w.weak.resize(w.I.size());
    const float limit = 1.0f / std::sqrt(kWeakTexture * kWeakTexture + w.floor);
    for (size_t p = 0; p < w.I.size(); p++) {
        w.weak[p] = w.invSdI[p] > limit ? 1 : 0;
    }
    // Only rows with weakly textured pixels need the wide window's costs.
    const size_t W = static_cast<size_t>(fs.ref->w);
    w.weakRows.assign(static_cast<size_t>(fs.ref->h), 0);
    for (size_t p = 0; p < w.I.size(); p++) {
        w.weakRows[p / W] |= w.weak[p];
    }
}

namespace {

// WindowCosts' column sums of a row from those of the row above (prev; J, JJ, IJ, each
// `count` long): adds the sums of the row entering the window (Ja, Ia) where `add` is 1 and takes
// away those of the row leaving it (Jd, Id) where `drop` is 1. A row's terms times 0 or 1 are
// exact, so the sums are those of adding and dropping the rows one at a time.
ZEL_SIMD_CLONES void ColumnStep(size_t count, const float* __restrict prev,
                                const float* __restrict Ja, const float* __restrict Ia, float add,
                                const float* __restrict Jd, const float* __restrict Id, float drop,
                                float* __restrict out) {
    for (size_t x = 0; x < count; x++) {
        const float a = Ja[x] * add;
        const float d = Jd[x] * drop;
        out[x] = prev[x] + a - d;
        out[count + x] = prev[count + x] + a * Ja[x] - d * Jd[x];
        out[2 * count + x] = prev[2 * count + x] + a * Ia[x] - d * Id[x];
    }
}

// The window sums along rows of column sums: R rows (slots) at once, slot k's column sums of J,
// JJ and IJ at c + 3 k W, its window sums written at s + 3 k W. A running sum per row, kept per
// pixel so that the correlation runs without branches and vectorises; the R rows' chains of
// additions interleave, each in the order it has alone. Pixel x adds column x + r while it lies
// in the picture and drops column x - r - 1 once it does: three stretches without branches (the
// window may span the row).
template <int R>
ZEL_INLINE void RowWindowSums(const float* c, float* s, int W, int r) {
    const size_t Ws = static_cast<size_t>(W);
    const int addEnd = std::max(1, W - r);     // x < addEnd: x + r < W
    const int dropStart = std::min(W, r + 1);  // x >= dropStart: x - r - 1 >= 0
    const int both0 = std::max(1, dropStart);
    const int both1 = std::max(both0, addEnd);
    const size_t step = 3 * Ws;  // from one slot to the next
    float h[3 * R];
    for (int k = 0; k < 3 * R; k++) {
        h[k] = 0.0f;
    }
    // Slot k's sum of array a (J, JJ, IJ) at h[3 k + a], its columns at c + k step + a Ws.
    auto at = [&](int k) { return static_cast<size_t>(k / 3) * step + (k % 3) * Ws; };
    for (int x = 0; x <= std::min(r, W - 1); x++) {
        for (int k = 0; k < 3 * R; k++) {
            h[k] += c[at(k) + x];
        }
    }
    for (int k = 0; k < 3 * R; k++) {
        s[at(k)] = h[k];
    }
    for (int x = 1; x < std::min(addEnd, both0); x++) {
        for (int k = 0; k < 3 * R; k++) {
            h[k] += c[at(k) + x + r];
            s[at(k) + x] = h[k];
        }
    }
    for (int x = both0; x < both1; x++) {
        for (int k = 0; k < 3 * R; k++) {
            h[k] += c[at(k) + x + r];
            h[k] -= c[at(k) + x - r - 1];
            s[at(k) + x] = h[k];
        }
    }
    // The rest (after the middle stretch, or where it is empty, after the first).
    for (int x = both1 > both0 ? both1 : std::min(addEnd, both0); x < W; x++) {
        for (int k = 0; k < 3 * R; k++) {
            if (x < addEnd) {
                h[k] += c[at(k) + x + r];
            }
            if (x >= dropStart) {
                h[k] -= c[at(k) + x - r - 1];
            }
            s[at(k) + x] = h[k];
        }
    }
}

// The costs of row y from its window sums (J, JJ, IJ at sJ, sJ + W, sJ + 2 W) into out.
ZEL_INLINE void CorrelateRow(const Worker& w, const float* sJ, int W, int y, bool geometric,
                             float* out) {
    const size_t Ws = static_cast<size_t>(W);
    const float* sJJ = sJ + Ws;
    const float* sIJ = sJ + 2 * Ws;
    const size_t row = static_cast<size_t>(y) * Ws;
    const uint8_t* valid = &w.valid[row];
    const float* invCount = &w.invCount[row];
    const float* meanI = &w.meanI[row];
    const float* invSdI = &w.invSdI[row];
    const float* geo = geometric ? &w.geo[row] : nullptr;
    const float floor = w.floor;
    for (int x = 0; x < W; x++) {
        const float inv = invCount[x];
        const float mJ = sJ[x] * inv;
        const float vJ = std::max(sJJ[x] * inv - mJ * mJ, 0.0f);
        const float cov = sIJ[x] * inv - meanI[x] * mJ;
        const float ncc = cov * invSdI[x] / std::sqrt(vJ + floor);
        const float c = std::min(std::max(1.0f - ncc, 0.0f), 1.0f);
        out[x] = valid[x] ? c : kOutside;
    }
    if (geo != nullptr) {
        for (int x = 0; x < W; x++) {
            out[x] = valid[x] ? out[x] + kGeoWeight * geo[x] : out[x];
        }
    }
}

// The column sums above the first row's window centre: rows 0 .. r added to zero, one after
// the other (J, JJ, IJ at first, first + W, first + 2 W).
ZEL_INLINE void FirstColumnSums(const Worker& w, int W, int H, int r, float* first) {
    const size_t Ws = static_cast<size_t>(W);
    for (int y = 0; y <= std::min(r, H - 1); y++) {
        const float* J = &w.J[static_cast<size_t>(y) * Ws];
        const float* I = &w.I[static_cast<size_t>(y) * Ws];
        for (int x = 0; x < W; x++) {
            const float j = J[x];
            first[x] += j;
            first[Ws + x] += j * j;
            first[2 * Ws + x] += j * I[x];
        }
    }
}

}  // namespace

ZEL_SIMD_CLONES void WindowCosts(int W, int H, int r, bool geometric, Worker& w,
                                 std::vector<float>& cost, const uint8_t* rows) {
    const size_t Ws = static_cast<size_t>(W);
    const size_t B = static_cast<size_t>(kSumRows);
    // Per row of the block, at slot k: the column sums and the window sums, J then JJ then IJ.
    w.colJ.resize(3 * B * Ws);
    w.rowJ.resize(3 * B * Ws);
    w.colJJ.assign(3 * Ws, 0.0f);  // the column sums before the first row
    auto column = [&](size_t k) { return &w.colJ[3 * k * Ws]; };
    auto sums = [&](size_t k) { return &w.rowJ[3 * k * Ws]; };
    // The column sums of row y from those of the row above (prev): add row y + r while it lies
    // in the picture and drop row y - r - 1 once it does.
    auto update = [&](const float* prev, float* out, int y) {
        const bool add = y + r < H;
        const bool drop = y - r - 1 >= 0;
        if (!add && !drop) {
            std::copy(prev, prev + 3 * Ws, out);
            return;
        }
        const size_t ya = static_cast<size_t>(add ? y + r : 0) * Ws;
        const size_t yd = static_cast<size_t>(drop ? y - r - 1 : 0) * Ws;
        ColumnStep(Ws, prev, &w.J[ya], &w.I[ya], add ? 1.0f : 0.0f, &w.J[yd], &w.I[yd],
                   drop ? 1.0f : 0.0f, out);
    };
    float* first = w.colJJ.data();
    FirstColumnSums(w, W, H, r, first);
    for (int y0 = 0; y0 < H; y0 += kSumRows) {
        const int count = std::min(kSumRows, H - y0);
        for (int k = 0; k < count; k++) {
            const int y = y0 + k;
            // (the first row of a block continues from the last slot, the previous block's last
            // row: every block but the picture's last fills all slots)
            const float* prev = column(static_cast<size_t>(k > 0 ? k : kSumRows) - 1);
            float* out = column(static_cast<size_t>(k));
            if (y == 0) {
                std::copy(first, first + 3 * Ws, out);
            } else {
                update(prev, out, y);
            }
        }
        bool all = count == kSumRows;
        for (int k = 0; k < count && rows != nullptr; k++) {
            all = all && rows[y0 + k];
        }
        if (all) {
            RowWindowSums<kSumRows>(column(0), sums(0), W, r);
        } else {
            for (int k = 0; k < count; k++) {
                if (rows == nullptr || rows[y0 + k]) {
                    RowWindowSums<1>(column(static_cast<size_t>(k)), sums(static_cast<size_t>(k)),
                                     W, r);
                }
            }
        }
        for (int k = 0; k < count; k++) {
            if (rows == nullptr || rows[y0 + k]) {
                CorrelateRow(w, sums(static_cast<size_t>(k)), W, y0 + k, geometric,
                             &cost[static_cast<size_t>(y0 + k) * Ws]);
            }
        }
    }
}

}  // namespace zelstages
