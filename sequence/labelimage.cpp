#include "sequence/videoframe.h"

void CZelVideoFrame::SaveLabelImage(ZImage<int>*, int, int) {}
void CZelVideoFrame::SaveDisparityImage(int, double, double) {}
