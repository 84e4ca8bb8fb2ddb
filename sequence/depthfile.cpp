#include "sequence/videoframe.h"

void CZelVideoFrame::SaveDepthFile() {}
bool CZelVideoFrame::LoadDepthFile() {
    return false;
}
