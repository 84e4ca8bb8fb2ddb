#include "stages/cost/windowcosts.h"

#include <algorithm>
#include <cmath>

#include "stages/simd.h"

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
                  std::vector<float>& meanI, std::vector<float>& invSdI,
                  std::vector<float>& column) {
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
    BoxSum(ones.data(), count.data(), column, W, H, r);
    BoxSum(I.data(), sI.data(), column, W, H, r);
    BoxSum(sq.data(), sII.data(), column, W, H, r);
    for (size_t p = 0; p < n; p++) {
        invCount[p] = 1.0f / count[p];
        meanI[p] = sI[p] * invCount[p];
        const float var = std::max(sII[p] * invCount[p] - meanI[p] * meanI[p], 0.0f);
        invSdI[p] = 1.0f / std::sqrt(var + floor);
    }
}

void PrepareReference(const FrameSet& fs, int r, Worker& w) {
    w.statsVersion++;
    w.wideR = 0;
    w.I = fs.ref->v;
    const float noise = fs.ref->noise;
    w.floor = kVarianceFloor + kNoiseFloor * std::max(noise * noise - kQuantisation, 0.0f);
    PrepareStats(w.I, fs.ref->w, fs.ref->h, r, w.floor, w.count, w.invCount, w.meanI, w.invSdI,
                 w.column);
}

void PrepareWide(const FrameSet& fs, int wideR, Worker& w) {
    w.statsVersion++;
    w.wideR = wideR;
    if (wideR <= 0) {
        return;
    }
    PrepareStats(w.I, fs.ref->w, fs.ref->h, wideR, w.floor, w.count2, w.invCount2, w.meanI2,
                 w.invSdI2, w.column);
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

ZEL_SIMD_CLONES void WindowCosts(int W, int H, int r, bool geometric, Worker& w,
                                 std::vector<float>& cost, const uint8_t* rows) {
    const size_t Ws = static_cast<size_t>(W);
    w.rowJ.resize(Ws);
    w.rowJJ.resize(Ws);
    w.rowIJ.resize(Ws);
    w.colJ.assign(Ws, 0.0f);
    w.colJJ.assign(Ws, 0.0f);
    w.colIJ.assign(Ws, 0.0f);
    float* cJ = w.colJ.data();
    float* cJJ = w.colJJ.data();
    float* cIJ = w.colIJ.data();
    auto addRow = [&](int yy, float sign) {
        const float* J = &w.J[static_cast<size_t>(yy) * Ws];
        const float* I = &w.I[static_cast<size_t>(yy) * Ws];
        for (int x = 0; x < W; x++) {
            const float j = J[x];
            cJ[x] += sign * j;
            cJJ[x] += sign * j * j;
            cIJ[x] += sign * j * I[x];
        }
    };
    for (int y = 0; y <= std::min(r, H - 1); y++) {
        addRow(y, 1.0f);
    }
    for (int y = 0; y < H; y++) {
        if (y > 0) {
            if (y + r < H) {
                addRow(y + r, 1.0f);
            }
            if (y - r - 1 >= 0) {
                addRow(y - r - 1, -1.0f);
            }
        }
        if (rows != nullptr && !rows[y]) {
            continue;
        }
        // The window sums along the row: a running sum, kept per pixel so that the correlation
        // below runs without branches and vectorises.
        float hJ = 0.0f;
        float hJJ = 0.0f;
        float hIJ = 0.0f;
        for (int x = 0; x <= std::min(r, W - 1); x++) {
            hJ += cJ[x];
            hJJ += cJJ[x];
            hIJ += cIJ[x];
        }
        float* sJ = w.rowJ.data();
        float* sJJ = w.rowJJ.data();
        float* sIJ = w.rowIJ.data();
        sJ[0] = hJ;
        sJJ[0] = hJJ;
        sIJ[0] = hIJ;
        // Pixel x adds column x + r while it lies in the picture and drops column x - r - 1 once
        // it does: three stretches without branches (the window may span the whole row).
        const int addEnd = std::max(1, W - r);     // x < addEnd: x + r < W
        const int dropStart = std::min(W, r + 1);  // x >= dropStart: x - r - 1 >= 0
        const int both0 = std::max(1, dropStart);
        const int both1 = std::max(both0, addEnd);
        auto add = [&](int c) {
            hJ += cJ[c];
            hJJ += cJJ[c];
            hIJ += cIJ[c];
        };
        auto drop = [&](int c) {
            hJ -= cJ[c];
            hJJ -= cJJ[c];
            hIJ -= cIJ[c];
        };
        auto keep = [&](int x) {
            sJ[x] = hJ;
            sJJ[x] = hJJ;
            sIJ[x] = hIJ;
        };
        for (int x = 1; x < std::min(addEnd, both0); x++) {
            add(x + r);
            keep(x);
        }
        for (int x = both0; x < both1; x++) {
            add(x + r);
            drop(x - r - 1);
            keep(x);
        }
        // The rest (after the middle stretch, or where it is empty, after the first).
        for (int x = both1 > both0 ? both1 : std::min(addEnd, both0); x < W; x++) {
            if (x < addEnd) {
                add(x + r);
            }
            if (x >= dropStart) {
                drop(x - r - 1);
            }
            keep(x);
        }
        const size_t row = static_cast<size_t>(y) * Ws;
        const uint8_t* valid = &w.valid[row];
        const float* invCount = &w.invCount[row];
        const float* meanI = &w.meanI[row];
        const float* invSdI = &w.invSdI[row];
        const float* geo = geometric ? &w.geo[row] : nullptr;
        const float floor = w.floor;
        float* out = &cost[row];
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
}

}  // namespace zelstages
