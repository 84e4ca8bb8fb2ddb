// Threads of the stages: frames in order on a pool, threads inside one frame, bands of rows,
// and the clocks the step times are measured with.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>

namespace zelstages {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since);

// Processor time of the calling thread, in seconds: the step times the stages add up count the
// work itself, not the waits of a machine shared with other work (wall time where the platform
// has no thread clock).
double ThreadSeconds();

// Runs fn(t) for t = 0 .. T - 1, each on a thread of its own (t = 0 on the calling thread).
void OnThreads(int T, const std::function<void(int)>& fn);

// The threads that help each frame of a phase of `frames` frames run on `threads` threads.
int InnerThreads(int threads, int frames);

// Runs fn(y0, y1) over bands of rows that together make 0 .. H - 1, on `threads` threads.
void RowBands(int H, int threads, const std::function<void(int, int)>& fn);

// Runs fn(position) for positions 0 .. count - 1 in order on `threads` workers; `next` counts the
// positions handed out. Once *stop is true no further position is started. A position whose
// work runs out of memory (std::bad_alloc) is handed to outOfMemory and the others go on.
void ParallelInOrder(int count, int threads, std::atomic<int>& next,
                     const std::function<void(int position, int worker)>& fn,
                     const std::atomic<bool>* stop = nullptr,
                     const std::function<void(int position)>& outOfMemory = nullptr);

int ThreadCount(int requested);

}  // namespace zelstages
