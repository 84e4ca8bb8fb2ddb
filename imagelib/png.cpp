// PNG decoding through libpng, from a stream held in memory.
//
// libpng reports errors by longjmp back to the setjmp in RunPng. That function therefore owns no
// C++ object with a destructor: everything it creates (libpng structures, pixel buffers) is
// recorded in the plain PngJob, and DecodePng releases it whether RunPng returned or jumped.
#include <png.h>

#include <csetjmp>
#include <cstring>
#include <new>

#include "imagelib/codecs.h"

namespace imagecodec {
namespace {

struct PngJob {
    png_structp png;
    png_infop info;
    const uint8_t* data;
    size_t size;
    size_t position;
    bool truncated;    // the stream ended before libpng was done with it
    bool headerRead;   // png_read_info completed
    ImageError error;  // a reason found by our own checks
    uint32_t width;
    uint32_t height;
    bool hasAlpha;
    uint8_t* pixels;  // new[]: w*h*3 (blue, green, red) or w*h*4 with alpha, bottom row first
};

void ReadFromMemory(png_structp png, png_bytep out, size_t count) {
    PngJob* job = static_cast<PngJob*>(png_get_io_ptr(png));
    if (job->size - job->position < count) {
        job->truncated = true;
        png_error(png, "unexpected end of stream");
    }
    std::memcpy(out, job->data + job->position, count);
    job->position += count;
}

void OnError(png_structp png, png_const_charp) {
    png_longjmp(png, 1);
}

void OnWarning(png_structp, png_const_charp) {}

// Decodes into job->pixels. Returns false after an error (libpng's or ours).
bool RunPng(PngJob* job) {
    if (setjmp(png_jmpbuf(job->png))) {
        return false;
    }
    png_structp png = job->png;
    png_infop info = job->info;
    png_set_read_fn(png, job, ReadFromMemory);
    // Our own limit is on the pixel count; let single dimensions go up to it.
    png_set_user_limits(png, uint32_t(kMaxPixels), uint32_t(kMaxPixels));
    png_read_info(png, info);
    job->headerRead = true;

    const uint32_t w = png_get_image_width(png, info);
    const uint32_t h = png_get_image_height(png, info);
    if (w == 0 || h == 0) {
        job->error = ImageError::kBadSize;
        return false;
    }
    if (uint64_t(w) * h > kMaxPixels) {
        job->error = ImageError::kTooLarge;
        return false;
    }
    const int colorType = png_get_color_type(png, info);
    const int bitDepth = png_get_bit_depth(png, info);
    bool alpha = (colorType & PNG_COLOR_MASK_ALPHA) != 0;
    if (bitDepth == 16) {
        png_set_scale_16(png);
    }
    if (colorType == PNG_COLOR_TYPE_PALETTE) {
        png_set_palette_to_rgb(png);
    }
    if (colorType == PNG_COLOR_TYPE_GRAY && bitDepth < 8) {
        png_set_expand_gray_1_2_4_to_8(png);
    }
    if (png_get_valid(png, info, PNG_INFO_tRNS) != 0) {
        png_set_tRNS_to_alpha(png);
        alpha = true;
    }
    if ((colorType & PNG_COLOR_MASK_COLOR) == 0) {
        png_set_gray_to_rgb(png);
    }
    png_set_bgr(png);
    const int passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);

    const size_t channels = alpha ? 4 : 3;
    const size_t rowBytes = size_t(w) * channels;
    if (png_get_rowbytes(png, info) != rowBytes) {
        job->error = ImageError::kBadPixelData;
        return false;
    }
    job->pixels = new (std::nothrow) uint8_t[rowBytes * h];
    if (job->pixels == nullptr) {
        job->error = ImageError::kOutOfMemory;
        return false;
    }
    job->width = w;
    job->height = h;
    job->hasAlpha = alpha;
    for (int pass = 0; pass < passes; ++pass) {
        for (uint32_t y = 0; y < h; ++y) {
            png_read_row(png, job->pixels + size_t(h - 1 - y) * rowBytes, nullptr);
        }
    }
    png_read_end(png, nullptr);
    return true;
}

}  // namespace

ImageError DecodePng(const uint8_t* data, size_t size, Decoded* out) {
    *out = Decoded();
    PngJob job{};
    job.data = data;
    job.size = size;
    job.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, OnError, OnWarning);
    if (job.png == nullptr) {
        return ImageError::kOutOfMemory;
    }
    job.info = png_create_info_struct(job.png);
    const bool haveInfo = job.info != nullptr;
    const bool ok = haveInfo && RunPng(&job);
    png_destroy_read_struct(&job.png, haveInfo ? &job.info : nullptr, nullptr);
    std::unique_ptr<uint8_t[]> pixels(job.pixels);
    if (!ok) {
        if (!haveInfo) {
            return ImageError::kOutOfMemory;
        }
        if (job.error != ImageError::kNone) {
            return job.error;
        }
        if (job.truncated) {
            return job.headerRead ? ImageError::kTruncatedPixels : ImageError::kTruncatedHeader;
        }
        return ImageError::kBadPixelData;
    }
    const size_t count = size_t(job.width) * job.height;
    if (job.hasAlpha) {
        // Split blue, green, red, alpha into the colour rows and the alpha plane.
        std::unique_ptr<uint8_t[]> bgr = AllocateBytes(count * 3);
        std::unique_ptr<uint8_t[]> alpha = AllocateBytes(count);
        if (!bgr || !alpha) {
            return ImageError::kOutOfMemory;
        }
        const uint8_t* s = pixels.get();
        uint8_t* d = bgr.get();
        uint8_t* a = alpha.get();
        for (size_t i = 0; i < count; ++i) {
            d[3 * i] = s[4 * i];
            d[3 * i + 1] = s[4 * i + 1];
            d[3 * i + 2] = s[4 * i + 2];
            a[i] = s[4 * i + 3];
        }
        pixels = std::move(bgr);
        out->alpha = std::move(alpha);
    }
    out->width = job.width;
    out->height = job.height;
    out->bgr = pixels.get();
    out->block = std::move(pixels);
    return ImageError::kNone;
}

}  // namespace imagecodec
