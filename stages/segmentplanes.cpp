#include "stages/segmentplanes.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// Union-find over pixels with each root's size and merge threshold.
class Forest {
  public:
    Forest(size_t n, float scale) : parent(n), size(n, 1), threshold(n, scale) {
        for (size_t p = 0; p < n; p++) {
            parent[p] = static_cast<uint32_t>(p);
        }
    }
    uint32_t Find(uint32_t a) {
        while (parent[a] != a) {
            parent[a] = parent[parent[a]];
            a = parent[a];
        }
        return a;
    }
    uint32_t Unite(uint32_t a, uint32_t b) {
        if (size[a] < size[b]) {
            std::swap(a, b);
        }
        parent[b] = a;
        size[a] += size[b];
        return a;
    }
    std::vector<uint32_t> parent;
    std::vector<uint32_t> size;
    std::vector<float> threshold;
};

// Solves the symmetric 3 x 3 system m x = b by Cramer's rule; false when it is singular.
bool Solve3(const double m[9], const double b[3], double x[3]) {
    auto det3 = [](const double a[9]) {
        return a[0] * (a[4] * a[8] - a[5] * a[7]) - a[1] * (a[3] * a[8] - a[5] * a[6]) +
               a[2] * (a[3] * a[7] - a[4] * a[6]);
    };
    const double det = det3(m);
    const double norm = std::fabs(m[0]) + std::fabs(m[4]) + std::fabs(m[8]);
    if (!(std::fabs(det) > 1e-12 * norm * norm * norm)) {
        return false;
    }
    for (int c = 0; c < 3; c++) {
        double mc[9];
        std::copy(m, m + 9, mc);
        for (int r = 0; r < 3; r++) {
            mc[r * 3 + c] = b[r];
        }
        x[c] = det3(mc) / det;
    }
    return true;
}

}  // namespace

std::vector<int> SegmentColours(int W, int H, const std::vector<float>& rgb, float scale,
                                int minSize, int& count) {
    count = 0;
    const size_t n = W > 0 && H > 0 ? static_cast<size_t>(W) * static_cast<size_t>(H) : 0;
    if (n == 0 || n >= std::numeric_limits<uint32_t>::max() || rgb.size() != 3 * n) {
        return std::vector<int>(n, 0);
    }
    struct Edge {
        float w;
        uint32_t a;
        uint32_t b;
    };
    std::vector<Edge> edges;
    edges.reserve(4 * n);
    // Right, down, down-right and down-left: every 8-connected pair once.
    const int dxs[4] = {1, 0, 1, -1};
    const int dys[4] = {0, 1, 1, 1};
    for (int y = 0; y < H; y++) {
        for (int x = 0; x < W; x++) {
            const size_t p = static_cast<size_t>(y) * W + x;
            for (int e = 0; e < 4; e++) {
                const int u = x + dxs[e];
                const int v = y + dys[e];
                if (u < 0 || u >= W || v >= H) {
                    continue;
                }
                const size_t q = static_cast<size_t>(v) * W + u;
                float d2 = 0.0f;
                for (int c = 0; c < 3; c++) {
                    const float d = rgb[3 * p + c] - rgb[3 * q + c];
                    d2 += d * d;
                }
                edges.push_back(
                    {std::sqrt(d2), static_cast<uint32_t>(p), static_cast<uint32_t>(q)});
            }
        }
    }
    std::stable_sort(edges.begin(), edges.end(),
                     [](const Edge& a, const Edge& b) { return a.w < b.w; });
    Forest forest(n, scale);
    for (const Edge& e : edges) {
        const uint32_t a = forest.Find(e.a);
        const uint32_t b = forest.Find(e.b);
        if (a != b && e.w <= forest.threshold[a] && e.w <= forest.threshold[b]) {
            const uint32_t c = forest.Unite(a, b);
            forest.threshold[c] = e.w + scale / static_cast<float>(forest.size[c]);
        }
    }
    const uint32_t small = static_cast<uint32_t>(std::max(minSize, 1));
    for (const Edge& e : edges) {
        const uint32_t a = forest.Find(e.a);
        const uint32_t b = forest.Find(e.b);
        if (a != b && (forest.size[a] < small || forest.size[b] < small)) {
            forest.Unite(a, b);
        }
    }
    std::vector<int> segment(n);
    std::vector<int> number(n, -1);
    for (size_t p = 0; p < n; p++) {
        const uint32_t root = forest.Find(static_cast<uint32_t>(p));
        if (number[root] < 0) {
            number[root] = count++;
        }
        segment[p] = number[root];
    }
    return segment;
}

namespace {

// The plane fit's steps over one map: random samples of three pixels, the plane most pixels
// support, least squares over them, and the pixels that take the plane.
class PlaneFitter {
  public:
    PlaneFitter(int width, const ZelPlaneFit& settings, std::vector<float>& map)
        : W(width),
          fit(settings),
          disparity(map),
          state(settings.seed * 2654435761u + 0x9e3779b9u) {}

    // The plane of three random members that most members support (within fit.inlier); its
    // support, 0 when no sample gave a plane.
    size_t Sample(const std::vector<uint32_t>& seg, double best[3]) {
        size_t bestSupport = 0;
        for (int it = 0; it < fit.samples; it++) {
            double x[3];
            double y[3];
            double d[3];
            for (int k = 0; k < 3; k++) {
                const uint32_t p = seg[Random(seg.size())];
                Coords(p, x[k], y[k]);
                d[k] = disparity[p];
            }
            const double det = (x[1] - x[0]) * (y[2] - y[0]) - (x[2] - x[0]) * (y[1] - y[0]);
            // Nearly collinear samples give no plane.
            if (std::fabs(det) < 1.0) {
                continue;
            }
            double pl[3];
            pl[0] = ((d[1] - d[0]) * (y[2] - y[0]) - (d[2] - d[0]) * (y[1] - y[0])) / det;
            pl[1] = ((x[1] - x[0]) * (d[2] - d[0]) - (x[2] - x[0]) * (d[1] - d[0])) / det;
            pl[2] = d[0] - pl[0] * x[0] - pl[1] * y[0];
            size_t support = 0;
            for (uint32_t p : seg) {
                support += Residual(pl, p) <= fit.inlier ? 1 : 0;
            }
            if (support > bestSupport) {
                bestSupport = support;
                std::copy(pl, pl + 3, best);
            }
        }
        return bestSupport;
    }

    // Least squares over the supporting pixels, twice: the second time over those of the
    // refitted plane. Coordinates relative to a member keep the sums well conditioned.
    void Refit(const std::vector<uint32_t>& seg, double best[3]) const {
        double cx;
        double cy;
        Coords(seg[0], cx, cy);
        for (int refit = 0; refit < 2; refit++) {
            double m[9] = {0, 0, 0, 0, 0, 0, 0, 0, 0};
            double b[3] = {0, 0, 0};
            for (uint32_t p : seg) {
                if (Residual(best, p) > fit.inlier) {
                    continue;
                }
                double x;
                double y;
                Coords(p, x, y);
                const double v[3] = {x - cx, y - cy, 1.0};
                for (int r = 0; r < 3; r++) {
                    for (int c = 0; c < 3; c++) {
                        m[r * 3 + c] += v[r] * v[c];
                    }
                    b[r] += v[r] * disparity[p];
                }
            }
            double s[3];
            if (!Solve3(m, b, s)) {
                break;
            }
            best[0] = s[0];
            best[1] = s[1];
            best[2] = s[2] - s[0] * cx - s[1] * cy;
        }
    }

    // The pixels take the plane (with `guarded`, only those within fit.guard of it); returns
    // how many did.
    size_t Follow(const std::vector<uint32_t>& pixels, bool guarded, const double best[3]) {
        size_t moved = 0;
        for (uint32_t p : pixels) {
            if (!guarded || Residual(best, p) <= fit.guard) {
                double x;
                double y;
                Coords(p, x, y);
                const double value = best[0] * x + best[1] * y + best[2];
                if (value > 0.0) {
                    disparity[p] = static_cast<float>(value);
                    moved++;
                }
            }
        }
        return moved;
    }

  private:
    size_t Random(size_t m) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return static_cast<size_t>(state % m);
    }
    void Coords(uint32_t p, double& x, double& y) const {
        x = static_cast<double>(p % static_cast<uint32_t>(W));
        y = static_cast<double>(p / static_cast<uint32_t>(W));
    }
    double Residual(const double pl[3], uint32_t p) const {
        double x;
        double y;
        Coords(p, x, y);
        const double d = disparity[p];
        return std::fabs(pl[0] * x + pl[1] * y + pl[2] - d) / d;
    }

    int W;
    const ZelPlaneFit& fit;
    std::vector<float>& disparity;
    uint32_t state;
};

}  // namespace

size_t FitSegmentPlanes(int W, const std::vector<int>& segment, int count, const ZelPlaneFit& fit,
                        std::vector<float>& disparity, const std::vector<uint8_t>* checked) {
    if (W <= 0 || count <= 0 || segment.size() != disparity.size()) {
        return 0;
    }
    if (checked != nullptr && checked->size() != disparity.size()) {
        checked = nullptr;
    }
    // members: the pixels that choose the plane; unchecked: those that only follow it.
    std::vector<std::vector<uint32_t>> members(static_cast<size_t>(count));
    std::vector<std::vector<uint32_t>> unchecked(static_cast<size_t>(count));
    for (size_t p = 0; p < segment.size(); p++) {
        const int s = segment[p];
        if (s >= 0 && s < count && std::isfinite(disparity[p]) && disparity[p] > 0.0f) {
            const bool isChecked = checked == nullptr || (*checked)[p] != 0;
            (isChecked ? members : unchecked)[static_cast<size_t>(s)].push_back(
                static_cast<uint32_t>(p));
        }
    }
    PlaneFitter fitter(W, fit, disparity);
    size_t moved = 0;
    // Too few pixels to tell a plane from noise.
    const size_t kMinPixels = 30;
    for (size_t index = 0; index < members.size(); index++) {
        std::vector<uint32_t>& seg = members[index];
        std::vector<uint32_t>& rest = unchecked[index];
        // Where the checks reached too little of the segment, its plane is chosen by all of it.
        if (static_cast<double>(seg.size()) <
            fit.minChecked * static_cast<double>(seg.size() + rest.size())) {
            seg.insert(seg.end(), rest.begin(), rest.end());
            rest.clear();
        }
        if (seg.size() < kMinPixels) {
            continue;
        }
        double best[3] = {0.0, 0.0, 0.0};
        if (2 * fitter.Sample(seg, best) < seg.size()) {
            continue;
        }
        fitter.Refit(seg, best);
        // Checked pixels far from the plane belong to another surface and stay; unchecked ones
        // hold only what the aggregation or a fill carried in, and take the plane.
        moved += fitter.Follow(seg, true, best);
        moved += fitter.Follow(rest, false, best);
    }
    return moved;
}
