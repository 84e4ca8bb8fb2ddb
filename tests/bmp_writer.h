// Builds small 24-bit BMP files byte by byte, so that loading tests do not depend on any writer
// of the project itself.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/test_util.h"

namespace testutil {

struct Rgb {
    uint8_t r, g, b;
};

// The bytes of an uncompressed bottom-up 24-bit BMP of width x height; pixels[y * width + x]
// is the colour of column x in row y counted from the TOP of the picture.
inline std::string Bmp24Bytes(int width, int height, const std::vector<Rgb>& pixels) {
    const int rowBytes = (width * 3 + 3) / 4 * 4;
    const uint32_t imageBytes = static_cast<uint32_t>(rowBytes * height);
    std::string out;
    auto put16 = [&out](uint32_t v) {
        out.push_back(static_cast<char>(v & 0xFF));
        out.push_back(static_cast<char>((v >> 8) & 0xFF));
    };
    auto put32 = [&put16](uint32_t v) {
        put16(v & 0xFFFF);
        put16(v >> 16);
    };
    out += "BM";
    put32(14 + 40 + imageBytes);  // file size
    put32(0);                     // reserved
    put32(14 + 40);               // offset of the pixel data
    put32(40);                    // BITMAPINFOHEADER
    put32(static_cast<uint32_t>(width));
    put32(static_cast<uint32_t>(height));  // positive: rows stored bottom-up
    put16(1);                              // planes
    put16(24);                             // bits per pixel
    put32(0);                              // BI_RGB
    put32(imageBytes);
    put32(2835);  // 72 dpi
    put32(2835);
    put32(0);
    put32(0);
    for (int row = height - 1; row >= 0; row--) {
        for (int x = 0; x < width; x++) {
            const Rgb& p = pixels[static_cast<size_t>(row * width + x)];
            out.push_back(static_cast<char>(p.b));
            out.push_back(static_cast<char>(p.g));
            out.push_back(static_cast<char>(p.r));
        }
        for (int pad = width * 3; pad < rowBytes; pad++) {
            out.push_back('\0');
        }
    }
    return out;
}

inline void WriteBmp24(const std::string& path, int width, int height,
                       const std::vector<Rgb>& pixels) {
    WriteFile(path, Bmp24Bytes(width, height, pixels));
}

// A width x height picture whose pixel (x, y) is (10 * x + y, 100 + y, 200 - x): every pixel
// differs from every other.
inline std::vector<Rgb> DistinctPixels(int width, int height) {
    std::vector<Rgb> pixels;
    for (int y = 0; y < height; y++) {
        for (int x = 0; x < width; x++) {
            pixels.push_back(Rgb{static_cast<uint8_t>(10 * x + y), static_cast<uint8_t>(100 + y),
                                 static_cast<uint8_t>(200 - x)});
        }
    }
    return pixels;
}

}  // namespace testutil
