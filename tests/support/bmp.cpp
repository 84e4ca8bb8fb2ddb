#include "tests/support/bmp.h"

namespace testutil {

void Put16(std::string& out, uint32_t v) {
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>((v >> 8) & 0xFF));
}

void Put32(std::string& out, uint32_t v) {
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}

std::string Bytes(std::initializer_list<int> values) {
    std::string out;
    for (int v : values) {
        out.push_back(static_cast<char>(v & 0xFF));
    }
    return out;
}

namespace {

// The info header: the core layout, or the 40-byte fields followed, in larger headers, by the
// masks and the colour-space tag, then cut or padded to infoSize.
std::string InfoHeader(const Bmp& b) {
    std::string info;
    Put32(info, b.infoSize);
    if (b.infoSize == 12) {
        Put16(info, static_cast<uint32_t>(b.width));
        Put16(info, static_cast<uint32_t>(b.height));
        Put16(info, b.planes);
        Put16(info, b.bitCount);
        return info;
    }
    Put32(info, static_cast<uint32_t>(b.width));
    Put32(info, static_cast<uint32_t>(b.height));
    Put16(info, b.planes);
    Put16(info, b.bitCount);
    Put32(info, b.compression);
    Put32(info, static_cast<uint32_t>(b.pixels.size()));
    Put32(info, 2835);  // 72 dpi
    Put32(info, 2835);
    Put32(info, b.colorsUsed);
    Put32(info, 0);  // important colours
    for (size_t i = 0; b.infoSize > 40 && i < 4 && 40 + 4 * i < b.infoSize; ++i) {
        Put32(info, i < b.masks.size() ? b.masks[i] : 0);
    }
    if (b.infoSize >= 108) {
        Put32(info, b.colorSpace);
    }
    info.resize(b.infoSize, '\0');
    return info;
}

}  // namespace

std::string BuildBmp(const Bmp& b) {
    const std::string info = InfoHeader(b);
    std::string extra;
    if (b.infoSize == 40) {
        for (uint32_t m : b.masks) {
            Put32(extra, m);
        }
    }
    for (const auto& e : b.palette) {
        extra.append({static_cast<char>(e[0]), static_cast<char>(e[1]), static_cast<char>(e[2])});
        if (b.infoSize != 12) {
            extra.push_back('\0');
        }
    }
    const uint32_t natural = static_cast<uint32_t>(14 + info.size() + extra.size());
    const uint32_t offset = b.offset < 0 ? natural : static_cast<uint32_t>(b.offset);
    std::string file = "BM";
    Put32(file, static_cast<uint32_t>(natural + b.pixels.size()));
    Put32(file, 0);
    Put32(file, offset);
    file += info;
    file += extra;
    if (offset > natural && b.offset >= 0) {
        file.append(offset - natural < 4096 ? offset - natural : 0, '\0');
    }
    file += b.pixels;
    return file;
}

namespace {

void PadRow(std::string& row) {
    while (row.size() % 4 != 0) {
        row.push_back('\0');
    }
}

}  // namespace

std::string Rows(int width, int height, int bytesPerPixel,
                 const std::function<int(int x, int y, int k)>& byteAt) {
    std::string out;
    for (int y = 0; y < height; y++) {
        std::string row;
        for (int x = 0; x < width; x++) {
            for (int k = 0; k < bytesPerPixel; k++) {
                row.push_back(static_cast<char>(byteAt(x, y, k)));
            }
        }
        PadRow(row);
        out += row;
    }
    return out;
}

std::string PackedRows(int width, int height, int bits,
                       const std::function<int(int x, int y)>& index) {
    std::string out;
    for (int y = 0; y < height; y++) {
        std::string row;
        int acc = 0;
        int used = 0;
        for (int x = 0; x < width; x++) {
            acc = (acc << bits) | index(x, y);
            used += bits;
            if (used == 8) {
                row.push_back(static_cast<char>(acc));
                acc = used = 0;
            }
        }
        if (used > 0) {
            row.push_back(static_cast<char>(acc << (8 - used)));
        }
        PadRow(row);
        out += row;
    }
    return out;
}

std::string Bmp24Bytes(int width, int height, const std::vector<Rgb>& pixels) {
    Bmp b;
    b.width = width;
    b.height = height;  // positive: the first stored row is the bottom one
    b.pixels = Rows(width, height, 3, [&](int x, int y, int k) {
        const Rgb& p = pixels[static_cast<size_t>((height - 1 - y) * width + x)];
        return k == 0 ? p.b : k == 1 ? p.g : p.r;
    });
    return BuildBmp(b);
}

std::vector<Rgb> DistinctPixels(int width, int height) {
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
