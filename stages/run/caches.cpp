#include "stages/run/caches.h"

#include <utility>

namespace zelstages {

ImageCache::ImageCache(CZelVideoSequence& seq, std::vector<int> lastUser,
                       std::atomic<int>& dispatched)
    : sequence(seq), lastUserRank(std::move(lastUser)), next(dispatched) {}

std::shared_ptr<const Grey> ImageCache::Acquire(int i) {
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

void ImageCache::Release(int i) {
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

void ImageCache::Clear() {
    std::lock_guard<std::mutex> lock(mutex);
    for (auto& e : entries) {
        sequence.GetFrame(e.first)->ReleaseColorImage();
    }
    entries.clear();
}

std::shared_ptr<const Grey> ImageCache::Load(int i) {
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

MapCache::MapCache(CZelVideoSequence& seq, Reader readMap, std::vector<int> lastUser,
                   std::atomic<int>& dispatched)
    : sequence(seq),
      read(std::move(readMap)),
      lastUserRank(std::move(lastUser)),
      next(dispatched) {}
MapCache::~MapCache() {
    Clear();
}

bool MapCache::Acquire(int j, std::string& error) {
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
    SetFrameMap(*frame, map, kNaN);
    return true;
}

void MapCache::Release(int j) {
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

void MapCache::Clear() {
    std::lock_guard<std::mutex> lock(mutex);
    for (auto& e : entries) {
        Drop(sequence.GetFrame(e.first));
    }
    entries.clear();
}

void MapCache::Drop(CZelVideoFrame* frame) {
    delete frame->dspImg;
    frame->dspImg = nullptr;
}

}  // namespace zelstages
