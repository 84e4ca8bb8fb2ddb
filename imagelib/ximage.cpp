#include "imagelib/ximage.h"

CxImage::CxImage(int) {}
CxImage::~CxImage() {}
bool CxImage::Load(const char*, int) {
    return false;
}
unsigned CxImage::GetWidth() const {
    return width_;
}
unsigned CxImage::GetHeight() const {
    return height_;
}
bool CxImage::Resample(long, long, int, CxImage*) {
    return false;
}
bool CxImage::Create(unsigned, unsigned, unsigned, int) {
    return false;
}
bool CxImage::AlphaCreate() {
    return false;
}
bool CxImage::AlphaIsValid() const {
    return !alpha_.empty();
}
RGBQUAD CxImage::GetPixelColor(long, long, bool) {
    return RGBQUAD{0, 0, 0, 0};
}
void CxImage::SetPixelColor(long, long, RGBQUAD, bool) {}
bool CxImage::Save(const char*, int) {
    return false;
}
