// The depth evaluator: compares the recovered disparity of frames (DATA/_depth<i>.raw) with
// ground truth of the same layout (<dir>/_depth<i>.raw), pixel by pixel.
//
// A pixel counts when its true disparity g (after scaling) is finite and positive. Its recovered
// disparity d is missing when it is NaN or +-inf; otherwise its relative error is |d - g| / g.
// The shares within 1 %, 2 % and 5 % are of all counted pixels, so a missing pixel counts as an
// error above 5 %. The mean and median relative errors are over the counted pixels that are not
// missing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tools/frontend.h"

namespace zeleval {

// The figures of one frame or of several frames together.
struct Score {
    size_t pixels = 0;      // counted pixels: true disparity finite and positive
    size_t within1 = 0;     // relative error at most 0.01
    size_t within2 = 0;     // at most 0.02
    size_t within5 = 0;     // at most 0.05
    size_t missing = 0;     // recovered disparity NaN or +-inf
    double errorSum = 0.0;  // sum of the relative errors of the pixels that are not missing
    double median = 0.0;    // median relative error of those pixels; 0 when there is none

    size_t Estimated() const { return pixels - missing; }
    // Mean relative error of the pixels that are not missing; 0 when there is none.
    double Mean() const;
    // count / pixels; 0 when no pixel counts.
    double Share(size_t count) const;
};

// Relative errors of many frames, kept in a fixed-size histogram (a few MB whatever the number of
// pixels) so that the median of a long sequence needs no memory per pixel. The median found
// lies within 0.05 % of its value from the exact one.
class ErrorHistogram {
  public:
    ErrorHistogram();
    // e must be a non-negative number; +inf and values beyond the float range go to the last bin.
    void Add(double e);
    uint64_t Count() const { return count_; }
    // The median (the mean of the two middle values for an even count); 0 when empty.
    double Median() const;

  private:
    double ValueAtRank(uint64_t rank) const;
    std::vector<uint64_t> bins_;
    uint64_t count_ = 0;
};

// Scores one frame: recovered and truth hold count values each (row 0 first); truth is multiplied
// by scale first. The median is exact. When histogram is given, every relative error that enters
// the mean is added to it too.
Score ScoreFrame(const float* recovered, const float* truth, size_t count, double scale,
                 ErrorHistogram* histogram = nullptr);

// Adds the counts and error sums of part to total (the median is left alone).
void Accumulate(Score& total, const Score& part);

// The whole program: `zel_depth_eval <project file> <ground-truth dir> [frames ...] [--scale S]
// [--csv]` (argv[0] is the program name). The table (or CSV) goes to standard output; "ERROR..."
// lines and the parser's lines go to standard error. Returns 0 when every requested frame was
// scored, 1 when the project cannot be read or a frame was skipped (a missing file, a file of
// the wrong size, a frame not in the project), 2 for a usage error. "--help" prints the usage
// and returns 0.
int DepthEvalMain(int argc, const char* const argv[]);

// The command line the evaluator and the comparison share: their usage style ("ERROR: ...
// (<program>
// --help lists the usage)") and the option --scale S (a finite number above 0) into *scale.
zeltool::CommandLine EvalCommandLine(const char* program, double* scale,
                                     std::function<void()> printHelp);

}  // namespace zeleval
