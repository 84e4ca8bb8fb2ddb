// CxImage: the system's image-library layer. Loads BMP, PNG and JPEG pictures, creates blank
// pictures, exchanges pixels, resamples and saves BMP files.
//
// Conventions:
// - Row y = 0 is the BOTTOM row of the picture (callers flip rows: their row i is y = H - 1 - i).
// - Pixels are exchanged as RGBQUAD records in the order blue, green, red, reserved; the
//   reserved byte carries alpha when alpha is requested and the picture has an alpha plane.
// - Image type codes: 0 = unknown/any, 1 = BMP, 2 = PNG, 3 = JPEG. Load recognises the format
//   from the file's first bytes whatever code it is given. PNG and JPEG are optional parts of a
//   build (CanLoad tells); BMP is always there.
// - Storage: 3 bytes per pixel in the order blue, green, red, rows bottom-up and packed (no row
//   padding), plus an optional alpha plane of 1 byte per pixel in the same order.
// - No operation prints anything; the reason of the last failure is kept (GetLastError).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

struct RGBQUAD {
    uint8_t rgbBlue;
    uint8_t rgbGreen;
    uint8_t rgbRed;
    uint8_t rgbReserved;
};

enum {
    CXIMAGE_FORMAT_UNKNOWN = 0,
    CXIMAGE_FORMAT_BMP = 1,
    CXIMAGE_FORMAT_PNG = 2,
    CXIMAGE_FORMAT_JPG = 3,
};

// Why the last Load, Create, Resample or Save failed.
enum class ImageError {
    kNone = 0,
    kOpenFailed,            // the file cannot be opened
    kReadFailed,            // reading the file failed, or it is too big to hold
    kWriteFailed,           // the output file cannot be created or written
    kUnknownFormat,         // the first bytes are neither BMP, PNG nor JPEG
    kBadMagic,              // a BMP without the "BM" signature
    kTruncatedHeader,       // the file ends inside the headers, bit masks or palette
    kBadHeaderSize,         // an info-header length no reader knows
    kBadPlanes,             // a plane count other than 1
    kBadSize,               // zero or negative width, zero height, or the most negative height
    kTooLarge,              // more than 2^28 pixels
    kBadOffset,             // the pixel data would start inside the headers or beyond the file
    kBadBitCount,           // a bit count the format does not define
    kBadCompression,        // an unknown compression, or one that does not fit the bit count
    kBadBitfields,          // a colour mask that is not one run of set bits
    kBadPaletteIndex,       // a pixel refers to a palette entry beyond the palette
    kTruncatedPixels,       // the file ends inside the pixel data
    kBadPixelData,          // a PNG or JPEG stream the decoder rejects
    kOutOfMemory,           // the pixel buffer cannot be allocated
    kEmptyPicture,          // the operation needs a picture and there is none
    kBadArgument,           // a size or bit count the operation does not accept
    kUnsupportedHuffman1D,  // an OS/2 BMP with 1-bit Huffman (fax) compression
    kUnsupportedRle24,      // an OS/2 BMP with 24-bit run-length compression
    kEmbeddedSizeMismatch,  // a BMP's embedded JPEG or PNG has another size than its header
    kFormatNotBuilt,        // a PNG or JPEG file, and this build was made without that format
};

// A short English name of the reason, for test failures and developer traces.
const char* ImageErrorText(ImageError error);

class CxImage {
  public:
    // An empty picture (0 x 0).
    explicit CxImage(int imageType = 0);
    ~CxImage();

    CxImage(const CxImage&) = delete;
    CxImage& operator=(const CxImage&) = delete;

    // Loads the file at path. The format is recognised from the file's first bytes whatever
    // imageType says. Returns true on success; on failure returns false, leaves an empty picture
    // and records the reason (GetLastError). Never reads outside its buffers and never allocates
    // for more than 2^28 pixels.
    bool Load(const char* path, int imageType);

    // Same as Load, from size bytes in memory (the caller keeps ownership of data).
    bool Decode(const uint8_t* data, size_t size);

    // Whether this build reads the format (a CXIMAGE_FORMAT_ code): BMP always; PNG and JPEG
    // when their libraries were found at configure time.
    static bool CanLoad(int imageType);

    unsigned GetWidth() const;
    unsigned GetHeight() const;

    // Resizes to newWidth x newHeight; mode 1 (the only mode) averages areas along an axis that
    // shrinks and interpolates bilinearly along one that grows. The alpha plane is resampled
    // too. With dst null (or this) the picture itself takes the new size; otherwise dst receives
    // the result and this picture is unchanged. Returns false (and changes nothing) for a
    // non-positive size, more than 2^28 pixels, an unknown mode or an empty picture.
    bool Resample(long newWidth, long newHeight, int mode = 1, CxImage* dst = nullptr);

    // Replaces the picture by a black one of width x height. bitsPerPixel 24 gives no alpha
    // plane, 32 an opaque one. Returns true on success; false (and an empty picture) for a zero
    // size, more than 2^28 pixels or another bit count.
    bool Create(unsigned width, unsigned height, unsigned bitsPerPixel, int imageType);

    // Adds an opaque alpha plane (keeps an existing one); returns true on success, false for an
    // empty picture.
    bool AlphaCreate();
    bool AlphaIsValid() const;

    // Colour of pixel (x, y), row 0 at the bottom. Out of range gives all zero. The reserved
    // byte is the alpha value when getAlpha is true and the plane exists, else 0.
    RGBQUAD GetPixelColor(long x, long y, bool getAlpha = true);

    // Sets pixel (x, y); alpha is set only when setAlpha is true and the plane exists. Out of
    // range does nothing.
    void SetPixelColor(long x, long y, RGBQUAD c, bool setAlpha = false);

    // Writes the picture as a BMP file (imageType 1; any other code also writes BMP): 24 bits,
    // bottom-up rows padded to 4 bytes; a picture with an alpha plane is written with 32 bits in
    // a 108-byte header with bit masks, keeping its alpha. Returns true on success, false for an
    // empty picture or a file that cannot be written.
    bool Save(const char* path, int imageType);

    // Reason of the last failure; kNone after a success.
    ImageError GetLastError() const { return lastError_; }

    // Direct access to the pixel rows (3 bytes per pixel, blue green red, bottom row first,
    // packed) and the alpha plane (null without one). Null for an empty picture.
    const uint8_t* GetBits() const { return bgr_; }
    const uint8_t* GetAlphaBits() const { return alpha_.get(); }

  private:
    void Clear();
    // Decodes a whole file held in file; the BMP decoder may keep the buffer as storage.
    bool DecodeBuffer(std::unique_ptr<uint8_t[]> file, size_t size);

    unsigned width_ = 0;
    unsigned height_ = 0;
    std::unique_ptr<uint8_t[]> block_;  // owns the storage bgr_ points into
    uint8_t* bgr_ = nullptr;            // width_ * height_ * 3 bytes inside block_
    std::unique_ptr<uint8_t[]> alpha_;  // width_ * height_ bytes; null when there is no plane
    ImageError lastError_ = ImageError::kNone;
};
