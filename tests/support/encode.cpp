#include "tests/support/encode.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace testutil {

#if ZEL_HAVE_PNG
namespace {

using PngRows = std::vector<std::vector<png_byte>>;

size_t PngRowBytes(int width, int colorType, int bitDepth) {
    const size_t channels = colorType == PNG_COLOR_TYPE_GRAY_ALPHA  ? 2
                            : colorType == PNG_COLOR_TYPE_RGB       ? 3
                            : colorType == PNG_COLOR_TYPE_RGB_ALPHA ? 4
                                                                    : 1;
    return (static_cast<size_t>(width) * channels * static_cast<size_t>(bitDepth) + 7) / 8;
}

void PngWriteToString(png_structp png, png_bytep data, size_t n) {
    static_cast<std::string*>(png_get_io_ptr(png))->append(reinterpret_cast<char*>(data), n);
}
void PngFlush(png_structp) {}

std::string WritePng(int width, int height, int colorType, int bitDepth, bool interlace,
                     PngRows& rows, const std::vector<png_color>& palette,
                     const std::vector<png_byte>& trns) {
    std::vector<png_bytep> pointers;
    for (auto& row : rows) {
        pointers.push_back(row.data());
    }
    std::string out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        std::fprintf(stderr, "ERROR: libpng could not write the test picture\n");
        png_destroy_write_struct(&png, &info);
        return std::string();
    }
    png_set_write_fn(png, &out, PngWriteToString, PngFlush);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height),
                 bitDepth, colorType, interlace ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (!palette.empty()) {
        png_set_PLTE(png, info, palette.data(), static_cast<int>(palette.size()));
    }
    if (!trns.empty()) {
        png_set_tRNS(png, info, trns.data(), static_cast<int>(trns.size()), nullptr);
    }
    png_write_info(png, info);
    png_write_image(png, pointers.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return out;
}

}  // namespace

std::string EncodePng(int width, int height, int colorType, int bitDepth, bool interlace,
                      const PixelSamples& sample, const std::vector<png_color>& palette,
                      const std::vector<png_byte>& trns) {
    PngRows rows(static_cast<size_t>(height));
    for (int y = 0; y < height; ++y) {
        std::vector<png_byte>& row = rows[static_cast<size_t>(y)];
        row.assign(PngRowBytes(width, colorType, bitDepth), 0);
        for (int x = 0; x < width; ++x) {
            const std::vector<int> s = sample(x, y);
            for (size_t c = 0; c < s.size(); ++c) {
                const size_t i = static_cast<size_t>(x) * s.size() + c;  // sample within the row
                if (bitDepth == 16) {
                    row[2 * i] = static_cast<png_byte>(s[c] >> 8);
                    row[2 * i + 1] = static_cast<png_byte>(s[c]);
                } else if (bitDepth == 8) {
                    row[i] = static_cast<png_byte>(s[c]);
                } else {
                    const size_t bit = i * static_cast<size_t>(bitDepth);
                    const int shift = 8 - bitDepth - static_cast<int>(bit % 8);
                    row[bit / 8] = static_cast<png_byte>(row[bit / 8] | s[c] << shift);
                }
            }
        }
    }
    return WritePng(width, height, colorType, bitDepth, interlace, rows, palette, trns);
}

std::string EncodePngRows(int width, int height, int colorType, int bitDepth, bool interlace,
                          const std::function<int(int y, size_t i)>& byteAt,
                          const std::vector<png_color>& palette,
                          const std::vector<png_byte>& trns) {
    PngRows rows(static_cast<size_t>(height));
    for (int y = 0; y < height; ++y) {
        std::vector<png_byte>& row = rows[static_cast<size_t>(y)];
        row.resize(PngRowBytes(width, colorType, bitDepth));
        for (size_t i = 0; i < row.size(); ++i) {
            row[i] = static_cast<png_byte>(byteAt(y, i));
        }
    }
    return WritePng(width, height, colorType, bitDepth, interlace, rows, palette, trns);
}
#endif

bool ReadPngRgb(const std::string& path, int& width, int& height, std::vector<unsigned char>& rgb) {
#if !ZEL_HAVE_PNG
    static_cast<void>(path);
    static_cast<void>(width);
    static_cast<void>(height);
    static_cast<void>(rgb);
    return false;
#else
    png_image image;
    std::memset(&image, 0, sizeof(image));
    image.version = PNG_IMAGE_VERSION;
    if (png_image_begin_read_from_file(&image, path.c_str()) == 0) {
        return false;
    }
    image.format = PNG_FORMAT_RGB;
    width = static_cast<int>(image.width);
    height = static_cast<int>(image.height);
    rgb.resize(PNG_IMAGE_SIZE(image));
    return png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr) != 0;
#endif
}

#if ZEL_HAVE_JPEG
std::string EncodeJpeg(int width, int height, J_COLOR_SPACE space, int components, int quality,
                       bool progressive, const PixelSamples& sample) {
    jpeg_compress_struct cinfo;
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_compress(&cinfo);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &buffer, &size);
    cinfo.image_width = static_cast<JDIMENSION>(width);
    cinfo.image_height = static_cast<JDIMENSION>(height);
    cinfo.input_components = components;
    cinfo.in_color_space = space;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    if (progressive) {
        jpeg_simple_progression(&cinfo);
    }
    jpeg_start_compress(&cinfo, TRUE);
    const size_t n = static_cast<size_t>(components);
    std::vector<JSAMPLE> row(static_cast<size_t>(width) * n);
    while (cinfo.next_scanline < cinfo.image_height) {
        const int y = static_cast<int>(cinfo.next_scanline);
        for (int x = 0; x < width; ++x) {
            const std::vector<int> s = sample(x, y);
            for (size_t c = 0; c < n; ++c) {
                row[static_cast<size_t>(x) * n + c] = static_cast<JSAMPLE>(s[c]);
            }
        }
        JSAMPROW p = row.data();
        jpeg_write_scanlines(&cinfo, &p, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    std::string out(reinterpret_cast<char*>(buffer), size);
    std::free(buffer);
    return out;
}
#endif

}  // namespace testutil
