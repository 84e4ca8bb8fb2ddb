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
    ImageCache(CZelVideoSequence& seq, std::vector<int> lastUser, std::atomic<int>& dispatched);

    // Loads the picture the first time it is asked for; other frames' pictures load meanwhile
    // (each entry loads once, outside the cache's lock), and a second caller of the same picture
    // waits for the first.
    std::shared_ptr<const Grey> Acquire(int i);

    void Release(int i);

    // Releases whatever is left (frames whose last user failed early).
    void Clear();

    int Loads() const { return loads.load(); }

    std::function<void(int frame, const std::string& line)> unreadable;

  private:
    // Frame i's colour image as the working grey picture (empty when it cannot be read).
    std::shared_ptr<const Grey> Load(int i);

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
             std::atomic<int>& dispatched);
    ~MapCache();

    // false with the reason when the map could not be read.
    bool Acquire(int j, std::string& error);

    void Release(int j);

    void Clear();

  private:
    // Only the map: the image cache looks after the colour picture.
    static void Drop(CZelVideoFrame* frame);
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
