// BMP files built byte by byte for the image tests and the fuzz seeds, so that every header
// variant the reader accepts (and every way a file can be broken) can be written down directly,
// and so that loading tests do not depend on any writer of the project itself.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

namespace testutil {

// Little-endian 16- and 32-bit values appended to a string.
void Put16(std::string& out, uint32_t v);
void Put32(std::string& out, uint32_t v);

// The bytes given, each cut to 8 bits.
std::string Bytes(std::initializer_list<int> values);

// A BMP file from its parts. infoSize selects the header: 12 the core header (16-bit sizes,
// 3-byte palette entries); 16 and 64 the OS/2 2.x headers (the 16-byte one cut after the bit
// count); 40 the info header, masks following it; 52, 56, 108 and 124 the headers that hold the
// masks themselves. Any other size is written as the 40-byte fields cut or padded to it.
struct Bmp {
    uint32_t infoSize = 40;
    int32_t width = 1;
    int32_t height = 1;  // negative: rows stored top-down
    uint32_t planes = 1;
    uint32_t bitCount = 24;
    uint32_t compression = 0;
    uint32_t colorsUsed = 0;
    uint32_t colorSpace = 0;                      // headers of 108 bytes or more; 0x73524742 "sRGB"
    std::vector<uint32_t> masks;                  // red, green, blue[, alpha]
    std::vector<std::array<uint8_t, 3>> palette;  // blue, green, red
    std::string pixels;                           // the pixel array as stored
    int64_t offset = -1;                          // -1: right after the palette
};

// The file bytes. An explicit offset beyond the palette is filled with zeros (up to 4 KiB) before
// the pixels; the file-size field counts the headers, palette and pixels only.
std::string BuildBmp(const Bmp& b);

// Stored rows of a width x height picture, each padded to 4 bytes: byteAt(x, y, k) gives byte k
// of pixel x of stored row y, for pixels of bytesPerPixel bytes.
std::string Rows(int width, int height, int bytesPerPixel,
                 const std::function<int(int x, int y, int k)>& byteAt);

// Stored rows of palette indices packed at 1, 2 or 4 bits per pixel, first pixel in the high
// bits, each row padded to 4 bytes.
std::string PackedRows(int width, int height, int bits,
                       const std::function<int(int x, int y)>& index);

struct Rgb {
    uint8_t r, g, b;
};

// An uncompressed bottom-up 24-bit BMP of width x height with a 40-byte header; pixels[y * width
// + x] is the colour of column x in row y counted from the TOP of the picture.
std::string Bmp24Bytes(int width, int height, const std::vector<Rgb>& pixels);

// A width x height picture whose pixel (x, y) is (10 * x + y, 100 + y, 200 - x): every pixel
// differs from every other.
std::vector<Rgb> DistinctPixels(int width, int height);

}  // namespace testutil
