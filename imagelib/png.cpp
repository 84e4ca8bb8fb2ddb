#include "imagelib/codecs.h"

namespace imagecodec {

ImageError DecodePng(const uint8_t*, size_t, Decoded* out) {
    *out = Decoded();
    return ImageError::kBadPixelData;
}

}  // namespace imagecodec
