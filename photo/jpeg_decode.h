#pragma once
// JPEG through libjpeg-turbo: decoded at a reduced size where the output
// allows it, grey, RGB, CMYK and YCCK, with the embedded ICC profile and the
// EXIF orientation applied.

#include <string>

#include "photo/image.h"

namespace classify {

// Decodes the JPEG at `path` for an output of `width` x `height` from the
// centre crop keeping `crop` of each side. False, with `error` beginning with
// the path, for a damaged or truncated file or one of too many pixels.
bool decode_jpeg(const std::string& path, int width, int height, double crop, rgb_image* image,
                 std::string* error);

}  // namespace classify
