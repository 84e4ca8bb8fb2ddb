// CxImage: the system's image-library layer. Loads BMP, PNG and JPEG pictures, creates blank
// pictures, exchanges pixels, resamples and saves BMP files.
//
// Conventions:
// - Row y = 0 is the BOTTOM row of the picture (callers flip rows: their row i is y = H - 1 - i).
// - Pixels are exchanged as RGBQUAD records in the order blue, green, red, reserved; the
//   reserved byte carries alpha when alpha is requested and the picture has an alpha plane.
// - Image type codes: 0 = unknown/any, 1 = BMP, 2 = PNG, 3 = JPEG. Load recognises the format
//   from the file's first bytes whatever code it is given.
#pragma once

#include <cstdint>
#include <vector>

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

class CxImage {
  public:
    // An empty picture (0 x 0).
    explicit CxImage(int imageType = 0);
    ~CxImage();

    CxImage(const CxImage&) = delete;
    CxImage& operator=(const CxImage&) = delete;

    // Loads the file at path. Returns true on success; on failure returns false and leaves an
    // empty picture. Never reads outside its buffers or allocates a size taken unchecked from
    // the file.
    bool Load(const char* path, int imageType);

    unsigned GetWidth() const;
    unsigned GetHeight() const;

    // Resizes to newWidth x newHeight; mode 1 averages areas when shrinking and interpolates
    // bilinearly when enlarging. With dst null the picture itself takes the new size; otherwise
    // dst receives the result. Returns false for a non-positive size or an empty picture.
    bool Resample(long newWidth, long newHeight, int mode = 1, CxImage* dst = nullptr);

    // Replaces the picture by a blank (black) one of width x height at bitsPerPixel (24). Returns
    // true on success.
    bool Create(unsigned width, unsigned height, unsigned bitsPerPixel, int imageType);

    // Adds an alpha plane (fully opaque); returns true on success.
    bool AlphaCreate();
    bool AlphaIsValid() const;

    // Colour of pixel (x, y), row 0 at the bottom. Out of range gives all zero. The reserved
    // byte is the alpha value when getAlpha is true and the plane exists, else 0.
    RGBQUAD GetPixelColor(long x, long y, bool getAlpha = true);

    // Sets pixel (x, y); alpha is set only when setAlpha is true and the plane exists. Out of
    // range does nothing.
    void SetPixelColor(long x, long y, RGBQUAD c, bool setAlpha = false);

    // Writes the picture as a BMP file (imageType 1; any other code also writes BMP): 24 bits,
    // or 32 bits with alpha when the picture has an alpha plane. Returns true on success.
    bool Save(const char* path, int imageType);

  private:
    unsigned width_ = 0;
    unsigned height_ = 0;
    std::vector<uint8_t> bgr_;    // 3 bytes per pixel, row 0 (bottom) first, packed
    std::vector<uint8_t> alpha_;  // 1 byte per pixel, same order; empty when there is no plane
};
