#include "imagelib/codecs.h"

namespace imagecodec {

ImageError DecodeJpeg(const uint8_t*, size_t, Decoded* out) {
    *out = Decoded();
    return ImageError::kBadPixelData;
}

}  // namespace imagecodec
