#pragma once
// The formats beyond JPEG and PNG. On Linux libvips reads them (WebP, HEIF
// and AVIF, GIF, TIFF, BMP, PNM), from a module loaded only for such a file;
// on Windows the system's own imaging component reads BMP.

#include <string>

#include "photo/image.h"

namespace classify {

// Decodes the file at `path`: upright by its EXIF orientation where the
// format has one, in sRGB, transparent pixels onto white. False, with
// `error` beginning with the path, for a file that is not such an image, is
// damaged, or has too many pixels.
bool decode_other(const std::string& path, rgb_image* image, std::string* error);

}  // namespace classify
