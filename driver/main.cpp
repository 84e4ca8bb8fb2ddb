// The console program: parses the project file, hands every frame its observations, estimates
// the largest disparity and runs the stages over all frames.
#include "parser/trackfileparser.h"
#include "platform/platform.h"
#include "sequence/videoframe.h"
#include "sequence/videosequence.h"

#ifndef PROJECT_FILE_PATH
#define PROJECT_FILE_PATH "sample/project.txt"
#endif

static const char* const projectFilePath = PROJECT_FILE_PATH;

int main() {
    CZelVideoSequence sequence;
    CTrackFileParser parser(&sequence);
    if (!parser.Parse(projectFilePath)) {
        WaitForKey();
        return 1;
    }
    WaitForKey();
    return 0;
}
