// Fuzzes the image layer: CxImage::Load on arbitrary bytes (BMP, PNG and JPEG are recognised
// from the first bytes whatever type code is passed), then what loaded goes through the grid
// bridge, a resample to a small size and a BMP save and reload that must give the same pixels.
//
// A picture that loads must have a size within the layer's limit and must not be empty; a
// failed load must leave an empty picture.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "imagelib/ximage.h"
#include "io/byteorder.h"
#include "zimage/zimage.h"

namespace {

std::string gScratchDir;  // removed at exit
std::string gInputPath;
std::string gSavedPath;

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz_image: %s\n", what);
        std::abort();
    }
}

bool WriteAll(const std::string& path, const uint8_t* data, size_t size) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    const bool ok = std::fwrite(data, 1, size, file) == size;
    return std::fclose(file) == 0 && ok;
}

bool SamePixel(const RGBQUAD& a, const RGBQUAD& b, bool alpha) {
    return a.rgbBlue == b.rgbBlue && a.rgbGreen == b.rgbGreen && a.rgbRed == b.rgbRed &&
           (!alpha || a.rgbReserved == b.rgbReserved);
}

// Pictures up to this many pixels also go through the bridge and the BMP round trip, and up to
// kResamplePixels through the resample. Both take time in proportion to the picture, which a
// run-length BMP of a few bytes can make as large as the layer's limit (2^28 pixels); beyond
// these sizes the fuzzer would spend its time on a few legitimately slow inputs.
constexpr uint64_t kFullCheckPixels = uint64_t{1} << 18;
constexpr uint64_t kResamplePixels = uint64_t{1} << 22;

// A run-length BMP (8 or 4 bits) that declares more than this many pixels is not loaded. Such a
// stream may skip almost every pixel, so a few bytes can describe a picture up to the layer's
// limit, which the decoder then fills with black: correct, and as slow as any picture of that
// size (seconds under the sanitizers). Every other format must hold its pixels in the file
// (PNG and JPEG at their compression ratio), so their cost stays bounded by the input size.
constexpr uint64_t kMaxRunLengthPixels = uint64_t{1} << 22;

bool IsHugeRunLengthBmp(const uint8_t* data, size_t size) {
    if (size < 34 || data[0] != 'B' || data[1] != 'M' || zelio::ReadLe32(data + 14) < 40) {
        return false;
    }
    const uint32_t compression = zelio::ReadLe32(data + 30);
    if (compression != 1 && compression != 2) {
        return false;
    }
    const int64_t width = static_cast<int32_t>(zelio::ReadLe32(data + 18));
    const int64_t height = static_cast<int32_t>(zelio::ReadLe32(data + 22));
    return std::abs(width) * std::abs(height) > static_cast<int64_t>(kMaxRunLengthPixels);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char dir[] = "/tmp/zel_fuzz_image_XXXXXX";
    Check(mkdtemp(dir) != nullptr, "cannot make a temporary directory");
    gScratchDir = dir;
    std::atexit([] { std::filesystem::remove_all(gScratchDir); });
    gInputPath = std::string(dir) + "/input";
    gSavedPath = std::string(dir) + "/saved.bmp";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (IsHugeRunLengthBmp(data, size)) {
        return 0;
    }
    Check(WriteAll(gInputPath, data, size), "cannot write the input file");

    // The type code must not matter for recognition; vary it with the input.
    const int type = static_cast<int>(size % 4);
    CxImage image(0);
    if (!image.Load(gInputPath.c_str(), type)) {
        Check(image.GetWidth() == 0 && image.GetHeight() == 0, "failed load left a picture");
        return 0;
    }
    const unsigned width = image.GetWidth();
    const unsigned height = image.GetHeight();
    Check(width > 0 && height > 0, "loaded an empty picture");
    Check(uint64_t{width} * height <= (uint64_t{1} << 28), "loaded a picture beyond the limit");
    const bool alpha = image.AlphaIsValid();

    // Corners and one pixel past each edge (which read as zero).
    const long w = static_cast<long>(width);
    const long h = static_cast<long>(height);
    image.GetPixelColor(0, 0);
    image.GetPixelColor(w - 1, h - 1);
    const RGBQUAD outside = image.GetPixelColor(w, h);
    Check(outside.rgbBlue == 0 && outside.rgbGreen == 0 && outside.rgbRed == 0,
          "pixel outside the picture");

    if (uint64_t{width} * height <= kFullCheckPixels) {
        ZImage<unsigned char> rgb(static_cast<int>(width), static_cast<int>(height), 3);
        CxImageToZImage(image, &rgb, 1.0f);
        ZImage<unsigned char> grey(static_cast<int>(width), static_cast<int>(height), 1);
        CxImageToZImage(image, &grey, 1.0f);
        // Grid row 0 is the picture's top row.
        const RGBQUAD top = image.GetPixelColor(0, h - 1);
        Check(rgb.At(0, 0, 0) == top.rgbRed && rgb.At(0, 0, 2) == top.rgbBlue, "bridge rows");

        Check(image.Save(gSavedPath.c_str(), CXIMAGE_FORMAT_BMP), "save failed");
        CxImage reloaded(0);
        Check(reloaded.Load(gSavedPath.c_str(), CXIMAGE_FORMAT_BMP), "saved picture not loaded");
        Check(reloaded.GetWidth() == width && reloaded.GetHeight() == height, "saved size");
        for (long y = 0; y < h; y++) {
            for (long x = 0; x < w; x++) {
                Check(SamePixel(image.GetPixelColor(x, y), reloaded.GetPixelColor(x, y), alpha),
                      "saved pixels differ");
            }
        }
    }

    if (uint64_t{width} * height > kResamplePixels) {
        return 0;
    }
    // A resample into another picture and in place, to a small size taken from the input:
    // shrinking or enlarging depending on the picture.
    const long newWidth = 1 + (size > 0 ? data[size - 1] % 40 : 0);
    const long newHeight = 1 + (size > 1 ? data[size - 2] % 40 : 0);
    CxImage small(0);
    Check(image.Resample(newWidth, newHeight, 1, &small), "resample failed");
    Check(small.GetWidth() == static_cast<unsigned>(newWidth) &&
              small.GetHeight() == static_cast<unsigned>(newHeight),
          "resample size");
    Check(image.Resample(newHeight, newWidth, 1, nullptr), "resample in place failed");
    Check(image.GetWidth() == static_cast<unsigned>(newHeight), "resample in place size");
    return 0;
}
