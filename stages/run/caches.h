// The pictures and maps shared by the frames in flight, each read once and released when no
// frame still to come needs it.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>
#include "sequence/videosequence.h"
#include "stages/evidence.h"
#include "stages/frameset.h"
#include "stages/tuning.h"

namespace zelstages {

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
        SetFrameMap(*frame, map, kNaN);
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

}  // namespace zelstages
