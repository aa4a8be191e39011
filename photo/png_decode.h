#pragma once
// PNG through libpng: 1 to 16 bits, palette, grey and alpha, with the
// embedded ICC profile, the EXIF orientation (eXIf) and transparency onto
// white applied.

#include <string>

#include "photo/image.h"

namespace classify {

// Decodes the PNG at `path`. False, with `error` beginning with the path, for
// a damaged or truncated file or one of too many pixels.
bool decode_png(const std::string& path, rgb_image* image, std::string* error);

}  // namespace classify
