#include "sequence/videoframe.h"

#include <cstdio>
#include <new>

#include "imagelib/ximage.h"

int CZelVideoFrame::imageWidth = 0;
float CZelVideoFrame::reduceScale = 0.0f;
bool CZelVideoFrame::reduced = false;
int CZelVideoFrame::imageHeight = 0;
std::string CZelVideoFrame::dataDir;
std::string CZelVideoFrame::tmpDir;

CZelVideoFrame::CZelVideoFrame()
    : index(0), focalScale(0.0f), colorImg(nullptr), dspImg(nullptr), camera(new CCamera) {}

// The camera goes first, then the colour image, then the disparity map; the match-point list and
// the strings are released afterwards by their own destructors, in that order.
CZelVideoFrame::~CZelVideoFrame() {
    delete camera;
    camera = nullptr;
    delete colorImg;
    colorImg = nullptr;
    delete dspImg;
    dspImg = nullptr;
}

void CZelVideoFrame::SetImageSize(int w, int h) {
    imageWidth = w;
    imageHeight = h;
}

void CZelVideoFrame::SetReduced(bool reduce) {
    reduced = reduce;
}

void CZelVideoFrame::PrintCamera() const {
    printf("Frame %d\n", index);
    const Matrix3d* matrices[2] = {&camera->K, &camera->R};
    for (const Matrix3d* m : matrices) {
        for (int r = 0; r < 3; r++) {
            for (int c = 0; c < 3; c++) {
                printf("%.7f\t", (*m)(r, c));
            }
            printf("\n");
        }
    }
    for (int i = 0; i < 3; i++) {
        printf("%f\t", camera->T[i]);
    }
    printf("\n\n");
}

void CZelVideoFrame::GetCameraParameters(float* out) const {
    const Matrix3d& k = reduced ? camera->ScaledK : camera->K;
    const Matrix3d* matrices[2] = {&k, &camera->R};
    int n = 0;
    for (const Matrix3d* m : matrices) {
        for (int r = 0; r < 3; r++) {
            for (int c = 0; c < 3; c++) {
                out[n++] = static_cast<float>((*m)(r, c));
            }
        }
    }
    for (int i = 0; i < 3; i++) {
        out[n++] = static_cast<float>(camera->T[i]);
    }
}

void CZelVideoFrame::LoadColorImage() {
    if (colorImg != nullptr) {
        return;
    }
    CxImage picture(CXIMAGE_FORMAT_UNKNOWN);
    // A file that cannot be read leaves an empty picture and so a 0 x 0 grid; nothing is reported.
    picture.Load(imageFile.c_str(), CXIMAGE_FORMAT_UNKNOWN);
    // A readable picture of another size is brought to the working size. Both sides are
    // compared: a picture of the working width but another height would otherwise give a grid
    // that sampling over the working size reads outside of.
    const bool loaded = picture.GetWidth() > 0 && picture.GetHeight() > 0;
    if (loaded &&
        (static_cast<long>(GetWorkingWidth()) != static_cast<long>(picture.GetWidth()) ||
         static_cast<long>(GetWorkingHeight()) != static_cast<long>(picture.GetHeight()))) {
        picture.Resample(GetWorkingWidth(), GetWorkingHeight(), 1, nullptr);
    }
    colorImg = new ZImage<unsigned char>(static_cast<int>(picture.GetWidth()),
                                         static_cast<int>(picture.GetHeight()), 3);
    CxImageToZImage(picture, colorImg, 1.0f);
}

void CZelVideoFrame::ReleaseColorImage() {
    delete colorImg;
    colorImg = nullptr;
}

bool CZelVideoFrame::CreateDisparityMap(float value) {
    delete dspImg;
    dspImg = nullptr;
    const int W = GetWorkingWidth();
    const int H = GetWorkingHeight();
    ZImage<float>* map = nullptr;
    try {
        map = new ZImage<float>(W, H, 1);
    } catch (const std::bad_alloc&) {
        return false;
    }
    // The grid falls back to 0 x 0 for a negative or oversized request; such a map would not
    // have the working size.
    if (map->GetWidth() != W || map->GetHeight() != H) {
        delete map;
        return false;
    }
    for (int y = 0; y < H; y++) {
        for (int x = 0; x < W; x++) {
            map->At(x, y, 0) = value;
        }
    }
    dspImg = map;
    return true;
}

void CZelVideoFrame::ReleaseMaps() {
    delete dspImg;
    dspImg = nullptr;
    delete colorImg;
    colorImg = nullptr;
}
