#pragma once
// The interface of prepare-input's libvips module (prepare-input-vips.so),
// which reads the formats that JPEG's and PNG's own decoders do not: WebP,
// HEIF and AVIF, GIF, TIFF, BMP and PNM. prepare-input loads it only for
// such a file, so that the common case never pays for starting libvips and
// the hundred libraries it brings.

#include <cstdint>

extern "C" {

enum vips_outcome { vips_decoded = 0, vips_not_an_image = 1, vips_too_large = 2, vips_damaged = 3 };

struct vips_picture {
  int width;
  int height;
  unsigned char* pixels;  // width x height x 3 bytes, upright sRGB; free with the module's free
  char reason[512];       // for every outcome but vips_decoded
};

// Decodes the file at `path`: upright by its EXIF orientation, in sRGB by its
// colour profile, transparent pixels onto white, three 8-bit bands.
typedef int (*vips_decode_function)(const char* path, int64_t max_pixels, vips_picture* picture);
typedef void (*vips_free_function)(unsigned char* pixels);
}
