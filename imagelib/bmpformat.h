// The BMP headers as the reader sees them: the compressions, the checked header and the pass
// that reads and checks it (imagelib/bmpheader.cpp). Private to the BMP codec.
#pragma once

#include <cstddef>
#include <cstdint>

#include "imagelib/codecs.h"

namespace imagecodec {
namespace bmp {

enum Compression : uint32_t {
    kRgb = 0,
    kRle8 = 1,
    kRle4 = 2,
    kBitfields = 3,
    kJpeg = 4,
    kPng = 5,
    kAlphaBitfields = 6,
    kOs2Huffman1D = 3,  // the same numbers mean these in OS/2 2.x headers
    kOs2Rle24 = 4,
};

constexpr size_t kFileHeaderSize = 14;

struct Header {
    uint32_t infoSize = 0;
    int64_t width = 0;
    int64_t height = 0;
    bool topDown = false;
    bool os2 = false;       // an OS/2 2.x header (16 or 64 bytes)
    bool embedded = false;  // the pixel data is a whole JPEG or PNG stream
    uint32_t planes = 0;
    uint32_t bitCount = 0;
    uint32_t compression = kRgb;
    uint32_t imageSize = 0;  // bytes of pixel data the header announces; 0 when not given
    uint32_t colorsUsed = 0;
    uint32_t offset = 0;
    uint32_t masks[4] = {0, 0, 0, 0};  // red, green, blue, alpha
    bool hasMasks = false;
    size_t paletteEntrySize = 4;
    uint8_t palette[256][3] = {};  // blue, green, red
    uint32_t paletteCount = 0;
};

// Reads and checks everything before the pixel data, one check after the other, each with its
// own reason.
ImageError ParseHeader(const uint8_t* f, size_t size, Header* h);

}  // namespace bmp
}  // namespace imagecodec
