#include "stages/cost/sampling.h"

#include <algorithm>
#include <cmath>

#include "stages/simd.h"

namespace zelstages {

namespace {

// Where SampleRow reads: the clamped positions' pixel, the steps to the right and down (0 at the
// picture's last column or row) and the weights. Restrict parameters, so that it vectorises.
ZEL_SIMD_CLONES void SamplePositions(size_t count, const float* U, const float* V, int32_t w,
                                     int32_t h, int32_t* __restrict at, int32_t* __restrict right,
                                     int32_t* __restrict down, float* __restrict fx,
                                     float* __restrict fy) {
    const float maxU = static_cast<float>(w - 1);
    const float maxV = static_cast<float>(h - 1);
    for (size_t x = 0; x < count; x++) {
        const float u = std::min(std::max(U[x], 0.0f), maxU);
        const float v = std::min(std::max(V[x], 0.0f), maxV);
        const int32_t x0 = static_cast<int32_t>(u);
        const int32_t y0 = static_cast<int32_t>(v);
        fx[x] = u - static_cast<float>(x0);
        fy[x] = v - static_cast<float>(y0);
        at[x] = y0 * w + x0;
        right[x] = x0 + 1 > w - 1 ? 0 : 1;
        down[x] = y0 + 1 > h - 1 ? 0 : w;
    }
}

}  // namespace

ZEL_SIMD_CLONES void SampleRow(const Grey& g, const float* U, const float* V, int count, float* out,
                               SampleScratch& w) {
    const size_t c = static_cast<size_t>(count);
    for (std::vector<int32_t>* v : {&w.at, &w.right, &w.down}) {
        v->resize(c);
    }
    for (std::vector<float>* v : {&w.fx, &w.fy}) {
        v->resize(c);
    }
    SamplePositions(c, U, V, g.w, g.h, w.at.data(), w.right.data(), w.down.data(), w.fx.data(),
                    w.fy.data());
    const int32_t* at = w.at.data();
    const int32_t* right = w.right.data();
    const int32_t* down = w.down.data();
    const float* fx = w.fx.data();
    const float* fy = w.fy.data();
    const float* pic = g.v.data();
    for (size_t x = 0; x < c; x++) {
        const float* p0 = pic + at[x];
        const float* p1 = p0 + down[x];
        const float a = p0[0];
        const float b = p0[right[x]];
        const float d = p1[0];
        const float e = p1[right[x]];
        const float top = a + fx[x] * (b - a);
        const float bottom = d + fx[x] * (e - d);
        out[x] = top + fy[x] * (bottom - top);
    }
}

}  // namespace zelstages
