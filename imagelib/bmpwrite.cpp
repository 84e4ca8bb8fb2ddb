// Writing BMP files: plain 24-bit rows, or 32-bit with an alpha channel behind a V4 header with
// colour masks; bottom-up rows padded to a multiple of 4 bytes, little-endian numbers.
#include <cstdint>
#include <vector>

#include "imagelib/bmpformat.h"
#include "imagelib/codecs.h"
#include "io/byteorder.h"

namespace imagecodec {

using bmp::kBitfields;
using bmp::kFileHeaderSize;
using bmp::kRgb;

bool EncodeBmp(unsigned width, unsigned height, const uint8_t* bgr, const uint8_t* alpha,
               std::vector<uint8_t>* file) {
    const bool withAlpha = alpha != nullptr;
    const uint32_t infoSize = withAlpha ? 108 : 40;
    const uint32_t headerSize = uint32_t(kFileHeaderSize) + infoSize;
    const uint64_t stride = withAlpha ? uint64_t(width) * 4 : (uint64_t(width) * 3 + 3) / 4 * 4;
    const uint64_t imageSize = stride * height;
    if (headerSize + imageSize > UINT32_MAX || width > INT32_MAX || height > INT32_MAX) {
        return false;
    }
    file->assign(size_t(headerSize + imageSize), 0);
    uint8_t* f = file->data();
    f[0] = 'B';
    f[1] = 'M';
    zelio::WriteLe32(f + 2, uint32_t(headerSize + imageSize));
    zelio::WriteLe32(f + 10, headerSize);
    uint8_t* info = f + kFileHeaderSize;
    zelio::WriteLe32(info, infoSize);
    zelio::WriteLe32(info + 4, width);
    zelio::WriteLe32(info + 8, height);  // positive: bottom-up rows
    zelio::WriteLe16(info + 12, 1);
    zelio::WriteLe16(info + 14, withAlpha ? 32 : 24);
    zelio::WriteLe32(info + 16, withAlpha ? kBitfields : kRgb);
    zelio::WriteLe32(info + 20, uint32_t(imageSize));
    zelio::WriteLe32(info + 24, 2835);  // 72 dots per inch
    zelio::WriteLe32(info + 28, 2835);
    if (withAlpha) {
        zelio::WriteLe32(info + 40, 0x00FF0000);
        zelio::WriteLe32(info + 44, 0x0000FF00);
        zelio::WriteLe32(info + 48, 0x000000FF);
        zelio::WriteLe32(info + 52, 0xFF000000);
        zelio::WriteLe32(info + 56, 0x73524742);  // colour space "sRGB"
    }
    const size_t rowIn = size_t(width) * 3;
    for (size_t y = 0; y < height; ++y) {
        const uint8_t* s = bgr + y * rowIn;
        uint8_t* d = f + headerSize + y * stride;
        if (withAlpha) {
            const uint8_t* a = alpha + y * width;
            for (size_t x = 0; x < width; ++x) {
                d[4 * x] = s[3 * x];
                d[4 * x + 1] = s[3 * x + 1];
                d[4 * x + 2] = s[3 * x + 2];
                d[4 * x + 3] = a[x];
            }
        } else {
            std::memcpy(d, s, rowIn);
        }
    }
    return true;
}

}  // namespace imagecodec
