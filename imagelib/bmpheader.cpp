// Reading the BMP headers: the file header, the info header of each variant, the colour masks
// and the palette, each check with its own reason, every size in 64 bits.
#include "imagelib/bmpformat.h"
#include "io/byteorder.h"

namespace imagecodec {
namespace bmp {
namespace {

inline int64_t SignedLe32(const uint8_t* p) {
    const uint32_t u = zelio::ReadLe32(p);
    return u >= 0x80000000u ? int64_t(u) - (int64_t(1) << 32) : int64_t(u);
}

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
    h->width = zelio::ReadLe16(info + 4);
    h->height = zelio::ReadLe16(info + 6);
    h->planes = zelio::ReadLe16(info + 8);
    h->bitCount = zelio::ReadLe16(info + 10);
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
    h->planes = zelio::ReadLe16(info + 12);
    h->bitCount = zelio::ReadLe16(info + 14);
    if (infoSize >= 40) {
        h->compression = zelio::ReadLe32(info + 16);
        h->imageSize = zelio::ReadLe32(info + 20);
        h->colorsUsed = zelio::ReadLe32(info + 32);
    }
    if (!h->os2 && infoSize >= 52) {
        h->masks[0] = zelio::ReadLe32(info + 40);
        h->masks[1] = zelio::ReadLe32(info + 44);
        h->masks[2] = zelio::ReadLe32(info + 48);
    }
    if (!h->os2 && infoSize >= 56) {
        h->masks[3] = zelio::ReadLe32(info + 52);
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

// Checks the compression against the header's kind, bit count and row order; sets embedded and
// hasMasks.
ImageError CheckCompression(Header* h) {
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
    return ImageError::kNone;
}

}  // namespace

// Reads and checks everything before the pixel data, one check after the other, each with its
// own reason.
ImageError ParseHeader(const uint8_t* f, size_t size, Header* h) {
    if (size < 2 || f[0] != 'B' || f[1] != 'M') {
        return ImageError::kBadMagic;
    }
    if (size < kFileHeaderSize + 4) {
        return ImageError::kTruncatedHeader;
    }
    h->offset = zelio::ReadLe32(f + 10);
    h->infoSize = zelio::ReadLe32(f + 14);
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
    const ImageError compression = CheckCompression(h);
    if (compression != ImageError::kNone) {
        return compression;
    }

    size_t pos = kFileHeaderSize + h->infoSize;
    if (h->hasMasks && h->infoSize == 40) {
        // A 40-byte header carries its masks right after it, with alpha for kAlphaBitfields.
        const size_t n = h->compression == kAlphaBitfields ? 16 : 12;
        if (size < pos + n) {
            return ImageError::kTruncatedHeader;
        }
        for (size_t i = 0; i * 4 < n; ++i) {
            h->masks[i] = zelio::ReadLe32(f + pos + 4 * i);
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

}  // namespace bmp
}  // namespace imagecodec
