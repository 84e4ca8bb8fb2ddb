#include "imagelib/ximage.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "imagelib/codecs.h"

using imagecodec::AllocateBytes;
using imagecodec::kMaxPixels;

namespace {

// Files larger than this are not read (no picture this layer accepts comes near it).
constexpr uint64_t kMaxFileSize = uint64_t(1) << 32;

// Reads a whole file into a new buffer in one go.
ImageError ReadWholeFile(const char* path, std::unique_ptr<uint8_t[]>* buffer, size_t* size) {
    if (path == nullptr) {
        return ImageError::kOpenFailed;
    }
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        return ImageError::kOpenFailed;
    }
    ImageError err = ImageError::kNone;
    long length = -1;
    if (std::fseek(file, 0, SEEK_END) == 0) {
        length = std::ftell(file);
    }
    if (length < 0 || uint64_t(length) > kMaxFileSize || std::fseek(file, 0, SEEK_SET) != 0) {
        err = ImageError::kReadFailed;
    } else {
        *size = size_t(length);
        *buffer = AllocateBytes(*size);
        if (!*buffer) {
            err = ImageError::kOutOfMemory;
        } else if (std::fread(buffer->get(), 1, *size, file) != *size) {
            err = ImageError::kReadFailed;
        }
    }
    std::fclose(file);
    return err;
}

// The area each destination sample covers along one axis, as a list of (source index, weight)
// taps. Shrinking averages the source samples under the destination sample's footprint, each
// weighted by the part of it that is covered; growing interpolates linearly between the two
// nearest source samples, with sample centres at half-integer positions and the edges held.
struct AxisTaps {
    std::vector<uint32_t> first;  // first tap of each destination sample
    std::vector<uint32_t> count;  // number of taps
    std::vector<uint32_t> index;  // source sample of each tap
    std::vector<float> weight;    // its weight
};

AxisTaps MakeTaps(uint32_t from, uint32_t to) {
    AxisTaps t;
    t.first.resize(to);
    t.count.resize(to);
    const double ratio = double(from) / double(to);
    for (uint32_t i = 0; i < to; ++i) {
        t.first[i] = uint32_t(t.index.size());
        if (to < from) {
            const double lo = i * ratio;
            const double hi = (i + 1) * ratio;
            uint32_t k = uint32_t(lo);
            for (; k < from && double(k) < hi; ++k) {
                const double cover = std::min(hi, double(k) + 1) - std::max(lo, double(k));
                if (cover > 0) {
                    t.index.push_back(k);
                    t.weight.push_back(float(cover / ratio));
                }
            }
        } else if (to > from) {
            double s = (i + 0.5) * ratio - 0.5;
            s = std::max(0.0, std::min(s, double(from - 1)));
            const uint32_t k0 = uint32_t(s);
            const uint32_t k1 = std::min(k0 + 1, from - 1);
            const float frac = float(s - k0);
            t.index.push_back(k0);
            t.weight.push_back(1.0f - frac);
            t.index.push_back(k1);
            t.weight.push_back(frac);
        } else {
            t.index.push_back(i);
            t.weight.push_back(1.0f);
        }
        t.count[i] = uint32_t(t.index.size()) - t.first[i];
    }
    return t;
}

inline uint8_t ToByte(float v) {
    if (!(v > 0.0f)) {
        return 0;
    }
    return v >= 254.5f ? uint8_t(255) : uint8_t(v + 0.5f);
}

// Resamples along y first, into a float buffer of sw x dh samples, then along x.
bool ResamplePlaneColumnsFirst(const uint8_t* src, uint32_t sw, uint32_t n, uint8_t* dst,
                               uint32_t dw, uint32_t dh, const AxisTaps& tx, const AxisTaps& ty) {
    const size_t srcRow = size_t(sw) * n;
    std::unique_ptr<float[]> down(new (std::nothrow) float[srcRow * dh]);
    if (!down) {
        return false;
    }
    for (uint32_t y = 0; y < dh; ++y) {
        float* d = down.get() + size_t(y) * srcRow;
        std::fill(d, d + srcRow, 0.0f);
        for (uint32_t k = ty.first[y]; k < ty.first[y] + ty.count[y]; ++k) {
            const float wgt = ty.weight[k];
            const uint8_t* s = src + size_t(ty.index[k]) * srcRow;
            for (size_t i = 0; i < srcRow; ++i) {
                d[i] += wgt * float(s[i]);
            }
        }
    }
    for (uint32_t y = 0; y < dh; ++y) {
        const float* s = down.get() + size_t(y) * srcRow;
        uint8_t* d = dst + size_t(y) * dw * n;
        for (uint32_t x = 0; x < dw; ++x) {
            for (uint32_t c = 0; c < n; ++c) {
                float sum = 0.0f;
                for (uint32_t k = tx.first[x]; k < tx.first[x] + tx.count[x]; ++k) {
                    sum += tx.weight[k] * s[size_t(tx.index[k]) * n + c];
                }
                d[size_t(x) * n + c] = ToByte(sum);
            }
        }
    }
    return true;
}

// Resamples a plane of interleaved byte samples (n per pixel) from sw x sh to dw x dh: first
// along x into a float buffer of dw x sh samples, then along y. When going along y first needs
// the smaller buffer (sw x dh; a tall, thin picture brought to a small square, say), that order
// is taken instead, so the buffer never exceeds the larger of the source and the result. False
// when memory runs out.
bool ResamplePlane(const uint8_t* src, uint32_t sw, uint32_t sh, uint32_t n, uint8_t* dst,
                   uint32_t dw, uint32_t dh) {
    const AxisTaps tx = MakeTaps(sw, dw);
    const AxisTaps ty = MakeTaps(sh, dh);
    if (uint64_t(dw) * sh > uint64_t(sw) * dh) {
        return ResamplePlaneColumnsFirst(src, sw, n, dst, dw, dh, tx, ty);
    }
    const size_t rowSize = size_t(dw) * n;
    std::unique_ptr<float[]> across(new (std::nothrow) float[rowSize * sh]);
    std::unique_ptr<float[]> row(new (std::nothrow) float[rowSize]);
    if (!across || !row) {
        return false;
    }
    for (uint32_t y = 0; y < sh; ++y) {
        const uint8_t* s = src + size_t(y) * sw * n;
        float* d = across.get() + size_t(y) * rowSize;
        for (uint32_t x = 0; x < dw; ++x) {
            for (uint32_t c = 0; c < n; ++c) {
                float sum = 0.0f;
                for (uint32_t k = tx.first[x]; k < tx.first[x] + tx.count[x]; ++k) {
                    sum += tx.weight[k] * float(s[size_t(tx.index[k]) * n + c]);
                }
                d[size_t(x) * n + c] = sum;
            }
        }
    }
    for (uint32_t y = 0; y < dh; ++y) {
        std::fill(row.get(), row.get() + rowSize, 0.0f);
        for (uint32_t k = ty.first[y]; k < ty.first[y] + ty.count[y]; ++k) {
            const float wgt = ty.weight[k];
            const float* s = across.get() + size_t(ty.index[k]) * rowSize;
            for (size_t i = 0; i < rowSize; ++i) {
                row[i] += wgt * s[i];
            }
        }
        uint8_t* d = dst + size_t(y) * rowSize;
        for (size_t i = 0; i < rowSize; ++i) {
            d[i] = ToByte(row[i]);
        }
    }
    return true;
}

}  // namespace

const char* ImageErrorText(ImageError error) {
    switch (error) {
        case ImageError::kNone:
            return "no error";
        case ImageError::kOpenFailed:
            return "cannot open file";
        case ImageError::kReadFailed:
            return "cannot read file";
        case ImageError::kWriteFailed:
            return "cannot write file";
        case ImageError::kUnknownFormat:
            return "unknown file format";
        case ImageError::kBadMagic:
            return "not a BMP file";
        case ImageError::kTruncatedHeader:
            return "truncated header";
        case ImageError::kBadHeaderSize:
            return "unknown header size";
        case ImageError::kBadPlanes:
            return "plane count is not 1";
        case ImageError::kBadSize:
            return "bad picture size";
        case ImageError::kTooLarge:
            return "picture too large";
        case ImageError::kBadOffset:
            return "bad pixel data offset";
        case ImageError::kBadBitCount:
            return "unsupported bit count";
        case ImageError::kBadCompression:
            return "unsupported compression";
        case ImageError::kBadBitfields:
            return "bad colour masks";
        case ImageError::kBadPaletteIndex:
            return "palette index beyond palette";
        case ImageError::kTruncatedPixels:
            return "truncated pixel data";
        case ImageError::kBadPixelData:
            return "corrupt pixel data";
        case ImageError::kOutOfMemory:
            return "out of memory";
        case ImageError::kEmptyPicture:
            return "empty picture";
        case ImageError::kBadArgument:
            return "bad argument";
        case ImageError::kUnsupportedHuffman1D:
            return "OS/2 Huffman 1D compression not supported";
        case ImageError::kUnsupportedRle24:
            return "OS/2 RLE24 compression not supported";
        case ImageError::kEmbeddedSizeMismatch:
            return "embedded JPEG or PNG size differs from the header";
        case ImageError::kFormatNotBuilt:
            return "format not built into this library";
    }
    return "unknown error";
}

CxImage::CxImage(int) {}

CxImage::~CxImage() = default;

void CxImage::Clear() {
    width_ = 0;
    height_ = 0;
    bgr_ = nullptr;
    block_.reset();
    alpha_.reset();
}

bool CxImage::Load(const char* path, int) {
    Clear();
    std::unique_ptr<uint8_t[]> file;
    size_t size = 0;
    lastError_ = ReadWholeFile(path, &file, &size);
    return lastError_ == ImageError::kNone && DecodeBuffer(std::move(file), size);
}

bool CxImage::Decode(const uint8_t* data, size_t size) {
    Clear();
    std::unique_ptr<uint8_t[]> copy = AllocateBytes(size);
    if (!copy) {
        lastError_ = ImageError::kOutOfMemory;
        return false;
    }
    if (size > 0) {
        std::memcpy(copy.get(), data, size);
    }
    return DecodeBuffer(std::move(copy), size);
}

bool CxImage::DecodeBuffer(std::unique_ptr<uint8_t[]> file, size_t size) {
    static const uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    const uint8_t* f = file.get();
    imagecodec::Decoded picture;
    if (size >= 2 && f[0] == 'B' && f[1] == 'M') {
        lastError_ = imagecodec::DecodeBmp(file, size, &picture);
    } else if (size >= 8 && std::memcmp(f, kPngSignature, 8) == 0) {
#if ZEL_HAVE_PNG
        lastError_ = imagecodec::DecodePng(f, size, &picture);
#else
        lastError_ = ImageError::kFormatNotBuilt;
#endif
    } else if (size >= 3 && f[0] == 0xFF && f[1] == 0xD8 && f[2] == 0xFF) {
#if ZEL_HAVE_JPEG
        lastError_ = imagecodec::DecodeJpeg(f, size, &picture);
#else
        lastError_ = ImageError::kFormatNotBuilt;
#endif
    } else {
        lastError_ = ImageError::kUnknownFormat;
    }
    if (lastError_ != ImageError::kNone) {
        return false;
    }
    width_ = picture.width;
    height_ = picture.height;
    block_ = std::move(picture.block);
    bgr_ = picture.bgr;
    alpha_ = std::move(picture.alpha);
    return true;
}

bool CxImage::CanLoad(int imageType) {
    switch (imageType) {
        case CXIMAGE_FORMAT_BMP:
            return true;
        case CXIMAGE_FORMAT_PNG:
            return ZEL_HAVE_PNG != 0;
        case CXIMAGE_FORMAT_JPG:
            return ZEL_HAVE_JPEG != 0;
        default:
            return false;
    }
}

unsigned CxImage::GetWidth() const {
    return width_;
}

unsigned CxImage::GetHeight() const {
    return height_;
}

bool CxImage::Resample(long newWidth, long newHeight, int mode, CxImage* dst) {
    if (bgr_ == nullptr) {
        lastError_ = ImageError::kEmptyPicture;
        return false;
    }
    if (mode != 1 || newWidth <= 0 || newHeight <= 0 ||
        uint64_t(newWidth) * uint64_t(newHeight) > kMaxPixels) {
        lastError_ = ImageError::kBadArgument;
        return false;
    }
    const uint32_t dw = uint32_t(newWidth);
    const uint32_t dh = uint32_t(newHeight);
    const size_t count = size_t(dw) * dh;
    std::unique_ptr<uint8_t[]> bgr = AllocateBytes(count * 3);
    std::unique_ptr<uint8_t[]> alpha;
    if (alpha_) {
        alpha = AllocateBytes(count);
    }
    if (!bgr || (alpha_ && !alpha) || !ResamplePlane(bgr_, width_, height_, 3, bgr.get(), dw, dh) ||
        (alpha_ && !ResamplePlane(alpha_.get(), width_, height_, 1, alpha.get(), dw, dh))) {
        lastError_ = ImageError::kOutOfMemory;
        return false;
    }
    CxImage* target = dst == nullptr ? this : dst;
    target->Clear();
    target->width_ = dw;
    target->height_ = dh;
    target->bgr_ = bgr.get();
    target->block_ = std::move(bgr);
    target->alpha_ = std::move(alpha);
    target->lastError_ = ImageError::kNone;
    lastError_ = ImageError::kNone;
    return true;
}

bool CxImage::Create(unsigned width, unsigned height, unsigned bitsPerPixel, int) {
    Clear();
    if (width == 0 || height == 0 || uint64_t(width) * height > kMaxPixels ||
        (bitsPerPixel != 24 && bitsPerPixel != 32)) {
        lastError_ = ImageError::kBadArgument;
        return false;
    }
    const size_t count = size_t(width) * height;
    block_ = AllocateBytes(count * 3);
    if (!block_) {
        lastError_ = ImageError::kOutOfMemory;
        return false;
    }
    std::memset(block_.get(), 0, count * 3);
    bgr_ = block_.get();
    width_ = width;
    height_ = height;
    lastError_ = ImageError::kNone;
    return bitsPerPixel == 24 || AlphaCreate();
}

bool CxImage::AlphaCreate() {
    if (bgr_ == nullptr) {
        lastError_ = ImageError::kEmptyPicture;
        return false;
    }
    if (!alpha_) {
        const size_t count = size_t(width_) * height_;
        alpha_ = AllocateBytes(count);
        if (!alpha_) {
            lastError_ = ImageError::kOutOfMemory;
            return false;
        }
        std::memset(alpha_.get(), 255, count);
    }
    return true;
}

bool CxImage::AlphaIsValid() const {
    return alpha_ != nullptr;
}

RGBQUAD CxImage::GetPixelColor(long x, long y, bool getAlpha) {
    RGBQUAD c{0, 0, 0, 0};
    if (x < 0 || y < 0 || uint64_t(x) >= width_ || uint64_t(y) >= height_) {
        return c;
    }
    const size_t i = size_t(y) * width_ + size_t(x);
    const uint8_t* p = bgr_ + i * 3;
    c.rgbBlue = p[0];
    c.rgbGreen = p[1];
    c.rgbRed = p[2];
    if (getAlpha && alpha_) {
        c.rgbReserved = alpha_[i];
    }
    return c;
}

void CxImage::SetPixelColor(long x, long y, RGBQUAD c, bool setAlpha) {
    if (x < 0 || y < 0 || uint64_t(x) >= width_ || uint64_t(y) >= height_) {
        return;
    }
    const size_t i = size_t(y) * width_ + size_t(x);
    uint8_t* p = bgr_ + i * 3;
    p[0] = c.rgbBlue;
    p[1] = c.rgbGreen;
    p[2] = c.rgbRed;
    if (setAlpha && alpha_) {
        alpha_[i] = c.rgbReserved;
    }
}

bool CxImage::Save(const char* path, int) {
    if (bgr_ == nullptr) {
        lastError_ = ImageError::kEmptyPicture;
        return false;
    }
    std::vector<uint8_t> bytes;
    if (!imagecodec::EncodeBmp(width_, height_, bgr_, alpha_.get(), &bytes)) {
        lastError_ = ImageError::kTooLarge;
        return false;
    }
    std::FILE* file = path == nullptr ? nullptr : std::fopen(path, "wb");
    if (file == nullptr) {
        lastError_ = ImageError::kWriteFailed;
        return false;
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    const bool closed = std::fclose(file) == 0;
    lastError_ = written && closed ? ImageError::kNone : ImageError::kWriteFailed;
    return written && closed;
}
