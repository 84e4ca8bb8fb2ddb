// JPEG decoding through libjpeg(-turbo), from a stream held in memory.
//
// libjpeg reports errors through error_exit, which here jumps back to the setjmp in RunJpeg.
// That function therefore owns no C++ object with a destructor: the decompressor and the pixel
// buffer live in the plain JpegJob, and DecodeJpeg releases them whether RunJpeg returned or
// jumped. A stream that ends early is only a warning to libjpeg (it pads the data with an end
// marker and goes on), so that warning, and those for corrupt entropy-coded data, end the
// decoding as failures too.
#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <new>

// jpeglib.h needs FILE and size_t declared before it.
#include <jpeglib.h>
// jerror.h after jpeglib.h
#include <jerror.h>

#include "imagelib/codecs.h"

namespace imagecodec {
namespace {

// More scans than any sensible progressive JPEG has; a stream with more is refused rather than
// decoded for a very long time.
constexpr int kMaxScans = 1000;

struct JpegJob {
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr errorManager;  // cinfo.err points here
    jpeg_progress_mgr progress;
    std::jmp_buf jump;
    bool created;
    bool headerRead;
    ImageError error;  // a reason found by our own checks or warnings
    uint32_t width;
    uint32_t height;
    uint8_t* pixels;   // new[]: w*h*3 (blue, green, red), bottom row first
    uint8_t* cmykRow;  // new[]: one row of 4-channel samples for CMYK pictures
};

JpegJob* JobOf(j_common_ptr cinfo) {
    return reinterpret_cast<JpegJob*>(reinterpret_cast<char*>(cinfo->err) -
                                      offsetof(JpegJob, errorManager));
}

void OnError(j_common_ptr cinfo) {
    std::longjmp(JobOf(cinfo)->jump, 1);
}

void OnMessage(j_common_ptr cinfo, int level) {
    if (level >= 0) {
        return;  // traces
    }
    JpegJob* job = JobOf(cinfo);
    switch (cinfo->err->msg_code) {
        case JWRN_JPEG_EOF:
            job->error =
                job->headerRead ? ImageError::kTruncatedPixels : ImageError::kTruncatedHeader;
            std::longjmp(job->jump, 1);
        case JWRN_HIT_MARKER:
        case JWRN_HUFF_BAD_CODE:
        case JWRN_MUST_RESYNC:
            job->error = ImageError::kBadPixelData;
            std::longjmp(job->jump, 1);
        default:
            break;  // harmless oddities, such as stray bytes before a marker
    }
}

void OnProgress(j_common_ptr cinfo) {
    if (!cinfo->is_decompressor) {
        return;
    }
    if (reinterpret_cast<j_decompress_ptr>(cinfo)->input_scan_number > kMaxScans) {
        JpegJob* job = JobOf(cinfo);
        job->error = ImageError::kBadPixelData;
        std::longjmp(job->jump, 1);
    }
}

// Decodes into job->pixels. Returns false after an error (libjpeg's or ours).
bool RunJpeg(JpegJob* job, const uint8_t* data, size_t size) {
    if (setjmp(job->jump)) {
        return false;
    }
    j_decompress_ptr cinfo = &job->cinfo;
    jpeg_create_decompress(cinfo);
    job->created = true;
    cinfo->progress = &job->progress;
    jpeg_mem_src(cinfo, data, static_cast<unsigned long>(size));
    jpeg_read_header(cinfo, TRUE);
    job->headerRead = true;

    if (cinfo->image_width == 0 || cinfo->image_height == 0) {
        job->error = ImageError::kBadSize;
        return false;
    }
    if (uint64_t(cinfo->image_width) * cinfo->image_height > kMaxPixels) {
        job->error = ImageError::kTooLarge;
        return false;
    }
    const bool cmyk = cinfo->jpeg_color_space == JCS_CMYK || cinfo->jpeg_color_space == JCS_YCCK;
    cinfo->out_color_space = cmyk ? JCS_CMYK : JCS_EXT_BGR;
    jpeg_start_decompress(cinfo);

    const uint32_t w = cinfo->output_width;
    const uint32_t h = cinfo->output_height;
    const size_t rowBytes = size_t(w) * 3;
    job->pixels = new (std::nothrow) uint8_t[rowBytes * h];
    if (cmyk) {
        job->cmykRow = new (std::nothrow) uint8_t[size_t(w) * 4];
    }
    if (job->pixels == nullptr || (cmyk && job->cmykRow == nullptr)) {
        job->error = ImageError::kOutOfMemory;
        return false;
    }
    job->width = w;
    job->height = h;
    // Adobe writes CMYK inverted (255 = no ink).
    const bool inverted = cinfo->saw_Adobe_marker != 0;
    while (cinfo->output_scanline < h) {
        const uint32_t y = cinfo->output_scanline;
        if (!cmyk) {
            JSAMPROW rows[16];
            const uint32_t n = h - y < 16 ? h - y : 16;
            for (uint32_t i = 0; i < n; ++i) {
                rows[i] = job->pixels + size_t(h - 1 - y - i) * rowBytes;
            }
            jpeg_read_scanlines(cinfo, rows, n);
            continue;
        }
        JSAMPROW row = job->cmykRow;
        jpeg_read_scanlines(cinfo, &row, 1);
        uint8_t* d = job->pixels + size_t(h - 1 - y) * rowBytes;
        for (uint32_t x = 0; x < w; ++x) {
            const uint8_t* s = job->cmykRow + 4 * size_t(x);
            const uint32_t k = inverted ? s[3] : 255u - s[3];
            for (int c = 0; c < 3; ++c) {
                const uint32_t ink = inverted ? s[c] : 255u - s[c];
                d[3 * x + 2 - c] = uint8_t(ink * k / 255);  // C, M, Y give red, green, blue
            }
        }
    }
    jpeg_finish_decompress(cinfo);
    return true;
}

}  // namespace

ImageError DecodeJpeg(const uint8_t* data, size_t size, Decoded* out) {
    *out = Decoded();
    JpegJob* job = new (std::nothrow) JpegJob();
    if (job == nullptr) {
        return ImageError::kOutOfMemory;
    }
    job->cinfo.err = jpeg_std_error(&job->errorManager);
    job->errorManager.error_exit = OnError;
    job->errorManager.emit_message = OnMessage;
    job->progress.progress_monitor = OnProgress;
    const bool ok = RunJpeg(job, data, size);
    if (job->created) {
        jpeg_destroy_decompress(&job->cinfo);
    }
    std::unique_ptr<uint8_t[]> pixels(job->pixels);
    delete[] job->cmykRow;
    const ImageError error = job->error;
    const uint32_t width = job->width;
    const uint32_t height = job->height;
    delete job;
    if (!ok) {
        return error != ImageError::kNone ? error : ImageError::kBadPixelData;
    }
    out->width = width;
    out->height = height;
    out->bgr = pixels.get();
    out->block = std::move(pixels);
    return ImageError::kNone;
}

}  // namespace imagecodec
