#include "sequence/videoframe.h"

int CZelVideoFrame::imageWidth = 0;
float CZelVideoFrame::reduceScale = 0.0f;
bool CZelVideoFrame::reduced = false;
int CZelVideoFrame::imageHeight = 0;
std::string CZelVideoFrame::dataDir;
std::string CZelVideoFrame::tmpDir;

CZelVideoFrame::CZelVideoFrame()
    : index(0), focalScale(0.0f), colorImg(nullptr), dspImg(nullptr), camera(new CCamera) {}
CZelVideoFrame::~CZelVideoFrame() {
    delete camera;
    delete colorImg;
    delete dspImg;
}
void CZelVideoFrame::SetImageSize(int w, int h) {
    imageWidth = w;
    imageHeight = h;
}
void CZelVideoFrame::SetReduced(bool reduce) {
    reduced = reduce;
}
int CZelVideoFrame::GetWorkingWidth() {
    return imageWidth;
}
int CZelVideoFrame::GetWorkingHeight() {
    return imageHeight;
}
void CZelVideoFrame::PrintCamera() const {}
void CZelVideoFrame::GetCameraParameters(float*) const {}
void CZelVideoFrame::LoadColorImage() {}
void CZelVideoFrame::ReleaseMaps() {}
