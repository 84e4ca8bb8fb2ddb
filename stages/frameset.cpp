#include "stages/frameset.h"

#include <algorithm>

#include "stages/threads.h"

namespace zelstages {

void ShareReference(const ReferenceStats& from, ReferenceStats& to) {
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

bool Unusable(const FrameSet& fs) {
    const int W = CZelVideoFrame::GetWorkingWidth();
    const int H = CZelVideoFrame::GetWorkingHeight();
    return fs.ref->w != W || fs.ref->h != H || W <= 0 || H <= 0;
}

void CopyIntoFrame(const std::vector<float>& map, CZelVideoFrame& frame) {
    const int W = CZelVideoFrame::GetWorkingWidth();
    const int H = CZelVideoFrame::GetWorkingHeight();
    for (int y = 0; y < H; y++) {
        for (int x = 0; x < W; x++) {
            frame.SetDisparity(x, y, map[static_cast<size_t>(y) * W + x]);
        }
    }
}

bool SetFrameMap(CZelVideoFrame& frame, const std::vector<float>& map, float fill) {
    if (!frame.CreateDisparityMap(fill)) {
        return false;
    }
    if (map.size() == static_cast<size_t>(CZelVideoFrame::GetWorkingWidth()) *
                          static_cast<size_t>(CZelVideoFrame::GetWorkingHeight())) {
        CopyIntoFrame(map, frame);
    }
    return true;
}

}  // namespace zelstages
