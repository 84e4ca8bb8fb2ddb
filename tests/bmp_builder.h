// Builds BMP files byte by byte for the image tests, so that every header variant the reader
// accepts (and every way a file can be broken) can be written down directly.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace bmptest {

inline void Put16(std::string& s, uint32_t v) {
    s.push_back(char(v & 0xFF));
    s.push_back(char((v >> 8) & 0xFF));
}
inline void Put32(std::string& s, uint32_t v) {
    Put16(s, v & 0xFFFF);
    Put16(s, v >> 16);
}

struct Bmp {
    uint32_t infoSize = 40;  // 12, 40, 52, 56, 108 or 124
    int32_t width = 1;
    int32_t height = 1;
    uint32_t planes = 1;
    uint32_t bitCount = 24;
    uint32_t compression = 0;
    uint32_t colorsUsed = 0;
    std::vector<uint32_t> masks;                  // red, green, blue[, alpha]
    std::vector<std::array<uint8_t, 3>> palette;  // blue, green, red
    std::string pixels;                           // the pixel array as stored
    int64_t offset = -1;                          // -1: right after the palette
};

// The file bytes. Masks go inside headers of 52 bytes or more and after a 40-byte header.
inline std::string Build(const Bmp& b) {
    std::string info;
    Put32(info, b.infoSize);
    if (b.infoSize == 12) {
        Put16(info, uint32_t(b.width));
        Put16(info, uint32_t(b.height));
        Put16(info, b.planes);
        Put16(info, b.bitCount);
    } else {
        Put32(info, uint32_t(b.width));
        Put32(info, uint32_t(b.height));
        Put16(info, b.planes);
        Put16(info, b.bitCount);
        Put32(info, b.compression);
        Put32(info, uint32_t(b.pixels.size()));
        Put32(info, 2835);
        Put32(info, 2835);
        Put32(info, b.colorsUsed);
        Put32(info, 0);
        for (size_t i = 0; b.infoSize > 40 && i < 4 && 40 + 4 * i < b.infoSize; ++i) {
            Put32(info, i < b.masks.size() ? b.masks[i] : 0);
        }
        info.resize(b.infoSize, '\0');
    }
    std::string extra;
    if (b.infoSize == 40) {
        for (uint32_t m : b.masks) {
            Put32(extra, m);
        }
    }
    for (const auto& e : b.palette) {
        extra.push_back(char(e[0]));
        extra.push_back(char(e[1]));
        extra.push_back(char(e[2]));
        if (b.infoSize != 12) {
            extra.push_back('\0');
        }
    }
    const uint32_t natural = uint32_t(14 + info.size() + extra.size());
    const uint32_t offset = b.offset < 0 ? natural : uint32_t(b.offset);
    std::string f = "BM";
    Put32(f, uint32_t(natural + b.pixels.size()));
    Put32(f, 0);
    Put32(f, offset);
    f += info;
    f += extra;
    if (offset > natural && b.offset >= 0) {
        f.append(offset - natural < 4096 ? offset - natural : 0, '\0');
    }
    f += b.pixels;
    return f;
}

inline std::string Bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values) {
        s.push_back(char(v & 0xFF));
    }
    return s;
}

}  // namespace bmptest
