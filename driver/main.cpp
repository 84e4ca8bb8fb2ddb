// The console program: parses the project file, hands every frame its observations, estimates
// the largest disparity and runs the stages over all frames.
//
// Standard output carries only the lines of the parser and the sequence and the prompt of the
// wait for a key; it is line-buffered so that they come out in order when it is piped. Exit
// status: 0 after a run, 1 when the project could not be parsed. Exactly one wait per run, before
// the parser and the sequence are destroyed.
#include <cstdio>

#include "parser/trackfileparser.h"
#include "platform/platform.h"
#include "sequence/videoframe.h"
#include "sequence/videosequence.h"

#ifndef PROJECT_FILE_PATH
#define PROJECT_FILE_PATH "sample/project.txt"
#endif

static const char* const projectFilePath = PROJECT_FILE_PATH;

int main() {
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);

    // The parser points into the sequence, so it is declared second and destroyed first.
    CZelVideoSequence sequence;
    CTrackFileParser parser(&sequence);

    if (!parser.Parse(projectFilePath)) {
        WaitForKey();
        return 1;
    }

    // Each frame shares its observation list with the parser; the frames keep the lists (and
    // through them the tracks) alive after the parser is gone.
    parser.HandOverMatchPoints();

    const double maxDisparity = sequence.EstimateMaxDisparity(parser);
    static_cast<void>(maxDisparity);

    const int last = sequence.GetFrameCount() - 1;
    sequence.Run(0, last + 1);

    WaitForKey();
    return 0;
}
