// The BMP codec: reads the Windows and OS/2 bitmap variants a picture is likely to come in and
// writes plain 24-bit (or 32-bit with alpha) files.
//
// File layout: a 14-byte file header ("BM", file size, two reserved words, offset of the pixel
// data), an info header whose first 4 bytes give its length (12 for the OS/2 core header with
// 16-bit sizes; 16 or 64 for OS/2 2.x; 40, 52, 56, 108 or 124 for the Windows ones with 32-bit
// signed sizes), optional colour masks (after a 40-byte header with bit-field compression), an
// optional palette, and the pixel rows. Rows are bottom-up unless the height is negative, and each
// row is padded to a multiple of 4 bytes. All numbers are little-endian.
//
// Also read: OS/2 2.x info headers of 64 bytes and their 16-byte truncation (the fields they do
// not reach read as 0; their own Huffman 1D and RLE24 compressions are refused), 2-bit palettes,
// 16- and 32-bit colour masks with an alpha mask (in a V4/V5 header, or after a 40-byte header
// with BI_ALPHABITFIELDS), and whole JPEG or PNG streams as pixel data (BI_JPEG, BI_PNG), decoded
// by the other codecs and checked against the header's size.
//
// The reader checks the headers in one flat pass, each check with its own reason, computes every
// size in 64 bits and refuses more than 2^28 pixels before it allocates anything
// (imagelib/bmpheader.cpp). Rows are decoded here, by one row function per pixel layout; files
// are written by imagelib/bmpwrite.cpp.

#include <algorithm>
#include <cstring>
#include <new>

#include "imagelib/bmpformat.h"
#include "imagelib/codecs.h"
#include "io/byteorder.h"

namespace imagecodec {
namespace {

using namespace bmp;

// One colour mask of a 16- or 32-bit picture, turned into an 8-bit value as
// lut[((pixel & mask) >> shift) >> extra]. Channels wider than 8 bits drop their low bits;
// narrower ones are stretched to 0..255 by the table.
struct MaskChannel {
    uint32_t mask = 0;
    int shift = 0;
    int extra = 0;
    uint8_t lut[256] = {};

    // False when the mask is not one run of set bits.
    bool Set(uint32_t m) {
        mask = m;
        if (m == 0) {
            return true;  // the channel reads as 0
        }
        shift = 0;
        while (((m >> shift) & 1u) == 0) {
            ++shift;
        }
        const uint32_t run = m >> shift;
        if ((run & (run + 1)) != 0) {
            return false;
        }
        int bits = 0;
        while (bits < 32 && ((run >> bits) & 1u) != 0) {
            ++bits;
        }
        extra = bits > 8 ? bits - 8 : 0;
        const int used = bits > 8 ? 8 : bits;
        const uint32_t maxValue = (1u << used) - 1;
        for (uint32_t v = 0; v <= maxValue; ++v) {
            lut[v] = uint8_t((v * 255 + maxValue / 2) / maxValue);
        }
        return true;
    }
    uint8_t Get(uint32_t pixel) const { return lut[((pixel & mask) >> shift) >> extra]; }
};

// Run-length decoding (8 or 4 bits per index). Pixels the stream skips stay black; pixels past
// the end of a row are dropped.
ImageError DecodeRle(const Header& h, const uint8_t* p, const uint8_t* end, uint8_t* dst) {
    const uint64_t w = uint64_t(h.width);
    const uint64_t ht = uint64_t(h.height);
    const bool rle8 = h.compression == kRle8;
    uint64_t x = 0;
    uint64_t y = 0;
    auto put = [&](uint32_t index) {
        if (x < w && y < ht) {
            uint8_t* d = dst + (y * w + x) * 3;
            d[0] = h.palette[index][0];
            d[1] = h.palette[index][1];
            d[2] = h.palette[index][2];
        }
        ++x;
    };
    while (y < ht) {
        if (end - p < 2) {
            return ImageError::kTruncatedPixels;
        }
        const uint32_t n = p[0];
        const uint32_t c = p[1];
        p += 2;
        if (n > 0) {
            // A run of n pixels: one index, or two alternating 4-bit indexes.
            const uint32_t a = rle8 ? c : c >> 4;
            const uint32_t b = rle8 ? c : c & 15;
            if (a >= h.paletteCount || (n > 1 && b >= h.paletteCount)) {
                return ImageError::kBadPaletteIndex;
            }
            const uint32_t inRow = x < w ? uint32_t(std::min<uint64_t>(n, w - x)) : 0;
            for (uint32_t k = 0; k < inRow; ++k) {
                put((k & 1) ? b : a);
            }
            x += n - inRow;
        } else if (c == 0) {
            x = 0;
            ++y;
        } else if (c == 1) {
            return ImageError::kNone;
        } else if (c == 2) {
            if (end - p < 2) {
                return ImageError::kTruncatedPixels;
            }
            x += p[0];
            y += p[1];
            p += 2;
        } else {
            // Absolute mode: c literal indexes, padded to a 16-bit boundary.
            const size_t bytes = rle8 ? c : (c + 1) / 2;
            if (size_t(end - p) < bytes) {
                return ImageError::kTruncatedPixels;
            }
            for (uint32_t k = 0; k < c; ++k) {
                const uint32_t index = rle8 ? p[k] : (k & 1) ? p[k / 2] & 15 : p[k / 2] >> 4;
                if (index >= h.paletteCount) {
                    return ImageError::kBadPaletteIndex;
                }
                put(index);
            }
            p += std::min(size_t(end - p), (bytes + 1) & ~size_t(1));
        }
        x = std::min(x, w);
    }
    return ImageError::kNone;
}

// What the row decoders need besides the rows: the header (palette) and the colour masks.
struct RowContext {
    const Header* h = nullptr;
    MaskChannel channels[4];  // red, green, blue, alpha
};

// One row decoder per pixel layout: s is the stored row, d receives w pixels of blue, green,
// red, a their alpha (null when the picture has no alpha plane). In place, d may start at or
// before s, never after it; every decoder reads a pixel before it writes over its bytes.
using RowDecoder = ImageError (*)(const RowContext& c, const uint8_t* s, uint8_t* d, uint8_t* a,
                                  uint32_t w);

// Palette pictures of 1, 2, 4 or 8 bits per index, the leftmost pixel in the high bits.
ImageError DecodeIndexedRow(const RowContext& c, const uint8_t* s, uint8_t* d, uint8_t*,
                            uint32_t w) {
    const Header& h = *c.h;
    const uint32_t bits = h.bitCount;
    const uint32_t perByte = 8 / bits;
    const uint32_t valueMask = (1u << bits) - 1;
    for (uint32_t x = 0; x < w; ++x) {
        uint32_t index;
        if (bits == 8) {
            index = s[x];
        } else {
            const uint32_t bitPos = (perByte - 1 - x % perByte) * bits;
            index = (s[x / perByte] >> bitPos) & valueMask;
        }
        if (index >= h.paletteCount) {
            return ImageError::kBadPaletteIndex;
        }
        d[3 * x] = h.palette[index][0];
        d[3 * x + 1] = h.palette[index][1];
        d[3 * x + 2] = h.palette[index][2];
    }
    return ImageError::kNone;
}

ImageError Decode24Row(const RowContext&, const uint8_t* s, uint8_t* d, uint8_t*, uint32_t w) {
    std::memmove(d, s, size_t(w) * 3);
    return ImageError::kNone;
}

// 32 bits in the order blue, green, red, alpha (or unused): plain byte copies.
ImageError DecodePlain32Row(const RowContext&, const uint8_t* s, uint8_t* d, uint8_t* a,
                            uint32_t w) {
    // Alpha first: in place, the colour bytes overwrite the source row.
    if (a != nullptr) {
        for (uint32_t x = 0; x < w; ++x) {
            a[x] = s[4 * x + 3];
        }
    }
    for (uint32_t x = 0; x < w; ++x) {
        d[3 * x] = s[4 * x];
        d[3 * x + 1] = s[4 * x + 1];
        d[3 * x + 2] = s[4 * x + 2];
    }
    return ImageError::kNone;
}

// 16 or 32 bits per pixel through the colour masks.
template <int kBytes>
ImageError DecodeMaskedRow(const RowContext& c, const uint8_t* s, uint8_t* d, uint8_t* a,
                           uint32_t w) {
    for (uint32_t x = 0; x < w; ++x) {
        const uint32_t pixel =
            kBytes == 4 ? zelio::ReadLe32(s + 4 * x) : zelio::ReadLe16(s + 2 * x);
        d[3 * x] = c.channels[2].Get(pixel);
        d[3 * x + 1] = c.channels[1].Get(pixel);
        d[3 * x + 2] = c.channels[0].Get(pixel);
        if (a != nullptr) {
            a[x] = c.channels[3].Get(pixel);
        }
    }
    return ImageError::kNone;
}

RowDecoder ChooseRowDecoder(const Header& h) {
    switch (h.bitCount) {
        case 24:
            return Decode24Row;
        case 32: {
            const bool plain = h.masks[0] == 0x00FF0000 && h.masks[1] == 0x0000FF00 &&
                               h.masks[2] == 0x000000FF &&
                               (h.masks[3] == 0 || h.masks[3] == 0xFF000000);
            return plain ? DecodePlain32Row : DecodeMaskedRow<4>;
        }
        case 16:
            return DecodeMaskedRow<2>;
        default:
            return DecodeIndexedRow;
    }
}

void Finish(std::unique_ptr<uint8_t[]> block, uint8_t* bgr, std::unique_ptr<uint8_t[]> alpha,
            const Header& h, Decoded* out) {
    out->bgr = bgr;
    out->block = std::move(block);
    out->alpha = std::move(alpha);
    out->width = uint32_t(h.width);
    out->height = uint32_t(h.height);
}

ImageError DecodeRlePicture(const Header& h, const uint8_t* f, size_t size, Decoded* out) {
    const size_t bytes = size_t(h.width) * size_t(h.height) * 3;
    std::unique_ptr<uint8_t[]> block = AllocateBytes(bytes);
    if (!block) {
        return ImageError::kOutOfMemory;
    }
    std::memset(block.get(), 0, bytes);
    const ImageError err = DecodeRle(h, f + h.offset, f + size, block.get());
    if (err != ImageError::kNone) {
        return err;
    }
    uint8_t* bgr = block.get();
    Finish(std::move(block), bgr, nullptr, h, out);
    return ImageError::kNone;
}

// A whole JPEG or PNG stream as the pixel data: decoded by the codec of its own, which must
// give the size the header announces. The stream is the header's image size when it gives one,
// else the rest of the file.
ImageError DecodeEmbedded(const Header& h, const uint8_t* f, size_t size, Decoded* out) {
    const uint8_t* data = f + h.offset;
    size_t length = size - h.offset;
    if (h.imageSize != 0) {
        if (h.imageSize > length) {
            return ImageError::kTruncatedPixels;
        }
        length = h.imageSize;
    }
    Decoded picture;
    // A build without the stream's codec refuses it as it refuses a plain file of that format.
    ImageError err = ImageError::kFormatNotBuilt;
    static_cast<void>(data);
    if (h.compression == kJpeg) {
#if ZEL_HAVE_JPEG
        err = DecodeJpeg(data, length, &picture);
#endif
    } else {
#if ZEL_HAVE_PNG
        err = DecodePng(data, length, &picture);
#endif
    }
    if (err != ImageError::kNone) {
        return err;
    }
    if (picture.width != uint64_t(h.width) || picture.height != uint64_t(h.height)) {
        return ImageError::kEmbeddedSizeMismatch;
    }
    *out = std::move(picture);
    return ImageError::kNone;
}

// Uncompressed rows (and bit fields). Bottom-up rows of 24 or 32 bits shrink or keep their size,
// so they are converted inside the file buffer itself, front to back; a packed 24-bit picture
// needs no work at all.
ImageError DecodeRows(const Header& h, std::unique_ptr<uint8_t[]>& file, size_t size,
                      Decoded* out) {
    const uint32_t w = uint32_t(h.width);
    const uint32_t ht = uint32_t(h.height);
    const size_t rowOut = size_t(w) * 3;
    const size_t stride = (size_t(w) * h.bitCount + 31) / 32 * 4;
    const size_t lastRow = (size_t(w) * h.bitCount + 7) / 8;
    if (size - h.offset < (ht - 1) * stride + lastRow) {
        return ImageError::kTruncatedPixels;
    }
    RowContext context;
    context.h = &h;
    if (h.bitCount == 16 || h.bitCount == 32) {
        for (int i = 0; i < 4; ++i) {
            if (!context.channels[i].Set(h.masks[i])) {
                return ImageError::kBadBitfields;
            }
        }
    }
    std::unique_ptr<uint8_t[]> alpha;
    if ((h.bitCount == 16 || h.bitCount == 32) && h.masks[3] != 0) {
        alpha = AllocateBytes(size_t(w) * ht);
        if (!alpha) {
            return ImageError::kOutOfMemory;
        }
    }
    const uint8_t* data = file.get() + h.offset;  // stays valid when block takes the buffer
    std::unique_ptr<uint8_t[]> block;
    if (!h.topDown && h.bitCount >= 24) {
        block = std::move(file);
        if (h.bitCount == 24 && stride == rowOut) {
            uint8_t* bgr = block.get() + h.offset;
            Finish(std::move(block), bgr, nullptr, h, out);
            return ImageError::kNone;
        }
    } else {
        block = AllocateBytes(size_t(w) * ht * 3);
        if (!block) {
            return ImageError::kOutOfMemory;
        }
    }
    const RowDecoder decodeRow = ChooseRowDecoder(h);
    for (uint32_t r = 0; r < ht; ++r) {
        const size_t y = h.topDown ? ht - 1 - r : r;
        uint8_t* a = alpha ? alpha.get() + y * w : nullptr;
        const ImageError err =
            decodeRow(context, data + size_t(r) * stride, block.get() + y * rowOut, a, w);
        if (err != ImageError::kNone) {
            return err;
        }
    }
    uint8_t* bgr = block.get();
    Finish(std::move(block), bgr, std::move(alpha), h, out);
    return ImageError::kNone;
}

}  // namespace

std::unique_ptr<uint8_t[]> AllocateBytes(size_t n) {
    return std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[n == 0 ? 1 : n]);
}

ImageError DecodeBmp(std::unique_ptr<uint8_t[]>& file, size_t size, Decoded* out) {
    *out = Decoded();
    Header h;
    const ImageError err = ParseHeader(file.get(), size, &h);
    if (err != ImageError::kNone) {
        return err;
    }
    if (h.embedded) {
        return DecodeEmbedded(h, file.get(), size, out);
    }
    if (h.compression == kRle8 || h.compression == kRle4) {
        return DecodeRlePicture(h, file.get(), size, out);
    }
    return DecodeRows(h, file, size, out);
}

}  // namespace imagecodec
