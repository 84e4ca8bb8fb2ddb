#include "io/depthformats.h"

#if ZEL_HAVE_PNG
#include <png.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "io/byteorder.h"
#include "io/writewhole.h"

namespace zelio {

namespace {

const char kNoPng[] = "this build has no PNG support (libpng was not found when it was configured)";

#if ZEL_HAVE_PNG
void PngWriteToFile(png_structp png, png_bytep data, size_t n) {
    if (std::fwrite(data, 1, n, static_cast<std::FILE*>(png_get_io_ptr(png))) != n) {
        png_error(png, "write failed");
    }
}
void PngFlushFile(png_structp) {}

// Writes 16-bit grey rows (big-endian samples, top row first) with text chunks to an open file.
// libpng reports errors by longjmp, so nothing here owns memory across the calls.
bool WriteGrey16(std::FILE* file, int width, int height, std::vector<png_bytep>& rows,
                 std::vector<png_text>& texts, std::string* error) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png == nullptr ? nullptr : png_create_info_struct(png);
    if (info == nullptr) {
        png_destroy_write_struct(&png, nullptr);
        *error = "out of memory";
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        *error = "libpng could not write the picture";
        return false;
    }
    png_set_write_fn(png, file, PngWriteToFile, PngFlushFile);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 16,
                 PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_set_text(png, info, texts.data(), static_cast<int>(texts.size()));
    png_write_info(png, info);
    png_write_image(png, rows.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}
#endif

}  // namespace

bool CanWritePng() {
    return ZEL_HAVE_PNG != 0;
}

const char* NoPngReason() {
    return kNoPng;
}

bool WritePfm(const std::string& path, int width, int height, const std::vector<float>& values,
              std::string* error) {
    if (width <= 0 || height <= 0 ||
        values.size() != static_cast<size_t>(width) * static_cast<size_t>(height)) {
        if (error != nullptr) {
            *error = "map size does not match its values";
        }
        return false;
    }
    auto write = [&](const std::string& partial, std::string* reason) {
        std::FILE* file = OpenForWriting(partial, reason);
        if (file == nullptr) {
            return false;
        }
        std::fprintf(file, "Pf\n%d %d\n-1\n", width, height);
        std::vector<unsigned char> row(static_cast<size_t>(width) * 4);
        for (int y = height - 1; y >= 0; y--) {
            const float* src = values.data() + static_cast<size_t>(y) * static_cast<size_t>(width);
            FloatsToLe(src, static_cast<size_t>(width), row.data());
            std::fwrite(row.data(), 1, row.size(), file);
        }
        return CloseWritten(file, partial, reason);
    };
    return WriteWhole(path, write, error);
}

double DepthPngScale(const std::vector<float>& disparities) {
    float smallest = 0.0f;  // the smallest positive finite disparity: the largest depth
    for (float d : disparities) {
        if (std::isfinite(d) && d > 0.0f && (smallest == 0.0f || d < smallest)) {
            smallest = d;
        }
    }
    return smallest > 0.0f ? 65535.0 * static_cast<double>(smallest) : 0.0;
}

bool WriteDepthPng16(const std::string& path, int width, int height,
                     const std::vector<float>& disparities, double* scale, std::string* error) {
    if (width <= 0 || height <= 0 ||
        disparities.size() != static_cast<size_t>(width) * static_cast<size_t>(height)) {
        if (error != nullptr) {
            *error = "map size does not match its values";
        }
        return false;
    }
#if !ZEL_HAVE_PNG
    if (error != nullptr) {
        *error = kNoPng;
    }
    static_cast<void>(path);
    static_cast<void>(scale);
    return false;
#else
    const double s = DepthPngScale(disparities);
    if (scale != nullptr) {
        *scale = s;
    }
    const size_t rowBytes = static_cast<size_t>(width) * 2;
    std::vector<png_byte> samples(rowBytes * static_cast<size_t>(height));
    std::vector<png_bytep> rows(static_cast<size_t>(height));
    for (size_t i = 0; i < disparities.size(); i++) {
        const float d = disparities[i];
        uint32_t v = 0;
        if (std::isfinite(d) && d > 0.0f) {
            const double z = 1.0 / static_cast<double>(d);
            v = static_cast<uint32_t>(std::clamp(std::round(z * s), 1.0, 65535.0));
        }
        samples[2 * i] = static_cast<png_byte>(v >> 8);
        samples[2 * i + 1] = static_cast<png_byte>(v & 0xff);
    }
    for (size_t y = 0; y < rows.size(); y++) {
        rows[y] = samples.data() + y * rowBytes;
    }
    char scaleText[32];
    std::snprintf(scaleText, sizeof(scaleText), "%.9g", s);
    char quantity[] = "Quantity";
    char depth[] = "depth";
    char scaleKey[] = "Scale";
    char descriptionKey[] = "Description";
    char description[] =
        "depth = sample / Scale, camera-space z in the units of the project's camera "
        "translations; 0 = no depth";
    std::vector<png_text> texts(3);
    std::memset(texts.data(), 0, texts.size() * sizeof(png_text));
    char* const keys[3] = {quantity, scaleKey, descriptionKey};
    char* const textValues[3] = {depth, scaleText, description};
    for (size_t k = 0; k < texts.size(); k++) {
        texts[k].compression = PNG_TEXT_COMPRESSION_NONE;
        texts[k].key = keys[k];
        texts[k].text = textValues[k];
    }
    auto write = [&](const std::string& partial, std::string* reason) {
        std::FILE* file = OpenForWriting(partial, reason);
        if (file == nullptr) {
            return false;
        }
        if (!WriteGrey16(file, width, height, rows, texts, reason)) {
            std::fclose(file);
            return false;
        }
        return CloseWritten(file, partial, reason);
    };
    return WriteWhole(path, write, error);
#endif
}

}  // namespace zelio
