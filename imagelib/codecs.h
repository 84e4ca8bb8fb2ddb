// Internal: the file codecs behind CxImage. Every decoder produces the layer's storage layout:
// 3 bytes per pixel (blue, green, red), rows bottom-up and packed, and an optional alpha plane
// of 1 byte per pixel in the same order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "imagelib/ximage.h"

// The build says which optional decoders it compiled (PNG and JPEG); both by default.
#ifndef ZEL_HAVE_PNG
#define ZEL_HAVE_PNG 1
#endif
#ifndef ZEL_HAVE_JPEG
#define ZEL_HAVE_JPEG 1
#endif

namespace imagecodec {

// The largest picture any decoder or Create accepts, in pixels.
constexpr uint64_t kMaxPixels = uint64_t(1) << 28;

// A decoded picture. bgr points into block (not always at its start: the BMP decoder may keep
// the pixels inside the file buffer it was given).
struct Decoded {
    unsigned width = 0;
    unsigned height = 0;
    std::unique_ptr<uint8_t[]> block;
    uint8_t* bgr = nullptr;
    std::unique_ptr<uint8_t[]> alpha;
};

// Allocates n bytes without initialising them; null when memory runs out.
std::unique_ptr<uint8_t[]> AllocateBytes(size_t n);

// Decodes a BMP file held in file (size bytes). The decoder may take over the buffer (then file
// is null afterwards) to keep the pixels in place. Returns kNone on success; on failure out is
// left empty.
ImageError DecodeBmp(std::unique_ptr<uint8_t[]>& file, size_t size, Decoded* out);

// Decodes a PNG or JPEG stream of size bytes (the caller keeps data). kNone on success.
ImageError DecodePng(const uint8_t* data, size_t size, Decoded* out);
ImageError DecodeJpeg(const uint8_t* data, size_t size, Decoded* out);

// Encodes a picture as a BMP file: 24 bits without alpha, 32 bits with a 108-byte header and bit
// masks with alpha. Rows bottom-up, padded to 4 bytes. Returns false when the file would not
// fit in 4 GiB.
bool EncodeBmp(unsigned width, unsigned height, const uint8_t* bgr, const uint8_t* alpha,
               std::vector<uint8_t>* file);

}  // namespace imagecodec
