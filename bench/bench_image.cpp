// Decoding a 1920 x 1080 picture through CxImage::Load, in each format, against a baseline timed
// in the same loop: a memcpy of the file's bytes for BMP, libpng and libjpeg called directly (from
// the file, into a buffer of their own) for PNG and JPEG. Each benchmark reports the mean times
// and their ratio (load / baseline) as counters.
#include <benchmark/benchmark.h>
#include <png.h>

#include <chrono>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "imagelib/ximage.h"

// jpeglib.h needs FILE and size_t declared before it.
#include <jpeglib.h>

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

// A picture with smooth regions, edges and some noise, like a video frame: not trivially
// compressible, not pure noise.
std::vector<uint8_t> MakeRgb() {
    std::vector<uint8_t> rgb(size_t(kWidth) * kHeight * 3);
    uint32_t seed = 12345;
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            seed = seed * 1664525u + 1013904223u;
            const int noise = int(seed >> 29);
            uint8_t* p = &rgb[(size_t(y) * kWidth + x) * 3];
            p[0] = uint8_t((x / 8 + noise) & 0xFF);
            p[1] = uint8_t((y / 4 + ((x / 64 + y / 64) % 2) * 80 + noise) & 0xFF);
            p[2] = uint8_t(((x + y) / 16 + noise) & 0xFF);
        }
    }
    return rgb;
}

std::string Dir() {
    const std::string dir = ZEL_BENCH_TMP_DIR;
    std::filesystem::create_directories(dir);
    return dir + "/";
}

std::string WriteBmp(const std::vector<uint8_t>& rgb) {
    CxImage img;
    img.Create(kWidth, kHeight, 24, 0);
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const uint8_t* p = &rgb[(size_t(y) * kWidth + x) * 3];
            img.SetPixelColor(x, kHeight - 1 - y, RGBQUAD{p[2], p[1], p[0], 0});
        }
    }
    const std::string path = Dir() + "bench.bmp";
    img.Save(path.c_str(), 1);
    return path;
}

std::string WritePng(const std::vector<uint8_t>& rgb) {
    const std::string path = Dir() + "bench.png";
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = kWidth;
    image.height = kHeight;
    image.format = PNG_FORMAT_RGB;
    png_image_write_to_file(&image, path.c_str(), 0, rgb.data(), 0, nullptr);
    return path;
}

std::string WriteJpeg(const std::vector<uint8_t>& rgb) {
    const std::string path = Dir() + "bench.jpg";
    std::FILE* f = std::fopen(path.c_str(), "wb");
    jpeg_compress_struct cinfo;
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_compress(&cinfo);
    jpeg_stdio_dest(&cinfo, f);
    cinfo.image_width = kWidth;
    cinfo.image_height = kHeight;
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 90, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<uint8_t*>(&rgb[size_t(cinfo.next_scanline) * kWidth * 3]);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    std::fclose(f);
    return path;
}

struct Files {
    std::string bmp, png, jpeg;
};

const Files& TestFiles() {
    static const Files files = [] {
        const std::vector<uint8_t> rgb = MakeRgb();
        return Files{WriteBmp(rgb), WritePng(rgb), WriteJpeg(rgb)};
    }();
    return files;
}

// libpng as a caller would use it directly: from the file, RGB rows into its own buffer.
bool DirectPng(const char* path, std::vector<uint8_t>* pixels) {
    std::FILE* f = std::fopen(path, "rb");
    if (f == nullptr) {
        return false;
    }
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        std::fclose(f);
        return false;
    }
    png_init_io(png, f);
    png_read_info(png, info);
    png_read_update_info(png, info);
    const size_t rowBytes = png_get_rowbytes(png, info);
    const uint32_t h = png_get_image_height(png, info);
    pixels->resize(rowBytes * h);
    for (uint32_t y = 0; y < h; ++y) {
        png_read_row(png, pixels->data() + y * rowBytes, nullptr);
    }
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(f);
    return true;
}

// libjpeg as a caller would use it directly: from the file, RGB rows into its own buffer.
bool DirectJpeg(const char* path, std::vector<uint8_t>* pixels) {
    std::FILE* f = std::fopen(path, "rb");
    if (f == nullptr) {
        return false;
    }
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_decompress(&cinfo);
    jpeg_stdio_src(&cinfo, f);
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = JCS_RGB;
    jpeg_start_decompress(&cinfo);
    const size_t rowBytes = size_t(cinfo.output_width) * 3;
    pixels->resize(rowBytes * cinfo.output_height);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = pixels->data() + cinfo.output_scanline * rowBytes;
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    std::fclose(f);
    return true;
}

double Seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// Times baseline() and CxImage::Load(path) alternately; the benchmark's own time is the load.
template <class Baseline>
void CompareLoad(benchmark::State& state, const std::string& path, Baseline baseline) {
    double loadTotal = 0;
    double baseTotal = 0;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        baseline();
        const auto t1 = std::chrono::steady_clock::now();
        {
            CxImage img;
            if (!img.Load(path.c_str(), 0)) {
                state.SkipWithError("CxImage::Load failed");
                return;
            }
            benchmark::DoNotOptimize(img.GetBits());
        }
        const auto t2 = std::chrono::steady_clock::now();
        baseTotal += Seconds(t1 - t0);
        loadTotal += Seconds(t2 - t1);
        state.SetIterationTime(Seconds(t2 - t1));
    }
    const double n = double(state.iterations());
    state.counters["load_ms"] = 1e3 * loadTotal / n;
    state.counters["baseline_ms"] = 1e3 * baseTotal / n;
    state.counters["ratio"] = loadTotal / baseTotal;
}

void BM_LoadBmp(benchmark::State& state) {
    const std::string& path = TestFiles().bmp;
    std::ifstream in(path, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
    std::vector<char> copy(bytes.size());
    CompareLoad(state, path, [&] {
        std::memcpy(copy.data(), bytes.data(), bytes.size());
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    });
}

void BM_LoadPng(benchmark::State& state) {
    const std::string& path = TestFiles().png;
    std::vector<uint8_t> pixels;
    CompareLoad(state, path, [&] {
        DirectPng(path.c_str(), &pixels);
        benchmark::DoNotOptimize(pixels.data());
    });
}

void BM_LoadJpeg(benchmark::State& state) {
    const std::string& path = TestFiles().jpeg;
    std::vector<uint8_t> pixels;
    CompareLoad(state, path, [&] {
        DirectJpeg(path.c_str(), &pixels);
        benchmark::DoNotOptimize(pixels.data());
    });
}

BENCHMARK(BM_LoadBmp)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_LoadPng)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_LoadJpeg)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
