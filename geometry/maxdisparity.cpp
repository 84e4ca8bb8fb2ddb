#include "parser/trackfileparser.h"
#include "sequence/videoframe.h"
#include "sequence/videosequence.h"

double CZelVideoSequence::EstimateMaxDisparity(const CTrackFileParser&) const {
    return -1.0;
}
