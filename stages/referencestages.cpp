#include "stages/referencestages.h"

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "sequence/videoframe.h"
#include "stages/evidence.h"
#include "stages/journal.h"
#include "stages/options.h"
#include "stages/segmentplanes.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

// Processor time of the calling thread, in seconds: the step times the stages add up count the
// work itself, not the waits of a machine shared with other work (wall time where the platform
// has no thread clock).
double ThreadSeconds() {
#if defined(CLOCK_THREAD_CPUTIME_ID)
    timespec now{};
    if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now) == 0) {
        return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
    }
#endif
    return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

const float kNaN = std::numeric_limits<float>::quiet_NaN();

// Matching costs are quantised onto 0 .. kCostScale for the aggregation (1 - normalised cross-
// correlation, truncated at 1); eight paths of cost plus jump penalty fit 16 bits.
const int kCostScale = 1000;
const int kP1 = 12;
const int kP2 = 160;
// Grey difference at which the jump penalty halves: depth edges mostly follow image edges.
const float kEdgeGrey = 10.0f;
// Variance floor of the window correlation (grey units squared), so flat windows stay calm; on
// noisy pictures it grows by kNoiseFloor times the picture's noise variance, so that windows
// whose variation is mostly noise correlate weakly instead of at random and the aggregation
// carries the surface in from where the texture stands out (the plain room with noise 4: 86.0 ->
// 91.0 % within 2 %, 53.0 -> 87.2 % within 1 %; 1 or 4 instead of 2: 90.6 %).
const float kVarianceFloor = 2.0f;
const float kNoiseFloor = 2.0f;
// The noise variance that 8-bit pictures carry from rounding alone (the sample measures 0.16
// grey levels, a plain room 0.33): below it the floor stays as it is, so clean pictures match
// exactly as they always did.
const float kQuantisation = 0.25f;
// The refinement matches over the wide window where the reference's small window varies by less
// than this (grey standard deviation): there the small window holds too little texture to place
// the disparity within a percent.
const float kWeakTexture = 4.0f;
// Geometric coherence: weight against the photometric cost and the relative disagreement at
// which the truncated penalty saturates.
const float kGeoWeight = 0.5f;
const float kGeoTolerance = 0.01f;
// Compressed pictures: steps across the 8 x 8 block grid up to this size (grey levels), with flat
// sides, are smoothed before matching and segmenting (Deblock; pictures without a block grid are
// left alone). Fixed in the picture, the steps would otherwise match at no motion.
const float kDeblockStep = 8.0f;
// Consistency: a neighbour confirms a disparity within this relative distance (or within one
// level, whichever is larger).
const float kConsistency = 0.02f;
// A neighbour contradicts a disparity only when it sees farther than the change of disparity
// that moves the pixel's projection by this many times the track residual: cameras that miss
// their tracks by a pixel make two views' maps disagree by that much on a true surface.
const double kPoseTolerance = 2.0;
// Neighbours that must contradict an unconfirmed pixel before it is marked missing.
const int kContradictions = 2;
// Neighbours that must confirm a pixel for it to choose its segment's plane; the others take it.
// One neighbour alone also confirms the halo beside a near edge (it sees the edge there too).
const int kPlaneConfirmations = 3;

// The refinement warps each window with the map median-filtered over (2 r + 1)^2: the median's
// surface is smooth enough to follow slanted ground while single wrong pixels do not bend it.
const int kWarpMedianRadius = 4;

// Rounds of the initialisation's refinement (a quarter, then a sixteenth of a level): the bundle
// optimisation refines every map again, so a third round here changes the final maps by little and
// costs a third of the initialisation's refinement (frames 10 to 19 within 2 %, three rounds
// against two: sample 97.45 / 97.38, noise 4 96.99 / 96.95, plain room with noise 4 93.20 / 93.30,
// pose noise 0.1 with noise 4 96.61 / 96.63, JPEG 85 95.57 / 95.49).
const int kInitRefineRounds = 2;
// Rounds of the bundle optimisation's refinement: the third round (a thirty-second of a level)
// moved the maps by less than the thresholds measure and cost a third of the pass (frames 10 to
// 19, within 1 / 2 %, three rounds against two: sample 96.65 / 97.40 against 96.65 / 97.44,
// noise 4 96.48 / 97.10 against 96.45 / 97.11, JPEG 85 94.21 / 95.50 against 94.26 / 95.56,
// plain room with noise 4 91.08 / 93.02 against 91.32 / 93.09).
const int kOptimiseRefineRounds = 2;

// Rows whose window sums WindowCosts forms together along the row.
const int kSumRows = 2;

// Marks a neighbour cost where the pixel projects outside that neighbour's picture.
const float kOutside = 1e3f;

// A grey picture of the working size: (R + G + B) / 3 from the frame's colour image.
struct Grey {
    int w = 0;
    int h = 0;
    float noise = 0.0f;  // the picture's own noise, grey levels (EstimateImageNoise)
    std::vector<float> v;

    float At(int x, int y) const { return v[static_cast<size_t>(y) * w + x]; }
};

// The projective map from frame i's pixels at disparity d into frame j:
// q = M (x, y, 1) + d e, pixel (q0 / q2, q1 / q2), disparity in j = d / q2.
struct Relative {
    double M[9];
    double e[3];
};

void Intrinsics(const CCamera& camera, bool scaled, double k[4]) {
    const Matrix3d& K = scaled ? camera.ScaledK : camera.K;
    k[0] = K(0, 0);
    k[1] = K(1, 1);
    k[2] = K(0, 2);
    k[3] = K(1, 2);
}

// Built from the same matrices that PixelToWorld and WorldToPixel use (pose camera-to-world).
Relative MakeRelative(const CCamera& ref, const CCamera& nb, bool scaled) {
    double ki[4];
    double kj[4];
    Intrinsics(ref, scaled, ki);
    Intrinsics(nb, scaled, kj);
    // A = Rj^T Ri, b = Rj^T (Ti - Tj).
    double A[9];
    double b[3];
    for (int r = 0; r < 3; r++) {
        for (int c = 0; c < 3; c++) {
            double s = 0.0;
            for (int k = 0; k < 3; k++) {
                s += nb.R(k, r) * ref.R(k, c);
            }
            A[r * 3 + c] = s;
        }
        double s = 0.0;
        for (int k = 0; k < 3; k++) {
            s += nb.R(k, r) * (ref.T[k] - nb.T[k]);
        }
        b[r] = s;
    }
    // Ki^-1 (x, y, 1) = ((x - cx) / fx, (y - cy) / fy, 1): fold it into the columns of A.
    double B[9];
    for (int r = 0; r < 3; r++) {
        B[r * 3 + 0] = A[r * 3 + 0] / ki[0];
        B[r * 3 + 1] = A[r * 3 + 1] / ki[1];
        B[r * 3 + 2] = A[r * 3 + 2] - A[r * 3 + 0] * ki[2] / ki[0] - A[r * 3 + 1] * ki[3] / ki[1];
    }
    // Then Kj on the left.
    Relative rel;
    for (int c = 0; c < 3; c++) {
        rel.M[0 * 3 + c] = kj[0] * B[0 * 3 + c] + kj[2] * B[2 * 3 + c];
        rel.M[1 * 3 + c] = kj[1] * B[1 * 3 + c] + kj[3] * B[2 * 3 + c];
        rel.M[2 * 3 + c] = B[2 * 3 + c];
    }
    rel.e[0] = kj[0] * b[0] + kj[2] * b[2];
    rel.e[1] = kj[1] * b[1] + kj[3] * b[2];
    rel.e[2] = b[2];
    return rel;
}

// The change of the neighbour's disparity (q from Relative at disparity d, q2 > 0) that moves the
// projection by `pixels`: where the cameras carry errors of that size, two views' disparities
// cannot agree more closely. Near the epipole a pixel barely moves with its disparity, so the
// tolerance is capped at a quarter of the disparity there.
double PoseTolerance(const Relative& rel, double q0, double q1, double q2, double pixels) {
    if (!(pixels > 0.0)) {
        return 0.0;
    }
    const double inv2 = 1.0 / (q2 * q2);
    const double du = (rel.e[0] * q2 - q0 * rel.e[2]) * inv2;
    const double dv = (rel.e[1] * q2 - q1 * rel.e[2]) * inv2;
    const double motion = std::sqrt(du * du + dv * dv);  // pixels per unit of disparity in i
    return pixels / std::max(motion, 1e-12) / q2;
}

// Window sums over (2 r + 1)^2, truncated at the borders: separable running sums.
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

// Adds a problem of frame `frame` to list unless the same line is there already, keeping the
// list in frame order; true when it is new.
bool AddOnce(std::vector<ZelStageFailure>& list, int frame, const std::string& line) {
    for (const ZelStageFailure& f : list) {
        if (f.line == line) {
            return false;
        }
    }
    auto at = std::upper_bound(list.begin(), list.end(), frame,
                               [](int value, const ZelStageFailure& f) { return value < f.frame; });
    list.insert(at, ZelStageFailure{frame, line});
    return true;
}

// Colour images shared by the frames in flight: loaded once, turned into grey, and released
// when no frame in flight and no frame still to come needs them. A picture that cannot be read
// is handed to `unreadable` with its warning line at every load (several per run).
class ImageCache {
  public:
    ImageCache(CZelVideoSequence& seq, std::vector<int> lastUser, std::atomic<int>& dispatched)
        : sequence(seq), lastUserRank(std::move(lastUser)), next(dispatched) {}

    // Loads the picture the first time it is asked for; other frames' pictures load meanwhile
    // (each entry loads once, outside the cache's lock), and a second caller of the same picture
    // waits for the first.
    std::shared_ptr<const Grey> Acquire(int i) {
        std::shared_ptr<Entry> entry;
        {
            std::lock_guard<std::mutex> lock(mutex);
            std::shared_ptr<Entry>& slot = entries[i];
            if (!slot) {
                slot = std::make_shared<Entry>();
            }
            slot->refs++;
            entry = slot;
        }
        std::call_once(entry->once, [&] { entry->grey = Load(i); });
        return entry->grey;
    }

    void Release(int i) {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = entries.find(i);
        if (it == entries.end()) {
            return;
        }
        it->second->refs--;
        if (it->second->refs <= 0 && next.load() > lastUserRank[static_cast<size_t>(i)]) {
            sequence.GetFrame(i)->ReleaseColorImage();
            entries.erase(it);
        }
    }

    // Releases whatever is left (frames whose last user failed early).
    void Clear() {
        std::lock_guard<std::mutex> lock(mutex);
        for (auto& e : entries) {
            sequence.GetFrame(e.first)->ReleaseColorImage();
        }
        entries.clear();
    }

    int Loads() const { return loads.load(); }

    std::function<void(int frame, const std::string& line)> unreadable;

  private:
    // Frame i's colour image as the working grey picture (empty when it cannot be read).
    std::shared_ptr<const Grey> Load(int i) {
        CZelVideoFrame* frame = sequence.GetFrame(i);
        frame->LoadColorImage();
        loads++;
        auto grey = std::make_shared<Grey>();
        const int W = CZelVideoFrame::GetWorkingWidth();
        const int H = CZelVideoFrame::GetWorkingHeight();
        if (frame->colorImg != nullptr && frame->colorImg->GetWidth() == W &&
            frame->colorImg->GetHeight() == H && W > 0 && H > 0) {
            grey->w = W;
            grey->h = H;
            grey->v.resize(static_cast<size_t>(W) * H);
            Vector3d rgb;
            for (int y = 0; y < H; y++) {
                for (int x = 0; x < W; x++) {
                    frame->GetColor(x, y, rgb);
                    // Centred on 0, so that the window sums of squares keep their precision in
                    // single precision.
                    grey->v[static_cast<size_t>(y) * W + x] =
                        static_cast<float>((rgb[0] + rgb[1] + rgb[2]) / 3.0 - 128.0);
                }
            }
            grey->noise = static_cast<float>(EstimateImageNoise(grey->v.data(), W, H));
            Deblock(grey->v, W, H, 1, kDeblockStep);
        } else if (unreadable) {
            unreadable(i, "Warning: cannot read the image of frame " + std::to_string(i) + ": " +
                              frame->imageFile);
        }
        return grey;
    }

    struct Entry {
        int refs = 0;
        std::once_flag once;
        std::shared_ptr<const Grey> grey;
    };
    CZelVideoSequence& sequence;
    std::vector<int> lastUserRank;  // per frame: the last position in the order that needs it
    std::atomic<int>& next;         // positions below this have been dispatched
    std::mutex mutex;
    std::map<int, std::shared_ptr<Entry>> entries;
    std::atomic<int> loads{0};
};

// One frame's working set: its grey picture and its neighbours with their projective maps.
struct FrameSet {
    int index = 0;
    std::shared_ptr<const Grey> ref;
    std::vector<int> nb;
    std::vector<std::shared_ptr<const Grey>> nbGrey;
    std::vector<Relative> rel;
    std::vector<const CZelVideoFrame*> nbMap;  // neighbour frames whose maps may be read
};

struct Sweep {
    int L;
    double dmin;
    double step;
    // How far, in pixels, the cameras' own errors may move a projection: checks between views
    // allow the disparity change that moves a pixel this far in the neighbour.
    double pixelTolerance = 0.0;
    double Level(double l) const { return dmin + l * step; }
};

struct Worker {
    float floor = kVarianceFloor;  // variance floor of the window correlation, grey levels squared
    std::vector<float> I, meanI, invSdI, count, invCount, J, column, geo;
    std::vector<float> colJ, colJJ, colIJ;
    std::vector<float> rowU, rowV, rowJ, rowJJ, rowIJ;  // one row's projections and window sums
    std::vector<int32_t> at, right, down;               // SampleRow's reads: where, and steps
    std::vector<float> fx, fy;                          // ... and its weights
    std::vector<uint8_t> valid;
    std::vector<std::vector<float>> nbCost;
    std::vector<float> sum, seen, max1, max2;  // CombineLevel's per-pixel running values
    // CombineAll's sorting network for the current view count, and its block of costs.
    size_t networkViews = 0;
    std::vector<std::pair<int, int>> network;
    std::vector<float> sortBlock;
    // The wide window used where the reference is weakly textured (wideR > 0).
    int wideR = 0;
    std::vector<float> meanI2, invSdI2, count2, invCount2, cost2;
    std::vector<uint8_t> valid2, weak, weakRows;
    std::vector<float> hyp, combined;  // one level's (or offset's) hypotheses and combined costs
    // Threads working on this worker's frame (when a phase has fewer frames than threads), and
    // the workers of the helping threads: copies of this one's reference statistics.
    int inner = 1;
    int statsVersion = 0;
    std::vector<std::unique_ptr<Worker>> helpers;
};

// Gives a helping worker the frame's reference statistics (when it does not have them yet).
void ShareReference(const Worker& from, Worker& to) {
    if (to.statsVersion == from.statsVersion) {
        return;
    }
    to.floor = from.floor;
    to.I = from.I;
    to.meanI = from.meanI;
    to.invSdI = from.invSdI;
    to.invCount = from.invCount;
    to.wideR = from.wideR;
    to.meanI2 = from.meanI2;
    to.invSdI2 = from.invSdI2;
    to.invCount2 = from.invCount2;
    to.weak = from.weak;
    to.weakRows = from.weakRows;
    to.statsVersion = from.statsVersion;
}

// Runs fn(t) for t = 0 .. T - 1, each on a thread of its own (t = 0 on the calling thread).
void OnThreads(int T, const std::function<void(int)>& fn) {
    std::vector<std::thread> pool;
    for (int t = 1; t < T; t++) {
        pool.emplace_back(fn, t);
    }
    fn(0);
    for (std::thread& t : pool) {
        t.join();
    }
}

// Runs fn(k, worker) for k = 0 .. count - 1 on w.inner threads: the frame's own worker takes
// k = 0, inner, 2 inner ..., helper t the k = t, t + inner, ... Each k's result depends on k
// alone, so the thread count never changes a result.
void ForEachInner(Worker& w, int count, const std::function<void(int, Worker&)>& fn) {
    const int T = std::max(1, std::min(w.inner, count));
    while (w.helpers.size() + 1 < static_cast<size_t>(T)) {
        w.helpers.push_back(std::make_unique<Worker>());
    }
    for (int t = 1; t < T; t++) {
        ShareReference(w, *w.helpers[static_cast<size_t>(t - 1)]);
    }
    OnThreads(T, [&](int t) {
        Worker& worker = t == 0 ? w : *w.helpers[static_cast<size_t>(t - 1)];
        for (int k = t; k < count; k += T) {
            fn(k, worker);
        }
    });
}

// The threads that help each frame of a phase of `frames` frames run on `threads` threads.
int InnerThreads(int threads, int frames) {
    return frames >= threads ? 1 : threads / std::max(frames, 1);
}

// The inner loops run on the widest vectors the processor has: where the compiler can choose at
// run time (x86-64 Linux builds with optimisation), each of these functions is built for AVX2
// besides the baseline and the processor picks one when the program starts. AVX2 adds wider
// registers, not other arithmetic (no fused multiply-add), so both give the same results.
#if defined(ZEL_RUNTIME_SIMD) && defined(__x86_64__) && defined(__linux__)
#define ZEL_SIMD_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define ZEL_SIMD_CLONES
#endif

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

// Bilinear samples of g at (U[x], V[x]), clamped into the picture, for x < count, in two passes:
// the positions and weights (which vectorise), then the reads and the blend.
ZEL_SIMD_CLONES void SampleRow(const Grey& g, const float* U, const float* V, int count, float* out,
                               Worker& w) {
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

// The window correlation of the warped picture w.J with the reference at every pixel whose
// projection is valid, in one pass: column sums of J, J^2 and I J over the window's rows are kept
// for the current row and updated as the window moves down; a running sum along the row gives
// the window sums. Pixels whose projection is not valid get kOutside; with `rows`, only the rows
// it marks are written. The running sums of kSumRows rows are formed together: each is a chain
// of dependent additions, and interleaved they keep the processor busy while each waits for its
// previous sum (every row adds in the same order as alone, so the sums are the same).
ZEL_SIMD_CLONES void WindowCosts(int W, int H, int r, bool geometric, Worker& w,
                                 std::vector<float>& cost, const uint8_t* rows = nullptr) {
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
    // The window sums along the rows of slots k0 .. k0 + count - 1 (count 1 or kSumRows): a
    // running sum, kept per pixel so that the correlation below runs without branches and
    // vectorises. Pixel x adds column x + r while it lies in the picture and drops column
    // x - r - 1 once it does: three stretches without branches (the window may span the row).
    const int addEnd = std::max(1, W - r);     // x < addEnd: x + r < W
    const int dropStart = std::min(W, r + 1);  // x >= dropStart: x - r - 1 >= 0
    const int both0 = std::max(1, dropStart);
    const int both1 = std::max(both0, addEnd);
    auto along = [&](auto rowCount, size_t k0) {
        constexpr int R = decltype(rowCount)::value;
        const float* c = column(k0);
        float* s = sums(k0);
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
    };
    // The correlation of row y from the window sums in slot k.
    auto correlate = [&](int y, size_t k) {
        const float* sJ = sums(k);
        const float* sJJ = sJ + Ws;
        const float* sIJ = sJ + 2 * Ws;
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
    };
    // The column sums before the first row: rows 0 .. r added to zero, one after the other.
    float* first = w.colJJ.data();
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
            along(std::integral_constant<int, kSumRows>(), 0);
        } else {
            for (int k = 0; k < count; k++) {
                if (rows == nullptr || rows[y0 + k]) {
                    along(std::integral_constant<int, 1>(), static_cast<size_t>(k));
                }
            }
        }
        for (int k = 0; k < count; k++) {
            if (rows == nullptr || rows[y0 + k]) {
                correlate(y0 + k, static_cast<size_t>(k));
            }
        }
    }
}

// Per-pixel matching cost of every neighbour for one hypothesis per pixel: disparity(p) from
// `disparity`. Fills w.nbCost[j] (photometric plus geometric when maps are given); returns the
// samples taken.
ZEL_SIMD_CLONES double NeighbourCosts(const FrameSet& fs, const std::vector<float>& disparity,
                                      bool geometric, const Sweep& sw, int r, Worker& w) {
    const int W = fs.ref->w;
    const int H = fs.ref->h;
    const size_t n = static_cast<size_t>(W) * H;
    const size_t K = fs.nb.size();
    w.nbCost.resize(K);
    w.J.resize(n);
    w.rowU.resize(static_cast<size_t>(W));
    w.rowV.resize(static_cast<size_t>(W));
    w.valid.resize(n);
    if (w.wideR > 0) {
        w.valid2.resize(n);
    }
    if (geometric) {
        w.geo.resize(n);
    }
    const float maxU = static_cast<float>(W - 1);
    const float maxV = static_cast<float>(H - 1);
    double samples = 0.0;
    for (size_t j = 0; j < K; j++) {
        std::vector<float>& cost = w.nbCost[j];
        const Grey& g = *fs.nbGrey[j];
        if (g.w != W || g.h != H) {
            cost.assign(n, kOutside);
            continue;
        }
        cost.resize(n);  // every row is written (WindowCosts without a row mask)
        const Relative& rel = fs.rel[j];
        const float m0 = static_cast<float>(rel.M[0]);
        const float m3 = static_cast<float>(rel.M[3]);
        const float m6 = static_cast<float>(rel.M[6]);
        const float e0 = static_cast<float>(rel.e[0]);
        const float e1 = static_cast<float>(rel.e[1]);
        const float e2 = static_cast<float>(rel.e[2]);
        const CZelVideoFrame* map = geometric ? fs.nbMap[j] : nullptr;
        for (int y = 0; y < H; y++) {
            // The row's part of q, in double once per row, then single precision per pixel.
            const float b0 = static_cast<float>(rel.M[1] * y + rel.M[2]);
            const float b1 = static_cast<float>(rel.M[4] * y + rel.M[5]);
            const float b2 = static_cast<float>(rel.M[7] * y + rel.M[8]);
            const float yf = static_cast<float>(y);
            const size_t row = static_cast<size_t>(y) * W;
            const float* dsp = &disparity[row];
            float* J = &w.J[row];
            float* U = w.rowU.data();
            float* V = w.rowV.data();
            // The projections and whether the whole window (radius m, cut at the reference's own
            // border) lands inside the neighbour's picture: samples clamped at its border would
            // corrupt the correlation. Without branches, so that the compiler vectorises it.
            auto project = [&](float m, uint8_t* valid) {
                const float top = std::min(m, yf);
                const float bottom = maxV - std::min(m, maxV - yf);
                for (int x = 0; x < W; x++) {
                    const float xf = static_cast<float>(x);
                    const float d = dsp[x];
                    const float q2 = m6 * xf + b2 + d * e2;
                    // & rather than &&: no branches.
                    const bool finite = std::fabs(d) <= FLT_MAX;
                    const bool ok = (q2 > 1e-6f) & finite;
                    const float inv = 1.0f / (ok ? q2 : 1.0f);
                    const float u = ok ? (m0 * xf + b0 + d * e0) * inv : -1.0f;
                    const float v = ok ? (m3 * xf + b1 + d * e1) * inv : -1.0f;
                    U[x] = u;
                    V[x] = v;
                    const float left = std::min(m, xf);
                    const float right = maxU - std::min(m, maxU - xf);
                    valid[x] = static_cast<uint8_t>((u >= left) & (v >= top) & (u <= right) &
                                                    (v <= bottom));
                }
            };
            if (w.wideR > 0 && w.weakRows[static_cast<size_t>(y)]) {
                // (the wide window's costs are used only on rows with weakly textured pixels)
                project(static_cast<float>(w.wideR), &w.valid2[row]);
            }
            const uint8_t* valid = &w.valid[row];
            project(static_cast<float>(r), &w.valid[row]);
            SampleRow(g, U, V, W, J, w);
            if (geometric) {
                for (int x = 0; x < W; x++) {
                    const float xf = static_cast<float>(x);
                    const float d = dsp[x];
                    float penalty = 1.0f;
                    if (valid[x] && map != nullptr && map->dspImg != nullptr) {
                        const float q2 = m6 * xf + b2 + d * e2;
                        const double seen = map->GetDisparity(U[x], V[x]);
                        const double predicted = d / q2;
                        if (std::isfinite(seen)) {
                            const double tol = std::max(kGeoTolerance * predicted, sw.step);
                            penalty = static_cast<float>(
                                std::min(std::fabs(predicted - seen) / tol, 1.0));
                        }
                    }
                    w.geo[row + x] = penalty;
                }
            }
        }
        samples += static_cast<double>(n);
        WindowCosts(W, H, r, geometric, w, cost);
        if (w.wideR > 0) {
            // WindowCosts reads the reference's statistics from the worker: the wide window's
            // are swapped in for its pass, and its cost replaces the small window's where the
            // reference is weakly textured and the wide window lies inside the neighbour.
            std::swap(w.meanI, w.meanI2);
            std::swap(w.invSdI, w.invSdI2);
            std::swap(w.invCount, w.invCount2);
            std::swap(w.valid, w.valid2);
            w.cost2.resize(n);  // written on the weakly textured rows, the only ones read
            WindowCosts(W, H, w.wideR, geometric, w, w.cost2, w.weakRows.data());
            std::swap(w.meanI, w.meanI2);
            std::swap(w.invSdI, w.invSdI2);
            std::swap(w.invCount, w.invCount2);
            std::swap(w.valid, w.valid2);
            for (int y = 0; y < H; y++) {
                if (!w.weakRows[static_cast<size_t>(y)]) {
                    continue;
                }
                const size_t row = static_cast<size_t>(y) * W;
                const uint8_t* weak = &w.weak[row];
                const uint8_t* inside = &w.valid2[row];
                const float* wide = &w.cost2[row];
                float* out = &cost[row];
                for (int x = 0; x < W; x++) {
                    out[x] = (weak[x] & inside[x]) != 0 ? wide[x] : out[x];
                }
            }
        }
    }
    return samples;
}

// The comparators of a network that sorts `count` values (Batcher's odd-even merge sort for the
// next power of two; comparators that reach past `count` are left out: positions there would
// hold values larger than every other, which no comparator moves).
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

// The neighbours' costs of every pixel combined so that views where the pixel is hidden or
// outside the picture do not dominate: views it falls outside of do not count, and of the others
// the best three quarters are averaged (summed in ascending order); `worst` where no view sees
// the pixel. The costs of a block of pixels are sorted by a sorting network (minima and maxima
// across the block, which vectorise), where the views that do not see a pixel sort to the end.
ZEL_SIMD_CLONES void CombineAll(Worker& w, size_t K, float worst, float* out) {
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

// Up to this many views the best three quarters leave out at most the two worst, which a
// running maximum and second maximum find without sorting.
const size_t kFastCombineViews = 8;

// CombineAll for every pixel of one level, quantised onto the cost scale; the same result (up to
// rounding) for K <= kFastCombineViews. The loops over pixels run without
// branches, so the compiler vectorises them.
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

// The window count, mean and inverse deviation of the reference over (2 r + 1)^2 at every pixel.
void PrepareStats(const std::vector<float>& I, int W, int H, int r, float floor,
                  std::vector<float>& count, std::vector<float>& invCount,
                  std::vector<float>& meanI, std::vector<float>& invSdI, std::vector<float>& column,
                  int threads = 1) {
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
    const int bands = std::max(1, std::min(threads, H));
    OnThreads(bands, [&](int t) {
        const size_t y0 = static_cast<size_t>(H * t / bands);
        const size_t y1 = static_cast<size_t>(H * (t + 1) / bands);
        for (size_t p = y0 * W; p < y1 * W; p++) {
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

// Sets up the wide window for the weakly textured pixels: its statistics of the reference and
// the mask of pixels whose small window varies by less than kWeakTexture. After
// PrepareReference; wideR 0 turns it off.
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

// Runs fn(y0, y1) over bands of rows that together make 0 .. H - 1, on `threads` threads.
void RowBands(int H, int threads, const std::function<void(int, int)>& fn) {
    const int T = std::max(1, std::min(threads, H));
    OnThreads(T, [&](int t) { fn(H * t / T, H * (t + 1) / T); });
}

// One step along an aggregation path: out[l] = c[l] + min(prev[l], prev[l +- 1] + P1,
// minPrev + p2) - minPrev, added to acc; returns the smallest out[l]. The ends of the levels
// apart, so that the loop over the others runs without branches and vectorises.
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

// The first pixel of a path: out = c, added to acc; returns the smallest c[l].
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

// The four paths of one sweep over the cost volume C (pixel-major, L levels per pixel), summed
// into S: pass 0 runs top to bottom, left to right (from the left, the upper left, above and the
// upper right); pass 1 the other way round.
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

// Semi-global aggregation along eight directions over the cost volume C (pixel-major, L levels
// per pixel) into S, then winner-take-all with a parabola through the neighbouring sums. With
// two threads the two passes run at once, each into a volume of its own, added afterwards (the
// sums wrap the same way in any order).
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

struct FrameTimes {
    double costVolume = 0.0;
    double aggregation = 0.0;
    double refinement = 0.0;
    double checks = 0.0;
    double samples = 0.0;
    double refineSamples = 0.0;
    double checkSamples = 0.0;
};

// The plane sweep of one frame, then aggregation: the disparity of every pixel.
void SweepFrame(const FrameSet& fs, const Sweep& sw, bool geometric, int r, Worker& w,
                std::vector<float>& disparity, FrameTimes& ft) {
    const int W = fs.ref->w;
    const int H = fs.ref->h;
    const size_t n = static_cast<size_t>(W) * H;
    const size_t K = fs.nb.size();
    const double t0 = ThreadSeconds();
    std::vector<uint16_t> C(n * sw.L);
    const float worst = 1.0f + (geometric ? kGeoWeight : 0.0f);
    const float scale = static_cast<float>(kCostScale) / worst;
    // Levels go in blocks of 32: each block's costs are kept level by level and then written
    // into the pixel-major volume 64 bytes per pixel at a time, instead of one scattered
    // element per pixel and level.
    const int kBlock = 32;
    std::vector<uint16_t> block(static_cast<size_t>(kBlock) * n);
    for (int l0 = 0; l0 < sw.L; l0 += kBlock) {
        const int count = std::min(kBlock, sw.L - l0);
        std::vector<double> samples(static_cast<size_t>(count), 0.0);
        ForEachInner(w, count, [&](int b, Worker& tw) {
            tw.hyp.assign(n, static_cast<float>(sw.Level(l0 + b)));
            samples[static_cast<size_t>(b)] = NeighbourCosts(fs, tw.hyp, geometric, sw, r, tw);
            uint16_t* out = &block[static_cast<size_t>(b) * n];
            if (K <= kFastCombineViews) {
                CombineLevel(tw, K, worst, scale, out);
                return;
            }
            tw.combined.resize(n);
            CombineAll(tw, K, worst, tw.combined.data());
            for (size_t p = 0; p < n; p++) {
                const float c = tw.combined[p];
                out[p] = static_cast<uint16_t>(std::min(c * scale, float(kCostScale)) + 0.5f);
            }
        });
        for (double s : samples) {
            ft.samples += s;
        }
        RowBands(fs.ref->h, w.inner, [&](int y0, int y1) {
            for (size_t p = static_cast<size_t>(y0) * W; p < static_cast<size_t>(y1) * W; p++) {
                uint16_t* dst = &C[p * sw.L + l0];
                for (int b = 0; b < count; b++) {
                    dst[b] = block[static_cast<size_t>(b) * n + p];
                }
            }
        });
    }
    const double t1 = ThreadSeconds();
    ft.costVolume += t1 - t0;
    std::vector<float> level;
    std::vector<int> label;
    Aggregate(C, *fs.ref, sw.L, w.inner, level, label);
    disparity.resize(n);
    for (size_t p = 0; p < n; p++) {
        disparity[p] = static_cast<float>(sw.Level(level[p]));
    }
    ft.aggregation += ThreadSeconds() - t1;
}

// The median of the finite values of each (2 r + 1)^2 window (the value itself when none), rows
// y0 .. y1 - 1.
void MedianRows(int W, int H, int r, const std::vector<float>& in, std::vector<float>& out, int y0,
                int y1) {
    // The window's finite values counted in buckets of their value as it slides along the row
    // (each step takes out the column it leaves and puts in the one it enters); the median lies
    // in the bucket where the counts pass half the window, and is picked exactly from the
    // window's values in that bucket.
    // (Fine buckets: on a smooth surface a window's values lie close together, and the fewer of
    // them share the median's bucket, the less the exact pick has to sort.)
    const int kBuckets = 4096;
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
    // Each pixel's bucket, -1 for a value that is not finite.
    std::vector<int16_t> buckets(in.size());
    for (size_t p = 0; p < in.size(); p++) {
        buckets[p] = static_cast<int16_t>(
            std::isfinite(in[p]) ? std::min(kBuckets - 1, static_cast<int>((in[p] - lo) * scale))
                                 : -1);
    }
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

// MedianRows over the whole map, its rows split among `threads` threads.
void MedianFilter(int W, int H, int r, const std::vector<float>& in, std::vector<float>& out,
                  int threads) {
    out.resize(in.size());
    RowBands(H, threads, [&](int y0, int y1) { MedianRows(W, H, r, in, out, y0, y1); });
}

// Continuous refinement: around each pixel's disparity, evaluate the combined cost at nine
// offsets (every pixel of the window warped at its own disparity plus the offset, which follows
// slanted surfaces) and move to the parabola's minimum; `rounds` rounds (up to three), each finer.
double Refine(const FrameSet& fs, const Sweep& sw, bool geometric, int r, int rounds, Worker& w,
              std::vector<float>& disparity) {
    const size_t n = disparity.size();
    const size_t K = fs.nb.size();
    double samples = 0.0;
    if (K == 0) {
        return samples;
    }
    const float worst = 1.0f + (geometric ? kGeoWeight : 0.0f);
    const int kSteps = 9;
    std::vector<std::vector<float>> cost(kSteps, std::vector<float>(n));
    double stepSize = sw.step / 4.0;
    std::vector<float> base;
    for (int round = 0; round < std::min(rounds, 3); round++) {
        // The window is warped with a median-filtered map, so that the noise of single pixels
        // does not distort it.
        MedianFilter(fs.ref->w, fs.ref->h, kWarpMedianRadius, disparity, base, w.inner);
        std::vector<double> taken(static_cast<size_t>(kSteps), 0.0);
        auto hypotheses = [&](int k, Worker& tw) {
            const double off = (k - kSteps / 2) * stepSize;
            tw.hyp.resize(n);
            for (size_t p = 0; p < n; p++) {
                tw.hyp[p] = static_cast<float>(base[p] + off);
            }
        };
        // The offsets go to the frame's threads whole; those left over when they do not divide
        // evenly among the threads are split by neighbours instead (a neighbour's costs depend
        // on it alone), so that no thread waits while another works on one offset more.
        const int T = std::max(1, std::min(w.inner, static_cast<int>(K)));
        const int whole = kSteps - kSteps % T;
        ForEachInner(w, whole, [&](int k, Worker& tw) {
            hypotheses(k, tw);
            taken[static_cast<size_t>(k)] = NeighbourCosts(fs, tw.hyp, geometric, sw, r, tw);
            CombineAll(tw, K, worst, cost[static_cast<size_t>(k)].data());
        });
        for (int k = whole; k < kSteps; k++) {
            std::vector<double> part(static_cast<size_t>(T), 0.0);
            auto first = [&](int t) { return K * static_cast<size_t>(t) / static_cast<size_t>(T); };
            ForEachInner(w, T, [&](int t, Worker& tw) {
                FrameSet some;
                some.index = fs.index;
                some.ref = fs.ref;
                const size_t j0 = first(t);
                const size_t j1 = first(t + 1);
                some.nb.assign(fs.nb.begin() + j0, fs.nb.begin() + j1);
                some.nbGrey.assign(fs.nbGrey.begin() + j0, fs.nbGrey.begin() + j1);
                some.rel.assign(fs.rel.begin() + j0, fs.rel.begin() + j1);
                some.nbMap.assign(fs.nbMap.begin() + j0, fs.nbMap.begin() + j1);
                hypotheses(k, tw);
                part[static_cast<size_t>(t)] = NeighbourCosts(some, tw.hyp, geometric, sw, r, tw);
            });
            // Every thread's costs in the frame's own worker, in the neighbours' order.
            std::vector<std::vector<float>> all(K);
            for (int t = 0; t < T; t++) {
                Worker& tw = t == 0 ? w : *w.helpers[static_cast<size_t>(t - 1)];
                for (size_t j = first(t); j < first(t + 1); j++) {
                    all[j].swap(tw.nbCost[j - first(t)]);
                }
                taken[static_cast<size_t>(k)] += part[static_cast<size_t>(t)];
            }
            w.nbCost.swap(all);
            CombineAll(w, K, worst, cost[static_cast<size_t>(k)].data());
        }
        for (double t : taken) {
            samples += t;
        }
        // Each pixel's pick on its own: rows split among the frame's threads.
        const size_t Ws = static_cast<size_t>(fs.ref->w);
        RowBands(fs.ref->h, w.inner, [&](int y0, int y1) {
            for (size_t p = static_cast<size_t>(y0) * Ws; p < static_cast<size_t>(y1) * Ws; p++) {
                // Ties keep the centre: a pixel that no neighbour sees keeps its disparity.
                int best = kSteps / 2;
                for (int k = 0; k < kSteps; k++) {
                    if (cost[static_cast<size_t>(k)][p] < cost[static_cast<size_t>(best)][p]) {
                        best = k;
                    }
                }
                double off = (best - kSteps / 2) * stepSize;
                if (best > 0 && best + 1 < kSteps) {
                    const double a = cost[static_cast<size_t>(best - 1)][p];
                    const double b = cost[static_cast<size_t>(best)][p];
                    const double c = cost[static_cast<size_t>(best + 1)][p];
                    const double denom = a - 2.0 * b + c;
                    if (denom > 0.0) {
                        off += std::min(std::max(0.5 * (a - c) / denom, -0.5), 0.5) * stepSize;
                    }
                }
                disparity[p] = static_cast<float>(std::max(base[p] + off, 1e-6));
            }
        });
        // Quarter, sixteenth, then thirty-second of a level.
        stepSize /= round == 0 ? 4.0 : 2.0;
    }
    return samples;
}

// Consistency's projections of row y (disparities d) into a neighbour: q0, q1, q2, u and v of
// pixel x at Q + x, Q + W + x, ... Q + 4 W + x, and whether the disparity is finite and lands in
// front of the camera and inside the picture (u, v are only meaningful where it does).
ZEL_SIMD_CLONES void ProjectRow(const Relative& rel, const float* d, int W, int H, int y,
                                double* __restrict Q, uint8_t* __restrict inside) {
    for (int x = 0; x < W; x++) {
        const double dd = d[x];
        const double q0 = rel.M[0] * x + rel.M[1] * y + rel.M[2] + dd * rel.e[0];
        const double q1 = rel.M[3] * x + rel.M[4] * y + rel.M[5] + dd * rel.e[1];
        const double q2 = rel.M[6] * x + rel.M[7] * y + rel.M[8] + dd * rel.e[2];
        // & rather than &&: no branches.
        const bool front = (std::fabs(dd) <= DBL_MAX) & (q2 > 1e-9);
        const double den = front ? q2 : 1.0;
        const double u = q0 / den;
        const double v = q1 / den;
        const size_t Ws = static_cast<size_t>(W);
        Q[x] = q0;
        Q[Ws + x] = q1;
        Q[2 * Ws + x] = q2;
        Q[3 * Ws + x] = u;
        Q[4 * Ws + x] = v;
        inside[x] =
            static_cast<uint8_t>(front & (u >= 0.0) & (v >= 0.0) & (u <= W - 1) & (v <= H - 1));
    }
}

// Counts the neighbours (with maps) that confirm and that contradict each pixel's disparity.
// A neighbour that sees something nearer at the projection is neither: the pixel may be hidden
// there.
// With `fused`, also sums per pixel the disparities that the confirming neighbours give back
// (the pixel's disparity scaled by what the neighbour sees over what it should see).
double Consistency(const FrameSet& fs, const std::vector<float>& disparity, const Sweep& sw,
                   std::vector<uint8_t>& agree, std::vector<uint8_t>& disagree,
                   std::vector<double>* fused = nullptr, int threads = 1) {
    const int W = fs.ref->w;
    const int H = fs.ref->h;
    const size_t n = static_cast<size_t>(W) * H;
    agree.assign(n, 0);
    disagree.assign(n, 0);
    if (fused != nullptr) {
        fused->assign(n, 0.0);
    }
    // Bands of rows on `threads` threads: each pixel sees the neighbours in the same order on
    // any number of threads, and the counts of samples are whole numbers.
    std::vector<double> bandSamples(static_cast<size_t>(std::max(1, threads)), 0.0);
    const int T = std::max(1, std::min(threads, H));
    OnThreads(T, [&](int t) {
        const int y0 = H * t / T;
        const int y1 = H * (t + 1) / T;
        double samples = 0.0;
        std::vector<double> Q(5 * static_cast<size_t>(W));
        std::vector<uint8_t> inside(static_cast<size_t>(W));
        for (size_t j = 0; j < fs.nb.size(); j++) {
            const CZelVideoFrame* map = fs.nbMap[j];
            if (map == nullptr || map->dspImg == nullptr) {
                continue;
            }
            const Relative& rel = fs.rel[j];
            for (int y = y0; y < y1; y++) {
                // The row's projections first, without branches (so that they vectorise); then
                // the pixels that land inside the neighbour's picture, one by one.
                ProjectRow(rel, &disparity[static_cast<size_t>(y) * W], W, H, y, Q.data(),
                           inside.data());
                for (int x = 0; x < W; x++) {
                    if (!inside[static_cast<size_t>(x)]) {
                        continue;
                    }
                    const size_t p = static_cast<size_t>(y) * W + x;
                    const double d = disparity[p];
                    const double* q = &Q[static_cast<size_t>(x)];
                    const double q0 = q[0];
                    const double q1 = q[static_cast<size_t>(W)];
                    const double q2 = q[2 * static_cast<size_t>(W)];
                    const double u = q[3 * static_cast<size_t>(W)];
                    const double v = q[4 * static_cast<size_t>(W)];
                    const double predicted = d / q2;
                    const double seen = map->GetDisparity(u, v);
                    samples += 1.0;
                    if (!std::isfinite(seen)) {
                        continue;
                    }
                    const double tol = std::max(kConsistency * predicted, sw.step);
                    if (std::fabs(seen - predicted) <= tol) {
                        agree[p]++;
                        if (fused != nullptr) {
                            (*fused)[p] += d * seen / predicted;
                        }
                    } else if (seen < predicted - std::max(tol, PoseTolerance(rel, q0, q1, q2,
                                                                              sw.pixelTolerance))) {
                        disagree[p]++;
                    }
                }
            }
        }
        bandSamples[static_cast<size_t>(t)] = samples;
    });
    double samples = 0.0;
    for (double b : bandSamples) {
        samples += b;
    }
    return samples;
}

// Along each of `lines` lines of `length` pixels (line k starts at k * lineStep, its pixels are
// pixelStep apart), pixels that are not sources take the smaller (farther) of the nearest source
// disparities on either side: the hidden side of an edge belongs to the background. Filled
// pixels are marked in `filled`.
void FillAlong(int lines, int length, size_t lineStep, size_t pixelStep,
               const std::vector<uint8_t>& source, std::vector<float>& disparity,
               std::vector<uint8_t>& filled) {
    std::vector<float> before(static_cast<size_t>(length));
    for (int k = 0; k < lines; k++) {
        const size_t start = static_cast<size_t>(k) * lineStep;
        float last = kNaN;
        for (int t = 0; t < length; t++) {
            const size_t p = start + static_cast<size_t>(t) * pixelStep;
            if (source[p]) {
                last = disparity[p];
            }
            before[static_cast<size_t>(t)] = last;
        }
        last = kNaN;
        for (int t = length - 1; t >= 0; t--) {
            const size_t p = start + static_cast<size_t>(t) * pixelStep;
            if (source[p]) {
                last = disparity[p];
                continue;
            }
            const float a = before[static_cast<size_t>(t)];
            const float b = last;
            if (!std::isfinite(a) && !std::isfinite(b)) {
                continue;
            }
            disparity[p] = !std::isfinite(a) ? b : !std::isfinite(b) ? a : std::min(a, b);
            filled[p] = 1;
        }
    }
}

// Unreliable pixels are filled along their row from the reliable ones; those whose whole row
// is unreliable (a strip along the top or bottom that no neighbour sees) then along their column
// from the reliable and filled ones. Returns the mask of pixels that hold a value now.
std::vector<uint8_t> FillUnreliable(int W, int H, const std::vector<uint8_t>& reliable,
                                    std::vector<float>& disparity) {
    std::vector<uint8_t> filled(reliable.size(), 0);
    const size_t Ws = static_cast<size_t>(W);
    FillAlong(H, W, Ws, 1, reliable, disparity, filled);
    for (size_t p = 0; p < filled.size(); p++) {
        filled[p] = filled[p] || reliable[p] ? 1 : 0;
    }
    std::vector<uint8_t> columnFilled(reliable.size(), 0);
    FillAlong(W, H, 1, Ws, filled, disparity, columnFilled);
    for (size_t p = 0; p < filled.size(); p++) {
        filled[p] = filled[p] || columnFilled[p] ? 1 : 0;
    }
    return filled;
}

// Marks the pixels that, at their disparity, project inside no neighbour's picture: nothing
// measured them, so their value is only what the aggregation carried in.
std::vector<uint8_t> SeenByNeighbours(const FrameSet& fs, const std::vector<float>& disparity,
                                      int threads = 1) {
    const int W = fs.ref->w;
    const int H = fs.ref->h;
    std::vector<uint8_t> seen(disparity.size(), 0);
    // Each pixel on its own: rows split among the threads.
    RowBands(H, threads, [&](int y0, int y1) {
        for (const Relative& rel : fs.rel) {
            for (int y = y0; y < y1; y++) {
                for (int x = 0; x < W; x++) {
                    const size_t p = static_cast<size_t>(y) * W + x;
                    const double d = disparity[p];
                    const double q2 = rel.M[6] * x + rel.M[7] * y + rel.M[8] + d * rel.e[2];
                    if (seen[p] || !std::isfinite(d) || q2 <= 1e-9) {
                        continue;
                    }
                    const double u = (rel.M[0] * x + rel.M[1] * y + rel.M[2] + d * rel.e[0]) / q2;
                    const double v = (rel.M[3] * x + rel.M[4] * y + rel.M[5] + d * rel.e[1]) / q2;
                    seen[p] = u >= 0.0 && v >= 0.0 && u <= W - 1 && v <= H - 1 ? 1 : 0;
                }
            }
        }
    });
    return seen;
}

// Runs fn(position) for positions 0 .. count - 1 in order on `threads` workers; `next` counts the
// positions handed out. Once *stop is true no further position is started.
void ParallelInOrder(int count, int threads, std::atomic<int>& next,
                     const std::function<void(int position, int worker)>& fn,
                     const std::atomic<bool>* stop = nullptr) {
    next.store(0);
    auto body = [&](int worker) {
        for (;;) {
            if (stop != nullptr && stop->load()) {
                return;
            }
            const int position = next.fetch_add(1);
            if (position >= count) {
                return;
            }
            // A frame whose volumes do not fit in memory is reported and left without a map;
            // the other frames go on.
            try {
                fn(position, worker);
            } catch (const std::bad_alloc&) {
                std::printf("ERROR: not enough memory for the frame at position %d of the range\n",
                            position);
            }
        }
    };
    const int extra = std::max(0, std::min(threads, count) - 1);
    std::vector<std::thread> pool;
    for (int t = 0; t < extra; t++) {
        pool.emplace_back(body, t + 1);
    }
    body(0);
    for (std::thread& t : pool) {
        t.join();
    }
}

int ThreadCount(int requested) {
    if (requested > 0) {
        return requested;
    }
    const unsigned hw = std::thread::hardware_concurrency();
    return hw > 0 ? static_cast<int>(hw) : 1;
}

// Each span frame's neighbour list: the first max(K, R) frames of the neighbour rule. The steps
// take prefixes of it (see OpenNeighbours and FuseNeighbours).
std::vector<std::vector<int>> NeighbourLists(const CReferenceStages& owner,
                                             const CZelVideoSequence& seq, int first, int last) {
    const ZelStageOptions& o = owner.GetOptions();
    std::vector<std::vector<int>> lists(static_cast<size_t>(last - first + 1));
    for (int i = first; i <= last; i++) {
        lists[static_cast<size_t>(i - first)] =
            owner.Neighbours(seq, i, std::max(o.neighbours, o.refineNeighbours));
    }
    return lists;
}

// The neighbours whose maps a frame opened with `limit` neighbours reads: the first `limit` of
// its list that lie in the span.
std::vector<int> OpenNeighbours(const std::vector<int>& list, int limit, int first, int last) {
    std::vector<int> result;
    for (size_t n = 0; n < list.size() && n < static_cast<size_t>(limit); n++) {
        if (list[n] >= first && list[n] <= last) {
            result.push_back(list[n]);
        }
    }
    return result;
}

// The neighbours the fusion checks a frame against: up to `limit` of its list within the span.
std::vector<int> FuseNeighbours(const std::vector<int>& list, int limit, int first, int last) {
    std::vector<int> result;
    for (int j : list) {
        if (result.size() >= static_cast<size_t>(limit)) {
            break;
        }
        if (j >= first && j <= last) {
            result.push_back(j);
        }
    }
    return result;
}

// The frames a step touches: those it computes and those it reads back, ascending.
std::vector<int> StepFrames(const ZelStepPlan& step) {
    std::vector<int> all = step.compute;
    all.insert(all.end(), step.load.begin(), step.load.end());
    std::sort(all.begin(), all.end());
    return all;
}

// The maps of one step that the frames in flight read from their neighbours, when the maps live
// on disk: each is read into its frame (dspImg) when the first frame that needs it starts, and
// dropped once no frame in flight and none still to come needs it, so that memory holds only
// the maps around the frames in flight however long the video. A map that cannot be read
// leaves its frame without one (the neighbour is not used) and is reported.
class MapCache {
  public:
    using Reader = std::function<bool(int frame, std::vector<float>& map, std::string& error)>;
    MapCache(CZelVideoSequence& seq, Reader readMap, std::vector<int> lastUser,
             std::atomic<int>& dispatched)
        : sequence(seq),
          read(std::move(readMap)),
          lastUserRank(std::move(lastUser)),
          next(dispatched) {}
    ~MapCache() { Clear(); }

    // false with the reason when the map could not be read.
    bool Acquire(int j, std::string& error) {
        std::lock_guard<std::mutex> lock(mutex);
        Entry& entry = entries[j];
        entry.refs++;
        if (entry.loaded) {
            return true;
        }
        entry.loaded = true;
        std::vector<float> map;
        CZelVideoFrame* frame = sequence.GetFrame(j);
        if (!read(j, map, error)) {
            Drop(frame);
            return false;
        }
        // A frame without a map (its picture could not be read) shows every pixel missing.
        const int W = CZelVideoFrame::GetWorkingWidth();
        const size_t n = static_cast<size_t>(W) * CZelVideoFrame::GetWorkingHeight();
        if (frame->CreateDisparityMap(kNaN) && map.size() == n) {
            for (size_t p = 0; p < n; p++) {
                frame->SetDisparity(static_cast<int>(p % W), static_cast<int>(p / W), map[p]);
            }
        }
        return true;
    }

    void Release(int j) {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = entries.find(j);
        if (it == entries.end()) {
            return;
        }
        it->second.refs--;
        if (it->second.refs <= 0 && next.load() > lastUserRank[static_cast<size_t>(j)]) {
            Drop(sequence.GetFrame(j));
            entries.erase(it);
        }
    }

    void Clear() {
        std::lock_guard<std::mutex> lock(mutex);
        for (auto& e : entries) {
            Drop(sequence.GetFrame(e.first));
        }
        entries.clear();
    }

  private:
    // Only the map: the image cache looks after the colour picture.
    static void Drop(CZelVideoFrame* frame) {
        delete frame->dspImg;
        frame->dspImg = nullptr;
    }
    struct Entry {
        int refs = 0;
        bool loaded = false;
    };
    CZelVideoSequence& sequence;
    Reader read;
    std::vector<int> lastUserRank;
    std::atomic<int>& next;
    std::mutex mutex;
    std::map<int, Entry> entries;
};

// How sure a pixel's disparity is, 0 .. 1, from the neighbours that checked it: the share of those
// that confirm it among those that confirm or contradict it (a neighbour that sees something
// nearer there may simply not see the pixel, and does not count), scaled down while fewer than
// kPlaneConfirmations confirm. 1: every checking neighbour, and enough of them, agree; 0: none
// confirms (or none could check: outside their pictures, or hidden in all of them).
float Confidence(int agree, int disagree) {
    if (agree <= 0) {
        return 0.0f;
    }
    const float share = static_cast<float>(agree) / static_cast<float>(agree + disagree);
    return share * std::min(1.0f, static_cast<float>(agree) / kPlaneConfirmations);
}

// The fusion's verdict on a pixel in one byte, as the plane fit and the outputs read it (and the
// journal keeps it): bit 0 set when enough neighbours confirm the pixel to choose its segment's
// plane, bits 1 to 7 its confidence in steps of 1 / 127.
uint8_t PixelMark(bool confirmed, float confidence) {
    const int steps =
        static_cast<int>(std::lround(std::min(std::max(confidence, 0.0f), 1.0f) * 127));
    return static_cast<uint8_t>((steps << 1) | (confirmed ? 1 : 0));
}
bool MarkConfirmed(uint8_t mark) {
    return (mark & 1) != 0;
}
float MarkConfidence(uint8_t mark) {
    return static_cast<float>(mark >> 1) / 127.0f;
}

// Shared state of one stage run over frames of the span first .. last.
class StageRun {
  public:
    StageRun(const CReferenceStages& owner, CZelVideoSequence& seq, int spanFirst, int spanLast,
             ZelStageReport& problems, ZelStepJournal* stepJournal)
        : stages(owner),
          sequence(seq),
          first(spanFirst),
          last(spanLast),
          journal(stepJournal),
          report(problems) {
        const ZelStageOptions& o = owner.GetOptions();
        sweep.L = o.levels;
        sweep.dmin = o.minDisparity;
        sweep.step = (o.maxDisparity - o.minDisparity) / (o.levels - 1);
        const double residual =
            o.trackResidual >= 0.0 ? o.trackResidual : EstimateTrackResidual(seq);
        sweep.pixelTolerance = kPoseTolerance * residual;
        neighbours = NeighbourLists(owner, seq, first, last);
        threads = ThreadCount(o.threads);
        workers.resize(static_cast<size_t>(threads));
        maps.resize(static_cast<size_t>(last - first + 1));
    }
    ~StageRun() { EndPhase(); }

    // Starts a phase over `frames` (in that order), each opened with up to `limit` neighbours:
    // the image cache releases a picture once the last of them that needs it is dispatched.
    void BeginPhase(const std::vector<int>& frames, int limit) {
        EndPhase();
        std::vector<int> lastUser(static_cast<size_t>(sequence.GetFrameCount()), -1);
        for (size_t k = 0; k < frames.size(); k++) {
            const int i = frames[k];
            lastUser[static_cast<size_t>(i)] = static_cast<int>(k);
            const std::vector<int>& list = Neighbours(i);
            for (size_t n = 0; n < list.size() && n < static_cast<size_t>(limit); n++) {
                const size_t j = static_cast<size_t>(list[n]);
                lastUser[j] = std::max(lastUser[j], static_cast<int>(k));
            }
        }
        cache = std::make_unique<ImageCache>(sequence, lastUser, next);
        cache->unreadable = [this](int i, const std::string& line) {
            Note(report.unreadFrames, i, line);
        };
    }
    void EndPhase() {
        if (cache) {
            cache->Clear();
            loads += cache->Loads();
            cache.reset();
        }
        mapCache.reset();
    }

    // With a journal the maps live on disk: each step reads its frame's map of the step before
    // and its neighbours' maps from there, and drops what it made once it is kept. Without one
    // every map of a step stays in memory, set as the frames' own for the next step to read.
    bool OnDisk() const { return journal != nullptr; }

    // Starts reading the neighbours' maps of `step` ("_init" for the initialisation's files)
    // for a phase over `frames`, each frame reading those of inputs(frame). Does nothing
    // without a journal.
    void BeginMaps(const std::string& step, const std::vector<int>& frames,
                   const std::function<std::vector<int>(int)>& inputs) {
        if (!OnDisk()) {
            return;
        }
        std::vector<int> lastUser(static_cast<size_t>(sequence.GetFrameCount()), -1);
        mapInputs.assign(static_cast<size_t>(last - first + 1), std::vector<int>());
        for (size_t k = 0; k < frames.size(); k++) {
            std::vector<int>& in = mapInputs[static_cast<size_t>(frames[k] - first)];
            in = inputs(frames[k]);
            for (int j : in) {
                lastUser[static_cast<size_t>(j)] =
                    std::max(lastUser[static_cast<size_t>(j)], static_cast<int>(k));
            }
        }
        const size_t n = static_cast<size_t>(CZelVideoFrame::GetWorkingWidth()) *
                         CZelVideoFrame::GetWorkingHeight();
        MapCache::Reader reader;
        if (step == "_init") {
            reader = [n](int j, std::vector<float>& map, std::string& error) {
                if (ReadFloatFile(InitMapPath(j), n, false, map, error)) {
                    return true;
                }
                error += " (the initialisation's map; run it first)";
                return false;
            };
        } else {
            ZelStepJournal* kept = journal;
            reader = [kept, step](int j, std::vector<float>& map, std::string& error) {
                return kept->Load(step, j, map, nullptr, error);
            };
        }
        mapCache = std::make_unique<MapCache>(sequence, reader, lastUser, next);
    }
    void AcquireMaps(int i) {
        if (!mapCache) {
            return;
        }
        for (int j : mapInputs[static_cast<size_t>(i - first)]) {
            std::string error;
            if (!mapCache->Acquire(j, error)) {
                Note(report.unreadFrames, j, error);
            }
        }
    }
    void ReleaseMaps(int i) {
        if (!mapCache) {
            return;
        }
        for (int j : mapInputs[static_cast<size_t>(i - first)]) {
            mapCache->Release(j);
        }
    }

    // With a journal: frame i's result of `step` (and its mask), read back as the input of the
    // next step; a result that cannot be read leaves the frame without a map, reported.
    void TakeOwn(const std::string& step, int i, std::vector<uint8_t>* mask) {
        if (!OnDisk()) {
            return;
        }
        std::string error;
        if (!journal->Load(step, i, Map(i), mask, error)) {
            Map(i).clear();
            if (mask != nullptr) {
                mask->clear();
            }
            Note(report.unreadFrames, i, error);
        }
    }
    // With a journal: removes the kept maps of a step that no frame still to come reads (the
    // step after it is complete), so that the work folder holds at most two steps' maps.
    // For the last step's input, only once every frame of the stage is done: a frame whose
    // outputs could not be written still needs it when the run is resumed.
    void Discard(const std::string& step, const ZelStepPlan* final = nullptr) {
        if (journal == nullptr) {
            return;
        }
        if (final != nullptr) {
            for (int i : final->compute) {
                if (!journal->Done(final->name, i)) {
                    return;
                }
            }
        }
        journal->Discard({step});
    }

    // With a journal: frees frame i's map once it is kept.
    void Drop(int i) {
        if (OnDisk()) {
            std::vector<float>().swap(Map(i));
        }
    }

    const std::vector<int>& Neighbours(int i) const {
        return neighbours[static_cast<size_t>(i - first)];
    }
    std::vector<float>& Map(int i) { return maps[static_cast<size_t>(i - first)]; }

    // Acquires frame i's working set from the cache.
    // Acquires frame i's working set from the cache; with loaders > 1 the pictures load on that
    // many threads (a frame run alone).
    FrameSet Open(int i, int limit, int loaders = 1) {
        FrameSet fs;
        fs.index = i;
        const CCamera& cam = *sequence.GetFrame(i)->camera;
        const bool scaled = CZelVideoFrame::reduced;
        for (int j : Neighbours(i)) {
            if (static_cast<int>(fs.nb.size()) >= limit) {
                break;
            }
            fs.nb.push_back(j);
            fs.rel.push_back(MakeRelative(cam, *sequence.GetFrame(j)->camera, scaled));
            fs.nbMap.push_back(j >= first && j <= last ? sequence.GetFrame(j) : nullptr);
        }
        // Position 0 is the frame itself, then its neighbours.
        std::vector<std::shared_ptr<const Grey>> greys(fs.nb.size() + 1);
        const int T = std::max(1, std::min(loaders, static_cast<int>(greys.size())));
        OnThreads(T, [&](int t) {
            for (size_t k = static_cast<size_t>(t); k < greys.size(); k += static_cast<size_t>(T)) {
                greys[k] = cache->Acquire(k == 0 ? i : fs.nb[k - 1]);
            }
        });
        fs.ref = greys[0];
        fs.nbGrey.assign(greys.begin() + 1, greys.end());
        return fs;
    }
    void Close(FrameSet& fs) {
        for (int j : fs.nb) {
            cache->Release(j);
        }
        cache->Release(fs.index);
        fs = FrameSet();
    }

    void Report(const char* stage, int& done, int total, int i, double seconds) {
        std::lock_guard<std::mutex> lock(reportMutex);
        done++;
        lines++;
        if (progressFn) {
            ZelStageProgress pr{stage, done, total, i, &sequence.GetFrame(i)->name, seconds};
            progressFn(pr);
        }
    }

    // Records a problem of frame i in one of the report's lists, passing its line to the
    // progress callback the first time it comes up.
    void Note(std::vector<ZelStageFailure>& list, int i, const std::string& line) {
        std::lock_guard<std::mutex> lock(reportMutex);
        if (AddOnce(list, i, line) && progressFn) {
            ZelStageProgress pr{"", 0, 0, i, &sequence.GetFrame(i)->name, 0.0, &line};
            progressFn(pr);
        }
    }

    void AddTimes(const FrameTimes& ft, double total) {
        std::lock_guard<std::mutex> lock(reportMutex);
        times.costVolume += ft.costVolume;
        times.aggregation += ft.aggregation;
        times.refinement += ft.refinement;
        times.checks += ft.checks;
        times.rest += total - ft.costVolume - ft.aggregation - ft.refinement - ft.checks;
        times.samples += ft.samples;
        times.refineSamples += ft.refineSamples;
        times.checkSamples += ft.checkSamples;
    }

    // Keeps frame i's result of a step in the journal (when there is one).
    void Keep(const char* step, int i, const std::vector<float>& map,
              const std::vector<uint8_t>* mask) {
        std::string error;
        if (journal != nullptr && !journal->Save(step, i, map, mask, error)) {
            Note(report.unwrittenFiles, i,
                 "ERROR: Can not keep the " + std::string(step) + " map of frame " +
                     std::to_string(i) + ": " + error);
        }
    }

    // Reads back the results of a step that the journal holds; a frame whose result cannot be
    // read is reported and left without a map.
    void LoadStep(const ZelStepPlan& step, std::vector<std::vector<uint8_t>>* masks) {
        if (OnDisk()) {
            return;  // read when needed (TakeOwn, BeginMaps)
        }
        for (int i : step.load) {
            std::string error;
            std::vector<uint8_t>* mask =
                masks != nullptr ? &(*masks)[static_cast<size_t>(i - first)] : nullptr;
            if (journal == nullptr || !journal->Load(step.name, i, Map(i), mask, error)) {
                Map(i).clear();
                Note(report.unreadFrames, i, error);
            }
        }
    }

    // Sets the maps of these frames as the frames' own, for their neighbours to read; a frame
    // without a map keeps what it has.
    void Commit(const std::vector<int>& frames) {
        const int W = CZelVideoFrame::GetWorkingWidth();
        const size_t n = static_cast<size_t>(W) * CZelVideoFrame::GetWorkingHeight();
        for (int i : frames) {
            CZelVideoFrame* frame = sequence.GetFrame(i);
            const std::vector<float>& map = Map(i);
            if (map.size() != n || !frame->CreateDisparityMap(kNaN)) {
                continue;
            }
            for (size_t p = 0; p < n; p++) {
                frame->SetDisparity(static_cast<int>(p % W), static_cast<int>(p / W), map[p]);
            }
        }
    }

    // Writes the frame's map and its files; true when everything was written.
    // The confidence file comes from `marks` (PixelMark per pixel; 0 without them).
    bool Output(int i, const std::vector<float>& disparity, const std::vector<uint8_t>& marks,
                int labelType) {
        CZelVideoFrame* frame = sequence.GetFrame(i);
        const int W = CZelVideoFrame::GetWorkingWidth();
        const int H = CZelVideoFrame::GetWorkingHeight();
        if (frame->dspImg == nullptr || frame->dspImg->GetWidth() != W ||
            frame->dspImg->GetHeight() != H) {
            if (!frame->CreateDisparityMap(kNaN)) {
                Note(report.unwrittenFiles, i,
                     "ERROR: Can not allocate a depth map of " + std::to_string(W) + " x " +
                         std::to_string(H) + " for frame " + std::to_string(i));
                return false;
            }
        }
        for (int y = 0; y < H; y++) {
            for (int x = 0; x < W; x++) {
                frame->SetDisparity(x, y, disparity[static_cast<size_t>(y) * W + x]);
            }
        }
        if (!stages.GetOptions().writeFiles) {
            return true;
        }
        std::lock_guard<std::mutex> lock(fileMutex);
        bool written = true;
        std::string error;
        if (!frame->WriteDepthFile(error)) {
            Note(report.unwrittenFiles, i, error);
            written = false;
        }
        // The initialisation's map under a name of its own: the bundle optimisation reads it
        // from there after the depth file holds its own result (shards, resumed runs).
        if (labelType == 0 && !WriteFloatFile(InitMapPath(i), disparity, error)) {
            Note(report.unwrittenFiles, i,
                 "ERROR: Can not write " + InitMapPath(i) + " (" + error + ")");
            written = false;
        }
        ZImage<float> sure(W, H, 1);
        for (int y = 0; y < H; y++) {
            for (int x = 0; x < W; x++) {
                const size_t p = static_cast<size_t>(y) * W + x;
                sure.At(x, y, 0) =
                    marks.size() == disparity.size() ? MarkConfidence(marks[p]) : 0.0f;
            }
        }
        if (!frame->WriteConfidenceFile(sure, error)) {
            Note(report.unwrittenFiles, i, error);
            written = false;
        }
        ZImage<int> labels(W, H, 1);
        for (int y = 0; y < H; y++) {
            for (int x = 0; x < W; x++) {
                const float d = disparity[static_cast<size_t>(y) * W + x];
                int l = std::isfinite(d)
                            ? static_cast<int>(std::lround((d - sweep.dmin) / sweep.step))
                            : 0;
                labels.At(x, y, 0) = std::min(std::max(l, 0), sweep.L - 1);
            }
        }
        if (!frame->WriteLabelImage(&labels, labelType, sweep.L, error)) {
            Note(report.unwrittenFiles, i, error);
            written = false;
        }
        if (!frame->WriteDisparityImage(labelType, sweep.dmin, sweep.Level(sweep.L - 1), error)) {
            Note(report.unwrittenFiles, i, error);
            written = false;
        }
        return written;
    }

    static std::string InitMapPath(int i) {
        return CZelVideoFrame::dataDir + "_init" + std::to_string(i) + ".raw";
    }

    const CReferenceStages& stages;
    CZelVideoSequence& sequence;
    int first;
    int last;
    ZelStepJournal* journal;
    const std::atomic<bool>* stop = nullptr;
    Sweep sweep{};
    std::vector<std::vector<int>> neighbours;  // per span frame
    std::vector<std::vector<float>> maps;      // per span frame: its map of the current step
    std::atomic<int> next{0};
    std::unique_ptr<ImageCache> cache;
    std::unique_ptr<MapCache> mapCache;
    std::vector<std::vector<int>> mapInputs;  // per span frame: whose maps it reads (on disk)
    int loads = 0;
    int lines = 0;  // progress lines reported
    int threads = 1;
    std::vector<Worker> workers;
    std::mutex reportMutex;
    std::mutex fileMutex;
    std::function<void(const ZelStageProgress&)> progressFn;
    ZelStageTimes times;
    ZelStageReport& report;
};

// A frame whose own picture is missing: every pixel is NaN.
bool Unusable(const FrameSet& fs) {
    const int W = CZelVideoFrame::GetWorkingWidth();
    const int H = CZelVideoFrame::GetWorkingHeight();
    return fs.ref->w != W || fs.ref->h != H || W <= 0 || H <= 0;
}

// The maps of `committed` become the frames' own; then each frame of the step computes the
// mean of its own disparity and those its confirming neighbours give back, so that the maps'
// independent errors average out. With markMissing, pixels that no neighbour confirms and at
// least kContradictions neighbours contradict become NaN: a pixel that no neighbour can check
// (outside their pictures, or hidden) keeps its estimate, and one neighbour's own error alone
// does not remove it. confirmed receives, per frame, the pixels at least kPlaneConfirmations
// neighbours confirm, with each pixel's confidence (PixelMark). Frames the journal holds are read
// back.
void FuseWithNeighbours(StageRun& run, const ZelStepPlan& step, const std::string& previous,
                        const std::vector<int>& committed, bool markMissing,
                        std::vector<std::vector<uint8_t>>& confirmed) {
    CZelVideoSequence& sequence = run.sequence;
    const int first = run.first;
    const int last = run.last;
    const int W = CZelVideoFrame::GetWorkingWidth();
    const int H = CZelVideoFrame::GetWorkingHeight();
    const size_t n = static_cast<size_t>(W) * H;
    confirmed.assign(static_cast<size_t>(last - first + 1), std::vector<uint8_t>());
    const int limit = run.stages.GetOptions().refineNeighbours;
    if (run.OnDisk()) {
        run.BeginMaps(previous, step.compute,
                      [&](int i) { return FuseNeighbours(run.Neighbours(i), limit, first, last); });
    } else {
        run.Commit(committed);
    }
    // Frames of a step shorter than the thread count check their pixels on several threads.
    const int inner = InnerThreads(run.threads, static_cast<int>(step.compute.size()));
    ParallelInOrder(
        static_cast<int>(step.compute.size()), run.threads, run.next,
        [&](int k, int) {
            const double t0 = ThreadSeconds();
            const int i = step.compute[static_cast<size_t>(k)];
            run.TakeOwn(previous, i, nullptr);
            run.AcquireMaps(i);
            const double tc = ThreadSeconds();
            double checkSamples = 0.0;
            std::vector<float>& map = run.Map(i);
            std::vector<uint8_t>& confirmedHere = confirmed[static_cast<size_t>(i - first)];
            if (map.size() == n) {
                FrameSet fs;
                fs.index = i;
                auto grey = std::make_shared<Grey>();
                grey->w = W;
                grey->h = H;
                fs.ref = grey;
                const CCamera& cam = *sequence.GetFrame(i)->camera;
                for (int j : FuseNeighbours(run.Neighbours(i), limit, first, last)) {
                    fs.nb.push_back(j);
                    fs.rel.push_back(
                        MakeRelative(cam, *sequence.GetFrame(j)->camera, CZelVideoFrame::reduced));
                    fs.nbMap.push_back(sequence.GetFrame(j));
                }
                std::vector<uint8_t> agree;
                std::vector<uint8_t> disagree;
                std::vector<double> fused;
                checkSamples += Consistency(fs, map, run.sweep, agree, disagree, &fused, inner);
                std::vector<uint8_t> contradicted(n, 0);
                for (size_t p = 0; p < n; p++) {
                    contradicted[p] = agree[p] == 0 && disagree[p] >= kContradictions ? 1 : 0;
                }
                // A contradicted pixel first tries the disparity filled in along its row from the
                // pixels that stand; it becomes NaN only when the neighbours contradict that
                // too. Pixels near the picture's edge that the neighbours do not see at their
                // true depth keep an estimate this way instead of being blanked for a wrong one.
                std::vector<float> filled;
                if (markMissing) {
                    filled = map;
                    std::vector<uint8_t> standing(n);
                    for (size_t p = 0; p < n; p++) {
                        standing[p] = contradicted[p] == 0 && std::isfinite(map[p]) ? 1 : 0;
                    }
                    FillUnreliable(W, H, standing, filled);
                    std::vector<uint8_t> agreeFilled;
                    std::vector<uint8_t> disagreeFilled;
                    checkSamples += Consistency(fs, filled, run.sweep, agreeFilled, disagreeFilled,
                                                nullptr, inner);
                    for (size_t p = 0; p < n; p++) {
                        if (contradicted[p] && std::isfinite(filled[p]) &&
                            (agreeFilled[p] > 0 || disagreeFilled[p] < kContradictions)) {
                            contradicted[p] = 0;
                            map[p] = filled[p];
                            agree[p] = 0;
                        }
                    }
                }
                confirmedHere.resize(n);
                for (size_t p = 0; p < n; p++) {
                    const float sure =
                        markMissing && contradicted[p] ? 0.0f : Confidence(agree[p], disagree[p]);
                    confirmedHere[p] = PixelMark(agree[p] >= kPlaneConfirmations, sure);
                }
                for (size_t p = 0; p < n; p++) {
                    if (markMissing && contradicted[p]) {
                        map[p] = kNaN;
                    } else if (agree[p] > 0) {
                        map[p] = static_cast<float>((map[p] + fused[p]) / (1.0 + agree[p]));
                    }
                }
            }
            const double tk = ThreadSeconds();
            run.ReleaseMaps(i);
            run.Keep(step.name.c_str(), i, map, &confirmedHere);
            if (run.OnDisk()) {
                run.Drop(i);
                std::vector<uint8_t>().swap(confirmedHere);
            }
            std::lock_guard<std::mutex> lock(run.reportMutex);
            const double checks = tk - tc;
            run.times.checks += checks;
            run.times.checkSamples += checkSamples;
            run.times.rest += ThreadSeconds() - t0 - checks;
        },
        run.stop);
    run.EndPhase();
    // Read back only now: the frames above read their neighbours' maps of the step before.
    run.LoadStep(step, &confirmed);
}

// Frame i's map gets the planes of its colour segments (see FitSegmentPlanes), chosen by the
// confirmed pixels: the others (hidden in most views, outside their pictures, or filled) take
// the plane of the confirmed ones in their segment. The colour image is read again and
// released afterwards unless it was loaded before.
void FitPlanes(StageRun& run, int i, std::vector<float>& map, const std::vector<uint8_t>& confirmed,
               std::mutex& loading) {
    const ZelStageOptions& o = run.stages.GetOptions();
    const int W = CZelVideoFrame::GetWorkingWidth();
    const int H = CZelVideoFrame::GetWorkingHeight();
    const size_t n = static_cast<size_t>(W) * H;
    if (o.planeScale <= 0 || map.size() != n) {
        return;
    }
    CZelVideoFrame* frame = run.sequence.GetFrame(i);
    std::vector<float> rgb;
    {
        std::lock_guard<std::mutex> lock(loading);
        const bool loaded = frame->colorImg != nullptr;
        frame->LoadColorImage();
        if (frame->colorImg != nullptr && frame->colorImg->GetWidth() == W &&
            frame->colorImg->GetHeight() == H) {
            rgb.resize(3 * n);
            Vector3d c;
            for (size_t p = 0; p < n; p++) {
                frame->GetColor(static_cast<double>(p % W), static_cast<double>(p / W), c);
                for (int ch = 0; ch < 3; ch++) {
                    rgb[3 * p + ch] = static_cast<float>(c[ch]);
                }
            }
        }
        if (!loaded) {
            frame->ReleaseColorImage();
        }
    }
    if (!rgb.empty()) {
        Deblock(rgb, W, H, 3, kDeblockStep);
        int count = 0;
        const std::vector<int> segment =
            SegmentColours(W, H, rgb, static_cast<float>(o.planeScale), o.planeMinSize, count);
        ZelPlaneFit fit;
        fit.seed = static_cast<uint32_t>(i) + 1u;
        std::vector<uint8_t> checked(confirmed.size());
        for (size_t p = 0; p < checked.size(); p++) {
            checked[p] = MarkConfirmed(confirmed[p]) ? 1 : 0;
        }
        FitSegmentPlanes(W, segment, count, fit, map, &checked);
    }
}

// The end of either stage: each frame of the step fits its planes and is written with its
// outputs (a map that could not be made is written as missing) and recorded as done; then the
// run's times are added to total.
void FinishStage(StageRun& run, const ZelStepPlan& step, const std::string& previous,
                 std::vector<std::vector<uint8_t>>& confirmed, int labelType, double pixelLevels,
                 ZelStageTimes& total) {
    run.EndPhase();
    const size_t pixels = static_cast<size_t>(CZelVideoFrame::GetWorkingWidth()) *
                          static_cast<size_t>(CZelVideoFrame::GetWorkingHeight());
    std::mutex loading;
    // A run of the stage's last steps alone (zel_recover --until, or resumed after the steps
    // before) has reported no frame yet: its lines are named after the fusion.
    const bool quiet = run.lines == 0;
    int done = 0;
    ParallelInOrder(
        static_cast<int>(step.compute.size()), run.threads, run.next,
        [&](int k, int) {
            const Clock::time_point started = Clock::now();
            const double t0 = ThreadSeconds();
            const int i = step.compute[static_cast<size_t>(k)];
            std::vector<uint8_t>& mask = confirmed[static_cast<size_t>(i - run.first)];
            run.TakeOwn(previous, i, &mask);
            std::vector<float>& map = run.Map(i);
            const double tp = ThreadSeconds();
            FitPlanes(run, i, map, mask, loading);
            const double planeFit = ThreadSeconds() - tp;
            const bool written = run.Output(
                i, map.size() == pixels ? map : std::vector<float>(pixels, kNaN), mask, labelType);
            if (run.OnDisk()) {
                // The map is in its files now.
                CZelVideoFrame* frame = run.sequence.GetFrame(i);
                delete frame->dspImg;
                frame->dspImg = nullptr;
                run.Drop(i);
                std::vector<uint8_t>().swap(mask);
            }
            if (written && run.journal != nullptr) {
                run.journal->MarkDone(step.name, i);
            }
            if (quiet) {
                run.Report(previous.c_str(), done, static_cast<int>(step.compute.size()), i,
                           Seconds(started));
            }
            std::lock_guard<std::mutex> lock(run.reportMutex);
            run.times.planeFit += planeFit;
            run.times.rest += ThreadSeconds() - t0 - planeFit;
        },
        run.stop);
    total.costVolume += run.times.costVolume;
    total.aggregation += run.times.aggregation;
    total.refinement += run.times.refinement;
    total.checks += run.times.checks;
    total.planeFit += run.times.planeFit;
    total.rest += run.times.rest;
    total.samples += run.times.samples;
    total.refineSamples += run.times.refineSamples;
    total.checkSamples += run.times.checkSamples;
    total.pixelLevels += pixelLevels;
    total.imageLoads += run.loads;
}

// After a stage: frames of the span that were not among its outputs give up the intermediate
// maps they were given for their neighbours, so that they hold no map rather than a wrong one.
void ReleaseIntermediateMaps(StageRun& run, const ZelStagePlan& plan) {
    std::vector<uint8_t> output(static_cast<size_t>(run.last - run.first + 1), 0);
    for (int i : plan.steps.back().compute) {
        output[static_cast<size_t>(i - run.first)] = 1;
    }
    std::vector<int> touched = plan.reads;
    for (const ZelStepPlan& step : plan.steps) {
        const std::vector<int> frames = StepFrames(step);
        touched.insert(touched.end(), frames.begin(), frames.end());
    }
    for (int i : touched) {
        if (!output[static_cast<size_t>(i - run.first)]) {
            run.sequence.GetFrame(i)->ReleaseMaps();
        }
    }
}

}  // namespace

CReferenceStages::CReferenceStages(const ZelStageOptions& opts) : options(opts) {}

bool CReferenceStages::SpanOf(const CZelVideoSequence& sequence, int first, int last, int& sFirst,
                              int& sLast, std::string* problem) const {
    sFirst = first;
    sLast = last;
    if (spanFirst >= 0 && spanLast >= spanFirst) {
        sFirst = std::max(spanFirst, 0);
        sLast = std::min(spanLast, sequence.GetFrameCount() - 1);
    }
    if (first < sFirst || last > sLast) {
        if (problem != nullptr) {
            *problem = "ERROR: frames " + std::to_string(first) + ":" + std::to_string(last) +
                       " do not lie within the run's frames " + std::to_string(sFirst) + ":" +
                       std::to_string(sLast);
        }
        return false;
    }
    return true;
}

ZelStagePlan CReferenceStages::Plan(const CZelVideoSequence& sequence, bool optimise, int first,
                                    int last) const {
    ZelStagePlan plan;
    int sFirst = 0;
    int sLast = -1;
    first = std::max(first, 0);
    last = std::min(last, sequence.GetFrameCount() - 1);
    if (last < first || !SpanOf(sequence, first, last, sFirst, sLast)) {
        return plan;
    }
    std::vector<std::string> names;
    if (optimise) {
        for (int p = 1; p <= options.passes; p++) {
            names.push_back("bo" + std::to_string(p));
        }
        names.push_back("bofuse");
        names.push_back("bo");
    } else {
        names = {"sweep", "refine", "fuse", "init"};
    }
    const int steps = static_cast<int>(names.size());
    // The steps planned: up to the SetUntil step when it is one of this stage's (the fusion is
    // not one to stop at: the last step reads its mask, and nothing else does).
    int planned = steps;
    for (int s = 0; s < steps - 2; s++) {
        if (names[static_cast<size_t>(s)] == until) {
            planned = s + 1;
        }
    }
    const std::vector<std::vector<int>> lists = NeighbourLists(*this, sequence, sFirst, sLast);
    // The frames whose result of the step before (or, for the first step of the optimisation,
    // whose initialisation map) step s of frame i reads.
    auto inputs = [&](int s, int i) {
        const std::vector<int>& list = lists[static_cast<size_t>(i - sFirst)];
        std::vector<int> in;
        if (s == steps - 1) {
            in.push_back(i);  // the last step fits planes to the frame's own fused map
        } else if (s == steps - 2) {
            in = FuseNeighbours(list, options.refineNeighbours, sFirst, sLast);
            in.push_back(i);
        } else if (optimise) {
            in = OpenNeighbours(list, options.neighbours, sFirst, sLast);
            if (!options.boSweep) {
                in.push_back(i);  // each pass refines the frame's map of the pass before
            }
        } else if (s == 1) {
            in = OpenNeighbours(list, options.refineNeighbours, sFirst, sLast);
            in.push_back(i);
        }
        return in;
    };
    // From the outputs back to the first step: a frame whose result the journal holds is read
    // back, any other is computed and needs its inputs.
    std::vector<uint8_t> need(static_cast<size_t>(sLast - sFirst + 1), 0);
    for (int i = first; i <= last; i++) {
        need[static_cast<size_t>(i - sFirst)] = 1;
    }
    plan.steps.resize(static_cast<size_t>(planned));
    for (int s = planned - 1; s >= 0; s--) {
        ZelStepPlan& step = plan.steps[static_cast<size_t>(s)];
        step.name = names[static_cast<size_t>(s)];
        std::vector<uint8_t> before(need.size(), 0);
        for (size_t k = 0; k < need.size(); k++) {
            if (!need[k]) {
                continue;
            }
            const int i = sFirst + static_cast<int>(k);
            if (journal != nullptr && journal->Done(step.name, i)) {
                if (s != steps - 1) {
                    step.load.push_back(i);
                }
                continue;
            }
            step.compute.push_back(i);
            for (int j : inputs(s, i)) {
                before[static_cast<size_t>(j - sFirst)] = 1;
            }
        }
        need.swap(before);
    }
    if (optimise) {
        for (size_t k = 0; k < need.size(); k++) {
            if (need[k]) {
                plan.reads.push_back(sFirst + static_cast<int>(k));
            }
        }
    }
    return plan;
}

bool CReferenceStages::CheckOptions(const ZelStageOptions& o, std::string& message) {
    for (const ZelStageOptionInfo& info : StageOptionTable()) {
        if (!StageOptionAccepted(info, StageOptionValue(info, o))) {
            message = StageOptionProblem(info);
            return false;
        }
    }
    if (!(o.minDisparity >= 0.0) || !(o.maxDisparity > o.minDisparity) ||
        !std::isfinite(o.maxDisparity)) {
        message = "ERROR: the disparity range is empty or not finite";
        return false;
    }
    return true;
}

std::vector<int> CReferenceStages::Neighbours(const CZelVideoSequence& sequence, int i) const {
    return Neighbours(sequence, i, options.neighbours);
}

std::vector<int> CReferenceStages::Neighbours(const CZelVideoSequence& sequence, int i,
                                              int limit) const {
    std::vector<int> result;
    const int N = sequence.GetFrameCount();
    const CCamera& ci = *sequence.GetFrame(i)->camera;
    double k[4];
    Intrinsics(ci, CZelVideoFrame::reduced, k);
    for (int dist = 1; dist < N && static_cast<int>(result.size()) < limit; dist++) {
        for (int side = -1; side <= 1 && static_cast<int>(result.size()) < limit; side += 2) {
            const int j = i + side * dist;
            if (j < 0 || j >= N) {
                continue;
            }
            const CCamera& cj = *sequence.GetFrame(j)->camera;
            const double dx = ci.T[0] - cj.T[0];
            const double dy = ci.T[1] - cj.T[1];
            const double dz = ci.T[2] - cj.T[2];
            // The nearest point must move by a share of the picture width: frames closer than
            // that cannot tell depths apart precisely.
            const double parallax =
                std::fabs(k[0]) * std::sqrt(dx * dx + dy * dy + dz * dz) * options.maxDisparity;
            if (!(parallax >= options.minParallax * CZelVideoFrame::GetWorkingWidth())) {
                continue;
            }
            result.push_back(j);
        }
    }
    return result;
}

bool CReferenceStages::ClampRange(const CZelVideoSequence& sequence, int& first, int& last,
                                  int& sFirst, int& sLast) {
    first = std::max(first, 0);
    last = std::min(last, sequence.GetFrameCount() - 1);
    if (last < first) {
        return false;
    }
    std::string message;
    if (CheckOptions(options, message) && SpanOf(sequence, first, last, sFirst, sLast, &message)) {
        return true;
    }
    if (std::find(report.refusedRuns.begin(), report.refusedRuns.end(), message) ==
        report.refusedRuns.end()) {
        report.refusedRuns.push_back(message);
        if (progress) {
            static const std::string kNoFrame;
            progress(ZelStageProgress{"", 0, 0, -1, &kNoFrame, 0.0, &message});
        }
    }
    return false;
}

void CReferenceStages::Init(CZelVideoSequence& sequence, int first, int last) {
    int sFirst = 0;
    int sLast = -1;
    if (Stopped() || !ClampRange(sequence, first, last, sFirst, sLast)) {
        return;
    }
    const ZelStagePlan plan = Plan(sequence, false, first, last);
    const ZelStepPlan& sweepStep = plan.steps[0];
    const ZelStepPlan& refineStep = plan.steps[1];
    StageRun run(*this, sequence, sFirst, sLast, report, journal);
    run.progressFn = progress;
    run.stop = stop;
    const int r = options.windowRadius;
    const int rr = options.refineRadius;
    std::vector<double> sweepSeconds(static_cast<size_t>(sLast - sFirst + 1), 0.0);

    // First every frame's swept map, then the check against the neighbours' maps.
    int swept = 0;
    run.LoadStep(sweepStep, nullptr);
    run.BeginPhase(sweepStep.compute, options.neighbours);
    ParallelInOrder(
        static_cast<int>(sweepStep.compute.size()), run.threads, run.next,
        [&](int k, int worker) {
            const Clock::time_point t0 = Clock::now();
            const double c0 = ThreadSeconds();
            const int i = sweepStep.compute[static_cast<size_t>(k)];
            FrameSet fs =
                run.Open(i, options.neighbours,
                         InnerThreads(run.threads, static_cast<int>(sweepStep.compute.size())));
            FrameTimes ft;
            std::vector<float>& map = run.Map(i);
            if (Unusable(fs)) {
                map.clear();
            } else {
                Worker& w = run.workers[static_cast<size_t>(worker)];
                w.inner = InnerThreads(run.threads, static_cast<int>(sweepStep.compute.size()));
                PrepareReference(fs, r, w);
                SweepFrame(fs, run.sweep, false, r, w, map, ft);
            }
            run.Close(fs);
            run.Keep("sweep", i, map, nullptr);
            run.Drop(i);
            sweepSeconds[static_cast<size_t>(i - sFirst)] = Seconds(t0);
            run.AddTimes(ft, ThreadSeconds() - c0);
            if (plan.steps.size() == 1) {  // the sweep alone: its own progress lines
                run.Report("sweep", swept, static_cast<int>(sweepStep.compute.size()), i,
                           sweepSeconds[static_cast<size_t>(i - sFirst)]);
            }
        },
        stop);
    if (Stopped() || plan.steps.size() == 1) {
        return;  // or run up to the sweep only
    }
    for (int i : run.OnDisk() ? std::vector<int>() : StepFrames(sweepStep)) {
        const std::vector<float>& map = run.Map(i);
        CZelVideoFrame* frame = sequence.GetFrame(i);
        if (map.empty()) {
            frame->CreateDisparityMap(kNaN);
            continue;
        }
        if (frame->CreateDisparityMap(0.0f)) {
            const int W = CZelVideoFrame::GetWorkingWidth();
            for (size_t p = 0; p < map.size(); p++) {
                frame->SetDisparity(static_cast<int>(p % W), static_cast<int>(p / W), map[p]);
            }
        }
    }
    int done = 0;
    const int total = static_cast<int>(refineStep.compute.size());
    run.BeginPhase(refineStep.compute, options.refineNeighbours);
    run.BeginMaps("sweep", refineStep.compute, [&](int i) {
        return OpenNeighbours(run.Neighbours(i), options.refineNeighbours, sFirst, sLast);
    });
    ParallelInOrder(
        total, run.threads, run.next,
        [&](int k, int worker) {
            const Clock::time_point t0 = Clock::now();
            const double c0 = ThreadSeconds();
            const int i = refineStep.compute[static_cast<size_t>(k)];
            run.TakeOwn("sweep", i, nullptr);
            run.AcquireMaps(i);
            std::vector<float>& map = run.Map(i);
            FrameSet fs = run.Open(i, options.refineNeighbours, InnerThreads(run.threads, total));
            FrameTimes ft;
            if (!map.empty() && !Unusable(fs)) {
                Worker& w = run.workers[static_cast<size_t>(worker)];
                w.inner = InnerThreads(run.threads, total);
                std::vector<uint8_t> agree;
                std::vector<uint8_t> disagree;
                const double tc = ThreadSeconds();
                ft.checkSamples +=
                    Consistency(fs, map, run.sweep, agree, disagree, nullptr, w.inner);
                std::vector<uint8_t> reliable(map.size());
                for (size_t p = 0; p < map.size(); p++) {
                    // Confirmed by a neighbour and contradicted by no more than confirm it: the
                    // halo that the window spreads beside a near edge is confirmed by the
                    // neighbours on its own side but contradicted by those on the other.
                    reliable[p] = agree[p] > 0 && disagree[p] <= agree[p] ? 1 : 0;
                }
                FillUnreliable(fs.ref->w, fs.ref->h, reliable, map);
                const double tr = ThreadSeconds();
                ft.checks += tr - tc;
                PrepareReference(fs, rr, w);
                PrepareWide(fs, options.wideRadius, w);
                ft.refineSamples += Refine(fs, run.sweep, false, rr, kInitRefineRounds, w, map);
                w.wideR = 0;
                ft.refinement += ThreadSeconds() - tr;
            }
            run.Close(fs);
            run.ReleaseMaps(i);
            run.Keep("refine", i, map, nullptr);
            run.Drop(i);
            const double seconds = Seconds(t0);
            run.AddTimes(ft, ThreadSeconds() - c0);
            run.Report("init", done, total, i,
                       sweepSeconds[static_cast<size_t>(i - sFirst)] + seconds);
        },
        stop);
    run.EndPhase();
    if (Stopped()) {
        return;
    }
    run.Discard("sweep");
    if (plan.steps.size() == 2) {
        return;  // run up to the refinement only
    }
    // Read back only now: the check above reads the neighbours' swept maps.
    run.LoadStep(refineStep, nullptr);
    // The refined maps replace the swept ones only now, for the same reason.
    std::vector<std::vector<uint8_t>> confirmed;
    FuseWithNeighbours(run, plan.steps[2], "refine", StepFrames(refineStep), false, confirmed);
    if (Stopped()) {
        return;
    }
    run.Discard("refine");
    FinishStage(run, plan.steps[3], "fuse", confirmed, 0,
                static_cast<double>(sweepStep.compute.size()) * CZelVideoFrame::GetWorkingWidth() *
                    CZelVideoFrame::GetWorkingHeight() * options.levels,
                times);
    if (!Stopped()) {
        run.Discard("fuse", &plan.steps[3]);
    }
    ReleaseIntermediateMaps(run, plan);
}

void CReferenceStages::Optimise(CZelVideoSequence& sequence, int first, int last) {
    int sFirst = 0;
    int sLast = -1;
    if (Stopped() || options.passes == 0 || !ClampRange(sequence, first, last, sFirst, sLast)) {
        return;
    }
    const ZelStagePlan plan = Plan(sequence, true, first, last);
    StageRun run(*this, sequence, sFirst, sLast, report, journal);
    run.progressFn = progress;
    run.stop = stop;
    const int r = options.windowRadius;
    const int rr = options.refineRadius;
    const int W = CZelVideoFrame::GetWorkingWidth();
    const int H = CZelVideoFrame::GetWorkingHeight();
    const size_t n = static_cast<size_t>(W) * H;
    double pixelLevels = 0.0;

    // The initialisation's maps: those of this run are the frames' own; the others (another
    // shard's, or an earlier run's when resuming) are read from their files.
    for (int i : run.OnDisk() ? std::vector<int>() : plan.reads) {
        CZelVideoFrame* frame = sequence.GetFrame(i);
        if (frame->dspImg != nullptr && frame->dspImg->GetWidth() == W &&
            frame->dspImg->GetHeight() == H) {
            continue;
        }
        std::vector<float> map;
        std::string error;
        if (!ReadFloatFile(StageRun::InitMapPath(i), n, false, map, error)) {
            run.Note(report.unreadFrames, i, error + " (the initialisation's map; run it first)");
            continue;
        }
        run.Map(i).swap(map);
        run.Commit({i});
        run.Map(i).clear();
    }

    // Up to a pass only: the plan ends with it.
    const int passes = std::min(options.passes, static_cast<int>(plan.steps.size()));
    for (int pass = 1; pass <= passes; pass++) {
        const ZelStepPlan& step = plan.steps[static_cast<size_t>(pass - 1)];
        int done = 0;
        const int total = static_cast<int>(step.compute.size());
        run.LoadStep(step, nullptr);
        run.BeginPhase(step.compute, options.neighbours);
        run.BeginMaps(pass == 1 ? "_init" : "bo" + std::to_string(pass - 1), step.compute,
                      [&](int i) {
                          std::vector<int> in =
                              OpenNeighbours(run.Neighbours(i), options.neighbours, sFirst, sLast);
                          if (!options.boSweep) {
                              in.push_back(i);  // the pass refines the frame's own map
                          }
                          return in;
                      });
        ParallelInOrder(
            total, run.threads, run.next,
            [&](int k, int worker) {
                const Clock::time_point t0 = Clock::now();
                const double c0 = ThreadSeconds();
                const int i = step.compute[static_cast<size_t>(k)];
                run.AcquireMaps(i);
                FrameSet fs = run.Open(i, options.neighbours, InnerThreads(run.threads, total));
                FrameTimes ft;
                std::vector<float>& map = run.Map(i);
                map.clear();
                if (!Unusable(fs)) {
                    Worker& w = run.workers[static_cast<size_t>(worker)];
                    w.inner = InnerThreads(run.threads, total);
                    // The pass starts from the frame's map of the pass before (the
                    // initialisation's for the first), or, when sweeping again or without that
                    // map, from a sweep with the neighbours' maps in the cost.
                    const CZelVideoFrame* own = sequence.GetFrame(i);
                    if (!options.boSweep && own->dspImg != nullptr &&
                        own->dspImg->GetWidth() == W && own->dspImg->GetHeight() == H) {
                        map.resize(n);
                        for (size_t p = 0; p < n; p++) {
                            map[p] = own->dspImg->At(static_cast<int>(p % W),
                                                     static_cast<int>(p / W), 0);
                        }
                    } else {
                        PrepareReference(fs, r, w);
                        SweepFrame(fs, run.sweep, true, r, w, map, ft);
                    }
                    // Pixels that no neighbour sees at their disparity got it from the
                    // aggregation alone: they take it from the seen pixels beside them instead.
                    const double tc = ThreadSeconds();
                    FillUnreliable(W, H, SeenByNeighbours(fs, map, w.inner), map);
                    const double tr = ThreadSeconds();
                    ft.checks += tr - tc;
                    PrepareReference(fs, rr, w);
                    ft.refineSamples +=
                        Refine(fs, run.sweep, true, rr, kOptimiseRefineRounds, w, map);
                    ft.refinement += ThreadSeconds() - tr;
                }
                run.Close(fs);
                run.ReleaseMaps(i);
                run.Keep(step.name.c_str(), i, map, nullptr);
                run.Drop(i);
                const double seconds = Seconds(t0);
                run.AddTimes(ft, ThreadSeconds() - c0);
                run.Report(step.name.c_str(), done, total, i, seconds);
            },
            stop);
        run.EndPhase();
        if (Stopped()) {
            return;
        }
        if (pass > 1) {
            run.Discard("bo" + std::to_string(pass - 1));
        }
        if (options.boSweep) {
            pixelLevels += static_cast<double>(total) * static_cast<double>(n) * options.levels;
        }
        if (pass == static_cast<int>(plan.steps.size())) {
            return;
        }
        // Every frame of the pass saw the previous maps; now the new ones take their place
        // (the last pass's, in the fusion).
        if (pass < options.passes && !run.OnDisk()) {
            run.Commit(StepFrames(step));
        }
    }

    std::vector<std::vector<uint8_t>> confirmed;
    const ZelStepPlan& lastPass = plan.steps[static_cast<size_t>(options.passes - 1)];
    FuseWithNeighbours(run, plan.steps[static_cast<size_t>(options.passes)], lastPass.name,
                       StepFrames(lastPass), true, confirmed);
    if (Stopped()) {
        return;
    }
    run.Discard(lastPass.name);
    FinishStage(run, plan.steps.back(), "bofuse", confirmed, 1, pixelLevels, times);
    if (!Stopped()) {
        run.Discard("bofuse", &plan.steps.back());
    }
    ReleaseIntermediateMaps(run, plan);
}

double CReferenceStages::SampleSweepPositions(CZelVideoSequence& sequence, int i) const {
    const std::vector<int> nb = Neighbours(sequence, i);
    const int W = CZelVideoFrame::GetWorkingWidth();
    const int H = CZelVideoFrame::GetWorkingHeight();
    const double step = (options.maxDisparity - options.minDisparity) / (options.levels - 1);
    const CCamera& cam = *sequence.GetFrame(i)->camera;
    double sum = 0.0;
    Vector3d rgb;
    for (int j : nb) {
        CZelVideoFrame* frame = sequence.GetFrame(j);
        frame->LoadColorImage();
        if (frame->colorImg == nullptr || frame->colorImg->GetWidth() != W ||
            frame->colorImg->GetHeight() != H) {
            continue;
        }
        const Relative rel = MakeRelative(cam, *frame->camera, CZelVideoFrame::reduced);
        for (int l = 0; l < options.levels; l++) {
            const double d = options.minDisparity + l * step;
            for (int y = 0; y < H; y++) {
                for (int x = 0; x < W; x++) {
                    const double q0 = rel.M[0] * x + rel.M[1] * y + rel.M[2] + d * rel.e[0];
                    const double q1 = rel.M[3] * x + rel.M[4] * y + rel.M[5] + d * rel.e[1];
                    const double q2 = rel.M[6] * x + rel.M[7] * y + rel.M[8] + d * rel.e[2];
                    double u = q2 > 1e-9 ? q0 / q2 : 0.0;
                    double v = q2 > 1e-9 ? q1 / q2 : 0.0;
                    u = std::min(std::max(u, 0.0), W - 1.0);
                    v = std::min(std::max(v, 0.0), H - 1.0);
                    frame->GetColor(u, v, rgb);
                    sum += rgb[0];
                }
            }
        }
    }
    for (int j : nb) {
        sequence.GetFrame(j)->ReleaseColorImage();
    }
    return sum;
}

bool EstimateSweepRange(const CZelVideoSequence& sequence, const CTrackFileParser& parser,
                        double& minDisparity, double& maxDisparity) {
    const double estimate = sequence.EstimateMaxDisparity(parser);
    if (!(estimate > 0.0) || !std::isfinite(estimate)) {
        return false;
    }
    minDisparity = 0.0;
    maxDisparity = estimate;
    return true;
}
