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
// size in 64 bits and refuses more than 2^28 pixels before it allocates anything. Rows are
// decoded by one row function per pixel layout.

#include <algorithm>
#include <cstring>
#include <new>

#include "imagelib/codecs.h"

namespace imagecodec {
namespace {

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

inline uint32_t Le16(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8;
}
inline uint32_t Le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline int64_t SignedLe32(const uint8_t* p) {
    const uint32_t u = Le32(p);
    return u >= 0x80000000u ? int64_t(u) - (int64_t(1) << 32) : int64_t(u);
}
inline void Put16(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
inline void Put32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

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

// 12: OS/2 core; 16 and 64: OS/2 2.x (the 16-byte form stops after the bit count); 40, 52, 56,
// 108, 124: Windows.
bool KnownHeaderSize(uint32_t n) {
    return n == 12 || n == 16 || n == 40 || n == 52 || n == 56 || n == 64 || n == 108 || n == 124;
}

// Pixel data in one of the bit counts the row decoders handle.
bool KnownBitCount(uint32_t n) {
    return n == 1 || n == 2 || n == 4 || n == 8 || n == 16 || n == 24 || n == 32;
}

// OS/2 core header: unsigned 16-bit sizes, 3-byte palette entries, no compression.
void ReadCoreHeader(const uint8_t* info, Header* h) {
    h->width = Le16(info + 4);
    h->height = Le16(info + 6);
    h->planes = Le16(info + 8);
    h->bitCount = Le16(info + 10);
    h->paletteEntrySize = 3;
}

// Windows and OS/2 2.x info headers share the first 40 bytes: signed 32-bit sizes, then the
// compression, image size and palette length. A shorter OS/2 2.x header leaves the fields it
// does not reach at 0. Colour masks follow in Windows headers of 52 bytes or more; bytes 40 to
// 63 of the 64-byte OS/2 header hold other fields.
void ReadInfoHeader(const uint8_t* info, uint32_t infoSize, Header* h) {
    h->os2 = infoSize == 16 || infoSize == 64;
    h->width = SignedLe32(info + 4);
    h->height = SignedLe32(info + 8);
    h->planes = Le16(info + 12);
    h->bitCount = Le16(info + 14);
    if (infoSize >= 40) {
        h->compression = Le32(info + 16);
        h->imageSize = Le32(info + 20);
        h->colorsUsed = Le32(info + 32);
    }
    if (!h->os2 && infoSize >= 52) {
        h->masks[0] = Le32(info + 40);
        h->masks[1] = Le32(info + 44);
        h->masks[2] = Le32(info + 48);
    }
    if (!h->os2 && infoSize >= 56) {
        h->masks[3] = Le32(info + 52);
    }
}

// The masks of a picture without bit-field compression: 5-5-5 for 16 bits, 8-8-8 for 32 bits,
// no alpha (the masks of a long header do not apply then).
void SetDefaultMasks(Header* h) {
    h->masks[3] = 0;
    if (h->bitCount == 16) {
        h->masks[0] = 0x7C00;
        h->masks[1] = 0x03E0;
        h->masks[2] = 0x001F;
    } else {
        h->masks[0] = 0x00FF0000;
        h->masks[1] = 0x0000FF00;
        h->masks[2] = 0x000000FF;
    }
}

// The palette between the headers (ending at pos) and the pixel data; a short gap holds fewer
// entries than the bit count allows.
ImageError ReadPalette(const uint8_t* f, size_t size, size_t pos, Header* h) {
    uint32_t count = 1u << h->bitCount;
    if (h->colorsUsed != 0 && h->colorsUsed < count) {
        count = h->colorsUsed;
    }
    const size_t entrySize = h->paletteEntrySize;
    const size_t gapEntries = (h->offset - pos) / entrySize;
    if (gapEntries < count) {
        count = uint32_t(gapEntries);
    }
    if (size < pos + count * entrySize) {
        return ImageError::kTruncatedHeader;
    }
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* e = f + pos + i * entrySize;
        h->palette[i][0] = e[0];
        h->palette[i][1] = e[1];
        h->palette[i][2] = e[2];
    }
    h->paletteCount = count;
    return ImageError::kNone;
}

// Reads and checks everything before the pixel data, one check after the other, each with its
// own reason.
ImageError ParseHeader(const uint8_t* f, size_t size, Header* h) {
    if (size < 2 || f[0] != 'B' || f[1] != 'M') {
        return ImageError::kBadMagic;
    }
    if (size < kFileHeaderSize + 4) {
        return ImageError::kTruncatedHeader;
    }
    h->offset = Le32(f + 10);
    h->infoSize = Le32(f + 14);
    if (!KnownHeaderSize(h->infoSize)) {
        return ImageError::kBadHeaderSize;
    }
    if (size < kFileHeaderSize + h->infoSize) {
        return ImageError::kTruncatedHeader;
    }
    if (h->infoSize == 12) {
        ReadCoreHeader(f + kFileHeaderSize, h);
    } else {
        ReadInfoHeader(f + kFileHeaderSize, h->infoSize, h);
    }
    if (h->planes != 1) {
        return ImageError::kBadPlanes;
    }
    if (h->height < 0) {
        if (h->height == INT32_MIN) {
            return ImageError::kBadSize;
        }
        h->height = -h->height;
        h->topDown = true;
    }
    if (h->width <= 0 || h->height == 0) {
        return ImageError::kBadSize;
    }
    if (uint64_t(h->width) * uint64_t(h->height) > kMaxPixels) {
        return ImageError::kTooLarge;
    }
    // OS/2 2.x gives the numbers 3 and 4 to its own compressions.
    if (h->os2 && h->compression == kOs2Huffman1D) {
        return ImageError::kUnsupportedHuffman1D;
    }
    if (h->os2 && h->compression == kOs2Rle24) {
        return ImageError::kUnsupportedRle24;
    }
    if (h->os2 && h->compression > kRle4) {
        return ImageError::kBadCompression;
    }
    // An embedded stream brings its own bit count; the header's (usually 0) does not matter.
    h->embedded = h->compression == kJpeg || h->compression == kPng;
    if (!h->embedded && !KnownBitCount(h->bitCount)) {
        return ImageError::kBadBitCount;
    }
    switch (h->compression) {
        case kRgb:
            break;
        case kRle8:
        case kRle4:
            // Run-length pictures are always stored bottom-up.
            if (h->bitCount != (h->compression == kRle8 ? 8u : 4u) || h->topDown) {
                return ImageError::kBadCompression;
            }
            break;
        case kBitfields:
        case kAlphaBitfields:
            if (h->bitCount != 16 && h->bitCount != 32) {
                return ImageError::kBadCompression;
            }
            h->hasMasks = true;
            break;
        case kJpeg:
        case kPng:
            // Compressed pictures are always stored bottom-up.
            if (h->topDown) {
                return ImageError::kBadCompression;
            }
            break;
        default:
            return ImageError::kBadCompression;
    }

    size_t pos = kFileHeaderSize + h->infoSize;
    if (h->hasMasks && h->infoSize == 40) {
        // A 40-byte header carries its masks right after it, with alpha for kAlphaBitfields.
        const size_t n = h->compression == kAlphaBitfields ? 16 : 12;
        if (size < pos + n) {
            return ImageError::kTruncatedHeader;
        }
        for (size_t i = 0; i * 4 < n; ++i) {
            h->masks[i] = Le32(f + pos + 4 * i);
        }
        pos += n;
    } else if (!h->hasMasks && !h->embedded) {
        SetDefaultMasks(h);
    }
    if (h->offset < pos) {
        return ImageError::kBadOffset;
    }
    if (h->bitCount <= 8 && !h->embedded) {
        const ImageError err = ReadPalette(f, size, pos, h);
        if (err != ImageError::kNone) {
            return err;
        }
    }
    if (h->offset >= size) {
        return ImageError::kBadOffset;
    }
    return ImageError::kNone;
}

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
        const uint32_t pixel = kBytes == 4 ? Le32(s + 4 * x) : Le16(s + 2 * x);
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
    Put32(f + 2, uint32_t(headerSize + imageSize));
    Put32(f + 10, headerSize);
    uint8_t* info = f + kFileHeaderSize;
    Put32(info, infoSize);
    Put32(info + 4, width);
    Put32(info + 8, height);  // positive: bottom-up rows
    Put16(info + 12, 1);
    Put16(info + 14, withAlpha ? 32 : 24);
    Put32(info + 16, withAlpha ? kBitfields : kRgb);
    Put32(info + 20, uint32_t(imageSize));
    Put32(info + 24, 2835);  // 72 dots per inch
    Put32(info + 28, 2835);
    if (withAlpha) {
        Put32(info + 40, 0x00FF0000);
        Put32(info + 44, 0x0000FF00);
        Put32(info + 48, 0x000000FF);
        Put32(info + 52, 0xFF000000);
        Put32(info + 56, 0x73524742);  // colour space "sRGB"
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
