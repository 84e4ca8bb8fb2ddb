#include "parser/trackfileparser.h"

CTrackFileParser::CTrackFileParser(CZelVideoSequence* seq) : sequence(seq) {}
CTrackFileParser::~CTrackFileParser() {
    tracks.clear();
    frameMatchPoints.clear();
}
bool CTrackFileParser::Parse(const char*) {
    return false;
}
bool CTrackFileParser::ReadImageSequence() {
    return false;
}
void CTrackFileParser::ReadIntrinsics() {}
void CTrackFileParser::ReadFeatureTracks() {}
void CTrackFileParser::ReadCameraTrack() {}
void CTrackFileParser::ReadFrameCamera(CZelVideoFrame*, int, int) {}
