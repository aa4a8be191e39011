#pragma once
// What every decoder does to its pixels before the resize: orientation by
// the EXIF tag, colour by the embedded ICC profile, alpha onto white.

#include <cstddef>
#include <vector>

#include "photo/image.h"

namespace classify {

// The EXIF orientation (1 to 8) in an EXIF block (as a JPEG APP1 segment or
// a PNG eXIf chunk holds it); 1 when there is none or it cannot be read.
int exif_orientation(const unsigned char* exif, size_t size);

// The picture turned upright: EXIF orientation `tag` says how the stored
// pixels are turned for display.
rgb_image apply_orientation(rgb_image image, int tag);

// RGB pixels described by `profile` (an ICC profile), converted to sRGB in
// place. A profile that cannot be used, or is not an RGB one, leaves them as
// they are (taken as sRGB).
void rgb_profile_to_srgb(const std::vector<unsigned char>& profile, rgb_image* image);

// CMYK pixels (four bytes each, inverted as Adobe writes them when
// `inverted`) to sRGB: by `profile` when it is a usable CMYK profile,
// otherwise by the plain complement.
void cmyk_to_srgb(const unsigned char* cmyk, bool inverted,
                  const std::vector<unsigned char>& profile, rgb_image* image);

// RGBA pixels composed onto the white background, into three bytes each.
void flatten_onto_white(const unsigned char* rgba, size_t count, unsigned char* rgb);

}  // namespace classify
