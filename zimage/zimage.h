// ZImage<T>: a typed raster of interleaved channels.
//
// Conventions:
// - Row 0 is the top row of the picture; rows run top to bottom, pixels left to right, and the
//   channels of a pixel one after the other. In 3- and 4-channel grids channel 0 is red, 1 green,
//   2 blue and 3 alpha.
// - Element (x, y, c) lies at byte y * stride + (x * channels + c) * sizeof(T). The stride is
//   width * channels * sizeof(T) rounded up to a multiple of 4; padding bytes are never touched.
// - Pixel (x, y) is the sample at integral position (x, y): bilinear sampling (the frame's
//   GetColor and GetDisparity) returns it exactly there, and blends towards x + 1 and y + 1,
//   using the last column or row itself where the neighbour would lie beyond it.
// - The buffer is not cleared on creation. A grid is owned by exactly one holder; it cannot be
//   copied.
//
// The image library (imagelib/ximage.h) counts rows from the bottom; the two bridge functions
// below flip rows on every exchange.
#pragma once

#include <cstddef>
#include <cstdint>

class CxImage;

template <class T>
class ZImage {
  public:
    // Note the argument order: width, height, channels. A zero dimension gives an empty buffer.
    // Negative sizes, or a buffer of 2 GiB or more, also give an empty 0 x 0 grid rather than an
    // invalid allocation.
    ZImage(int width, int height, int channels);
    virtual ~ZImage();

    ZImage(const ZImage&) = delete;
    ZImage& operator=(const ZImage&) = delete;

    // Element (x, y, c); no bounds check: 0 <= x < width, 0 <= y < height, 0 <= c < channels.
    T& At(int x, int y, int c) {
        return *reinterpret_cast<T*>(data + static_cast<ptrdiff_t>(y) * stride +
                                     (static_cast<ptrdiff_t>(x) * channels + c) *
                                         static_cast<ptrdiff_t>(sizeof(T)));
    }
    const T& At(int x, int y, int c) const {
        return *reinterpret_cast<const T*>(data + static_cast<ptrdiff_t>(y) * stride +
                                           (static_cast<ptrdiff_t>(x) * channels + c) *
                                               static_cast<ptrdiff_t>(sizeof(T)));
    }

    int GetWidth() const { return width; }
    int GetHeight() const { return height; }
    int GetChannels() const { return channels; }
    int GetByteSize() const { return byteSize; }
    int GetStride() const { return stride; }
    // The buffer, byteSize bytes, for raw file input and output.
    unsigned char* GetData() { return data; }
    const unsigned char* GetData() const { return data; }

    unsigned char* data;
    int channels;
    int width;
    int height;
    int stride;
    int byteSize;
};

template <class T>
ZImage<T>::ZImage(int width_, int height_, int channels_)
    : data(nullptr), channels(channels_), width(width_), height(height_), stride(0), byteSize(0) {
    const int64_t rowBytes = static_cast<int64_t>(width_) * channels_ * int64_t(sizeof(T));
    const int64_t paddedRow = (rowBytes + 3) / 4 * 4;
    const int64_t total = paddedRow * height_;
    if (width_ < 0 || height_ < 0 || channels_ < 0 || rowBytes > INT32_MAX || total > INT32_MAX) {
        channels = width = height = 0;
        return;
    }
    stride = static_cast<int>(paddedRow);
    byteSize = static_cast<int>(total);
    data = new unsigned char[static_cast<size_t>(byteSize)];
}

template <class T>
ZImage<T>::~ZImage() {
    delete[] data;
    data = nullptr;
}

// Copies the picture into the grid, flipping rows. A 3-channel grid takes red, green and blue
// times scale, truncated to bytes; any other channel count takes (red + green + blue) / 3 in
// integer arithmetic into channel 0, unscaled. The picture's row i (from the top) goes to grid
// row i: only the part that fits in both is copied, the rest of a larger grid is left as it was.
// A null grid or one without data is left alone.
void CxImageToZImage(CxImage& src, ZImage<unsigned char>* dst, float scale);

// Renders the grid into dst (a fresh, empty picture) at 24 bits, flipping rows so that grid row 0
// is the picture's top row. Samples are clamped: p = scale * v in double, clamped to [0, 255],
// truncated. Three or more channels give red, green, blue; fewer give grey from channel 0; four
// channels also give an alpha plane from channel 3.
void ZImageToCxImage(ZImage<int>* src, CxImage* dst, float scale);
