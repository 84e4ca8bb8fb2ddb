#include "tools/deptheval_lib.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>
#include <system_error>
#include <utility>

#include "sequence/videoframe.h"
#include "sequence/videosequence.h"
#include "tools/toolsupport.h"

namespace zeleval {

namespace {

// Histogram bins: bin 0 holds exact zeros (perfect estimates are common and must give a median
// of exactly 0); bin 1 + k holds the positive floats whose bit pattern without its 12 lowest
// mantissa bits is k, so each spans 1/2048 of its lower edge. The last bin holds +inf.
constexpr int kDroppedBits = 12;
constexpr uint32_t kInfBits = 0x7f800000u;
constexpr size_t kBinCount = (kInfBits >> kDroppedBits) + 2;

uint32_t FloatBits(float f) {
    uint32_t bits = 0;
    std::memcpy(&bits, &f, 4);
    return bits;
}

float BitsFloat(uint32_t bits) {
    float f = 0.0f;
    std::memcpy(&f, &bits, 4);
    return f;
}

const char kUsageLine[] =
    "Usage: zel_depth_eval <project file> <ground-truth dir> [frames ...] [--scale S] [--csv]";

void PrintHelp() {
    std::printf(
        "%s\n"
        "\n"
        "Compares each frame's recovered disparity DATA/_depth<i>.raw (beside the project's\n"
        "images) with <ground-truth dir>/_depth<i>.raw, both width x height little-endian floats\n"
        "of the project's working size, row 0 first. Frames are 0-based positions in the\n"
        "sequence, given as N or FIRST:LAST; all frames when none is given.\n"
        "\n"
        "Only pixels whose true disparity g is finite and positive count. A recovered value d\n"
        "that is NaN or +-inf is missing; otherwise its relative error is |d - g| / g. Per frame\n"
        "and in total it prints: the counted pixels, the share within 1 %%, 2 %% and 5 %% "
        "(missing\n"
        "pixels count as errors above 5 %%), the share missing, and the mean and median relative\n"
        "error of the pixels that are not missing.\n"
        "\n"
        "  --scale S   multiply the true disparities by S > 0 first (for reconstructions known\n"
        "              only up to scale)\n"
        "  --csv       comma-separated values instead of the table: shares and errors as\n"
        "              fractions, an empty field where a figure is undefined\n"
        "\n"
        "A missing file or one of the wrong size gives an \"ERROR...\" line on standard error and\n"
        "that frame is skipped. Exit status: 0 when every requested frame was scored, 1 when a\n"
        "frame was skipped or the project cannot be read, 2 for bad arguments.\n",
        kUsageLine);
}

// An inclusive range of frames; a single frame N is N:N.
struct FrameRange {
    int first;
    int last;
    uint64_t Size() const { return static_cast<uint64_t>(last) - static_cast<uint64_t>(first) + 1; }
};

// A frame number N or an inclusive range FIRST:LAST (FIRST <= LAST), appended to ranges. Ranges
// stay ranges until the frame count is known, so a large one costs no memory.
bool ParseFrames(const std::string& text, std::vector<FrameRange>& ranges) {
    const size_t colon = text.find(':');
    int first = 0;
    int last = 0;
    if (colon == std::string::npos) {
        if (!zeltool::ParseFrameNumber(text.c_str(), first)) {
            return false;
        }
        last = first;
    } else if (!zeltool::ParseFrameNumber(text.substr(0, colon).c_str(), first) ||
               !zeltool::ParseFrameNumber(text.substr(colon + 1).c_str(), last) || first > last) {
        return false;
    }
    ranges.push_back(FrameRange{first, last});
    return true;
}

// One output row, as a table line or as CSV.
void PrintRow(const std::string& label, const Score& s, bool csv) {
    const bool counted = s.pixels > 0;
    const bool estimated = s.Estimated() > 0;
    if (csv) {
        std::printf("%s,%zu", label.c_str(), s.pixels);
        for (size_t n : {s.within1, s.within2, s.within5, s.missing}) {
            if (counted) {
                std::printf(",%.6f", s.Share(n));
            } else {
                std::printf(",");
            }
        }
        if (estimated) {
            std::printf(",%.6g,%.6g\n", s.Mean(), s.median);
        } else {
            std::printf(",,\n");
        }
        return;
    }
    std::printf("%5s %9zu", label.c_str(), s.pixels);
    const int widths[4] = {9, 9, 9, 7};
    const size_t counts[4] = {s.within1, s.within2, s.within5, s.missing};
    for (int k = 0; k < 4; k++) {
        if (counted) {
            std::printf(" %*.2f%%", widths[k], 100.0 * s.Share(counts[k]));
        } else {
            std::printf(" %*s", widths[k] + 1, "-");
        }
    }
    if (estimated) {
        std::printf(" %10.3f%% %12.3f%%\n", 100.0 * s.Mean(), 100.0 * s.median);
    } else {
        std::printf(" %11s %13s\n", "-", "-");
    }
}

// Scores one frame of the project and prints its row; false after an "ERROR..." line when one
// of its files is missing or has the wrong size.
bool ScoreOne(const CZelVideoSequence& sequence, int frameNumber, const std::string& truthDir,
              double scale, bool csv, std::vector<float>& recovered, std::vector<float>& truth,
              Score& total, ErrorHistogram& histogram) {
    const int W = CZelVideoFrame::GetWorkingWidth();
    const int H = CZelVideoFrame::GetWorkingHeight();
    const int index = sequence.GetFrame(frameNumber)->index;
    std::string error;
    if (!zeltool::ReadDisparityFile(zeltool::DepthFileName(CZelVideoFrame::dataDir, index),
                                    "depth file", frameNumber, W, H, recovered, &error) ||
        !zeltool::ReadDisparityFile(zeltool::DepthFileName(truthDir, index), "ground-truth file",
                                    frameNumber, W, H, truth, &error)) {
        std::fprintf(stderr, "ERROR: %s\n", error.c_str());
        return false;
    }
    const Score score =
        ScoreFrame(recovered.data(), truth.data(), recovered.size(), scale, &histogram);
    Accumulate(total, score);
    PrintRow(std::to_string(frameNumber), score, csv);
    return true;
}

}  // namespace

double Score::Mean() const {
    return Estimated() > 0 ? errorSum / static_cast<double>(Estimated()) : 0.0;
}

double Score::Share(size_t count) const {
    return pixels > 0 ? static_cast<double>(count) / static_cast<double>(pixels) : 0.0;
}

ErrorHistogram::ErrorHistogram() : bins_(kBinCount, 0) {}

void ErrorHistogram::Add(double e) {
    const float f = e > std::numeric_limits<float>::max() ? std::numeric_limits<float>::infinity()
                                                          : static_cast<float>(std::max(e, 0.0));
    bins_[f > 0.0f ? (FloatBits(f) >> kDroppedBits) + 1 : 0]++;
    count_++;
}

double ErrorHistogram::ValueAtRank(uint64_t rank) const {
    uint64_t before = 0;
    for (size_t b = 0; b < bins_.size(); b++) {
        const uint64_t n = bins_[b];
        if (rank < before + n) {
            if (b == 0) {
                return 0.0;
            }
            const double lo = BitsFloat(static_cast<uint32_t>(b - 1) << kDroppedBits);
            if (std::isinf(lo)) {
                return lo;
            }
            const double hi = BitsFloat(static_cast<uint32_t>(b) << kDroppedBits);
            // The values of a bin are taken as spread evenly over it.
            const double t = (static_cast<double>(rank - before) + 0.5) / static_cast<double>(n);
            return lo + (hi - lo) * t;
        }
        before += n;
    }
    return 0.0;
}

double ErrorHistogram::Median() const {
    if (count_ == 0) {
        return 0.0;
    }
    if (count_ % 2 == 1) {
        return ValueAtRank(count_ / 2);
    }
    return 0.5 * (ValueAtRank(count_ / 2 - 1) + ValueAtRank(count_ / 2));
}

Score ScoreFrame(const float* recovered, const float* truth, size_t count, double scale,
                 ErrorHistogram* histogram) {
    Score score;
    std::vector<float> errors;
    errors.reserve(count);
    for (size_t k = 0; k < count; k++) {
        const double g = static_cast<double>(truth[k]) * scale;
        if (!(std::isfinite(g) && g > 0.0)) {
            continue;
        }
        score.pixels++;
        const double d = recovered[k];
        if (!std::isfinite(d)) {
            score.missing++;
            continue;
        }
        const double e = std::fabs(d - g) / g;
        score.within1 += e <= 0.01;
        score.within2 += e <= 0.02;
        score.within5 += e <= 0.05;
        score.errorSum += e;
        // Errors beyond the float range are kept as the largest float, still above any
        // threshold and still finite for the median.
        errors.push_back(
            static_cast<float>(std::min(e, double{std::numeric_limits<float>::max()})));
        if (histogram != nullptr) {
            histogram->Add(e);
        }
    }
    if (!errors.empty()) {
        const size_t mid = errors.size() / 2;
        std::nth_element(errors.begin(), errors.begin() + static_cast<ptrdiff_t>(mid),
                         errors.end());
        double median = errors[mid];
        if (errors.size() % 2 == 0) {
            const float below =
                *std::max_element(errors.begin(), errors.begin() + static_cast<ptrdiff_t>(mid));
            median = 0.5 * (static_cast<double>(below) + median);
        }
        score.median = median;
    }
    return score;
}

void Accumulate(Score& total, const Score& part) {
    total.pixels += part.pixels;
    total.within1 += part.within1;
    total.within2 += part.within2;
    total.within5 += part.within5;
    total.missing += part.missing;
    total.errorSum += part.errorSum;
}

namespace {

// What the command line asks for.
struct EvalOptions {
    std::string projectPath;
    std::string truthDir;            // ends with a separator
    std::vector<FrameRange> ranges;  // empty: every frame
    double scale = 1.0;
    bool csv = false;
};

// Reads the command line into options. Returns -1 to go on, or the exit status to end with (0
// after --help, 2 after a usage error, 1 when the ground-truth directory is missing).
int ParseArguments(int argc, const char* const argv[], EvalOptions& o) {
    zeltool::CommandLine line = EvalCommandLine("zel_depth_eval", &o.scale, PrintHelp);
    line.Flag("--csv", &o.csv);
    std::vector<std::string> positional;
    const int status = line.Parse(argc, argv, positional);
    if (status >= 0) {
        return status;
    }
    const auto UsageError = [&line](const std::string& message) { return line.Usage(message); };
    if (positional.size() < 2) {
        return UsageError(positional.empty() ? "No project file given"
                                             : "No ground-truth directory given");
    }
    for (size_t k = 2; k < positional.size(); k++) {
        if (!ParseFrames(positional[k], o.ranges)) {
            return UsageError("Not a frame number or range: " + positional[k] +
                              " (frames are counted from 0; a range is FIRST:LAST)");
        }
    }
    o.projectPath = positional[0];
    o.truthDir = positional[1];
    if (!zeltool::OpenDirectoryArgument(o.truthDir, "ground-truth directory", stderr)) {
        return 1;
    }
    return -1;
}

// The table's head: the CSV column names, or a title line and the column heads.
void PrintHead(const EvalOptions& o, int W, int H) {
    if (o.csv) {
        std::printf(
            "frame,pixels,within_1pct,within_2pct,within_5pct,missing,mean_rel_error,"
            "median_rel_error\n");
        return;
    }
    std::printf("Depth accuracy of %s against %s (%d x %d", CZelVideoFrame::dataDir.c_str(),
                o.truthDir.c_str(), W, H);
    if (o.scale != 1.0) {
        std::printf(", true disparity scaled by %g", o.scale);
    }
    std::printf(")\n%5s %9s %10s %10s %10s %8s %11s %13s\n", "frame", "pixels", "within 1%",
                "within 2%", "within 5%", "missing", "mean error", "median error");
}

}  // namespace

zeltool::CommandLine EvalCommandLine(const char* program, double* scale,
                                     std::function<void()> printHelp) {
    zeltool::CommandLine line(
        zeltool::ErrorStyle(std::string(" (") + program + " --help lists the usage)"),
        std::move(printHelp));
    line.Number("--scale", "S", 0.0, HUGE_VAL, scale, "", true)
        .BadValue("Bad --scale value '%v' (a finite number greater than 0)");
    return line;
}

int DepthEvalMain(int argc, const char* const argv[]) {
    EvalOptions o;
    const int status = ParseArguments(argc, argv, o);
    if (status >= 0) {
        return status;
    }
    const double scale = o.scale;
    const bool csv = o.csv;
    const std::string& projectPath = o.projectPath;
    const std::string& truthDir = o.truthDir;
    std::vector<FrameRange>& ranges = o.ranges;

    zeltool::Project project;
    if (!zeltool::LoadProject(projectPath.c_str(), project, stderr,
                              zeltool::ParserLines::kStderr)) {
        return 1;
    }
    CZelVideoSequence& sequence = project.sequence;
    const int W = CZelVideoFrame::GetWorkingWidth();
    const int H = CZelVideoFrame::GetWorkingHeight();
    const int frameCount = sequence.GetFrameCount();
    if (ranges.empty()) {
        ranges.push_back(FrameRange{0, frameCount - 1});
    }

    PrintHead(o, W, H);
    Score total;
    ErrorHistogram histogram;
    uint64_t requested = 0;
    uint64_t skipped = 0;
    std::vector<float> recovered;
    std::vector<float> truth;
    for (const FrameRange& range : ranges) {
        requested += range.Size();
        if (range.last >= frameCount) {
            const FrameRange outside{std::max(range.first, frameCount), range.last};
            if (outside.first == outside.last) {
                std::fprintf(stderr, "ERROR: Frame %d is not in the project", outside.first);
            } else {
                std::fprintf(stderr, "ERROR: Frames %d to %d are not in the project", outside.first,
                             outside.last);
            }
            std::fprintf(stderr, " (it has %d frames, 0 to %d)\n", frameCount, frameCount - 1);
            skipped += outside.Size();
        }
        for (int frameNumber = range.first; frameNumber <= std::min(range.last, frameCount - 1);
             frameNumber++) {
            if (!ScoreOne(sequence, frameNumber, truthDir, scale, csv, recovered, truth, total,
                          histogram)) {
                skipped++;
            }
        }
    }
    total.median = histogram.Median();
    PrintRow("total", total, csv);
    std::fflush(stdout);
    if (skipped > 0) {
        std::fprintf(stderr, "ERROR: %ju of %ju frames skipped\n", static_cast<uintmax_t>(skipped),
                     static_cast<uintmax_t>(requested));
        return 1;
    }
    return 0;
}

}  // namespace zeleval
