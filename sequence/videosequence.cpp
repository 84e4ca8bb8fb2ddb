#include "sequence/videosequence.h"

#include "sequence/videoframe.h"

CZelVideoSequence::CZelVideoSequence() : frameCount(0) {}
CZelVideoSequence::~CZelVideoSequence() {}
CZelVideoFrame* CZelVideoSequence::GetFrame(int i) const {
    return frames.at(i);
}
void CZelVideoSequence::SetFrameCount(int) {}
bool CZelVideoSequence::LoadImageSequence() {
    return false;
}
void CZelVideoSequence::Run(int first, int endExclusive) {
    InitStage(first, endExclusive - 1);
    BOStage(first, endExclusive - 1);
}
void CZelVideoSequence::InitStage(int, int) {}
void CZelVideoSequence::BOStage(int, int) {}
