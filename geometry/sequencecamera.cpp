#include "sequence/videoframe.h"
#include "sequence/videosequence.h"

void CZelVideoSequence::BuildIntrinsicMatrices() {}
void CZelVideoSequence::InvertCameraPoses() {}
