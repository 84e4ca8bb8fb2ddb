// PNG and JPEG files made in memory with libpng and libjpeg themselves, for the image tests and
// the fuzz seeds, and PNG files read back. Each encoder exists only when the build has its library
// (ZEL_HAVE_PNG, ZEL_HAVE_JPEG, set by the zel_testsupport target for everything that links it).
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#if ZEL_HAVE_PNG
#include <png.h>
#endif
#if ZEL_HAVE_JPEG
// jpeglib.h needs size_t and FILE declared before it.
// clang-format off
#include <cstdio>
#include <jpeglib.h>
// clang-format on
#endif

namespace testutil {

// The samples of pixel (x, y), top row y = 0, in the file's channel order.
using PixelSamples = std::function<std::vector<int>(int x, int y)>;

#if ZEL_HAVE_PNG
// A width x height PNG of the given colour type and bit depth, Adam7-interlaced or not, with an
// optional palette and its transparency. Samples of 16 bits are stored big-endian, samples below
// 8 bits packed from the high bits. Empty, with a line on standard error, if libpng fails.
std::string EncodePng(int width, int height, int colorType, int bitDepth, bool interlace,
                      const PixelSamples& sample, const std::vector<png_color>& palette = {},
                      const std::vector<png_byte>& trns = {});

// The same from the rows as stored: byteAt(y, i) is byte i of row y, unused bits included.
std::string EncodePngRows(int width, int height, int colorType, int bitDepth, bool interlace,
                          const std::function<int(int y, size_t i)>& byteAt,
                          const std::vector<png_color>& palette = {},
                          const std::vector<png_byte>& trns = {});
#endif

// A PNG read as 8-bit RGB, rows top first, three bytes a pixel; false if the file cannot be read
// or the build has no PNG support.
bool ReadPngRgb(const std::string& path, int& width, int& height, std::vector<unsigned char>& rgb);

#if ZEL_HAVE_JPEG
// A width x height JPEG of `components` samples a pixel in the given colour space, at a quality
// of 0 to 100, baseline or progressive.
std::string EncodeJpeg(int width, int height, J_COLOR_SPACE space, int components, int quality,
                       bool progressive, const PixelSamples& sample);
#endif

}  // namespace testutil
