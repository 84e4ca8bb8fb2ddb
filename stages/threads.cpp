#include "stages/threads.h"

#include <algorithm>
#include <ctime>
#include <new>
#include <thread>
#include <vector>

namespace zelstages {

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

double ThreadSeconds() {
#if defined(CLOCK_THREAD_CPUTIME_ID)
    timespec now{};
    if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now) == 0) {
        return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
    }
#endif
    return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

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

int InnerThreads(int threads, int frames) {
    return frames >= threads ? 1 : threads / std::max(frames, 1);
}

void RowBands(int H, int threads, const std::function<void(int, int)>& fn) {
    const int T = std::max(1, std::min(threads, H));
    OnThreads(T, [&](int t) { fn(H * t / T, H * (t + 1) / T); });
}

void ParallelInOrder(int count, int threads, std::atomic<int>& next,
                     const std::function<void(int position, int worker)>& fn,
                     const std::atomic<bool>* stop,
                     const std::function<void(int position)>& outOfMemory) {
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
            // A position whose work does not fit in memory is handed to outOfMemory; the other
            // positions go on.
            try {
                fn(position, worker);
            } catch (const std::bad_alloc&) {
                if (outOfMemory) {
                    outOfMemory(position);
                }
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

}  // namespace zelstages
