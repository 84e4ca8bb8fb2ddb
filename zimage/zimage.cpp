#include "zimage/zimage.h"

#include "imagelib/ximage.h"

namespace {

// A grid sample as a byte: p = scale * v in double, clamped to [0, 255], truncated toward zero.
// NaN (from a NaN scale) gives 0.
inline uint8_t ClampToByte(double p) {
    if (!(p > 0.0)) {
        return 0;
    }
    if (p > 255.0) {
        return 255;
    }
    return static_cast<uint8_t>(p);
}

// A colour channel times the scale, truncated to a byte. Callers keep the product within 0..255;
// anything outside is held at the nearest end rather than converted out of range.
inline unsigned char ScaledChannel(uint8_t value, float scale) {
    const float p = value * scale;
    if (!(p > 0.0f)) {
        return 0;
    }
    if (p >= 255.0f) {
        return 255;
    }
    return static_cast<unsigned char>(p);
}

}  // namespace

void CxImageToZImage(CxImage& src, ZImage<unsigned char>* dst, float scale) {
    if (dst == nullptr || dst->GetData() == nullptr) {
        return;
    }
    const int w = static_cast<int>(src.GetWidth());
    const int h = static_cast<int>(src.GetHeight());
    const int n = dst->GetChannels();
    // Only the part of the picture that fits in the grid is copied.
    const int cols = w < dst->GetWidth() ? w : dst->GetWidth();
    const int rows = h < dst->GetHeight() ? h : dst->GetHeight();
    for (int i = 0; i < rows; ++i) {
        for (int j = 0; j < cols; ++j) {
            const RGBQUAD c = src.GetPixelColor(j, h - 1 - i, true);
            if (n == 3) {
                dst->At(j, i, 0) = ScaledChannel(c.rgbRed, scale);
                dst->At(j, i, 1) = ScaledChannel(c.rgbGreen, scale);
                dst->At(j, i, 2) = ScaledChannel(c.rgbBlue, scale);
            } else if (n > 0) {
                dst->At(j, i, 0) =
                    static_cast<unsigned char>((c.rgbRed + c.rgbGreen + c.rgbBlue) / 3);
            }
        }
    }
}

void ZImageToCxImage(ZImage<int>* src, CxImage* dst, float scale) {
    if (src == nullptr || dst == nullptr) {
        return;
    }
    const int w = src->GetWidth();
    const int h = src->GetHeight();
    const int n = src->GetChannels();
    dst->Create(static_cast<unsigned>(w), static_cast<unsigned>(h), 24, 0);
    if (n == 4) {
        dst->AlphaCreate();
    }
    if (n <= 0 || dst->GetWidth() != static_cast<unsigned>(w) ||
        dst->GetHeight() != static_cast<unsigned>(h)) {
        return;
    }
    const double s = scale;
    for (int i = 0; i < h; ++i) {
        for (int j = 0; j < w; ++j) {
            RGBQUAD c;
            if (n >= 3) {
                c.rgbRed = ClampToByte(s * src->At(j, i, 0));
                c.rgbGreen = ClampToByte(s * src->At(j, i, 1));
                c.rgbBlue = ClampToByte(s * src->At(j, i, 2));
                c.rgbReserved = n == 4 ? ClampToByte(s * src->At(j, i, 3)) : 255;
            } else {
                const uint8_t grey = ClampToByte(s * src->At(j, i, 0));
                c.rgbRed = c.rgbGreen = c.rgbBlue = grey;
                c.rgbReserved = 255;
            }
            dst->SetPixelColor(j, h - 1 - i, c, true);
        }
    }
}
