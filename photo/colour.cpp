#include "photo/colour.h"

#include <lcms2.h>
#include <libexif/exif-data.h>

#include <memory>

#include "photo/photo.h"

namespace classify {

int exif_orientation(const unsigned char* exif, size_t size) {
  if (exif == nullptr || size == 0) return 1;
  std::unique_ptr<ExifData, void (*)(ExifData*)> data(
      exif_data_new_from_data(exif, static_cast<unsigned int>(size)), exif_data_unref);
  if (!data) return 1;
  ExifEntry* entry = exif_content_get_entry(data->ifd[EXIF_IFD_0], EXIF_TAG_ORIENTATION);
  if (entry == nullptr || entry->format != EXIF_FORMAT_SHORT || entry->components < 1) return 1;
  const int tag = exif_get_short(entry->data, exif_data_get_byte_order(data.get()));
  return tag >= 1 && tag <= 8 ? tag : 1;
}

rgb_image apply_orientation(rgb_image image, int tag) {
  if (tag <= 1 || tag > 8) return image;
  const int w = image.width, h = image.height;
  const bool swaps = tag >= 5;
  rgb_image out;
  out.width = swaps ? h : w;
  out.height = swaps ? w : h;
  out.pixels.resize(image.pixels.size());
  for (int y = 0; y < out.height; ++y) {
    for (int x = 0; x < out.width; ++x) {
      // Where the displayed pixel (x, y) is stored.
      int sx = x, sy = y;
      switch (tag) {
        case 2:
          sx = w - 1 - x;
          break;
        case 3:
          sx = w - 1 - x;
          sy = h - 1 - y;
          break;
        case 4:
          sy = h - 1 - y;
          break;
        case 5:
          sx = y;
          sy = x;
          break;
        case 6:
          sx = y;
          sy = h - 1 - x;
          break;
        case 7:
          sx = w - 1 - y;
          sy = h - 1 - x;
          break;
        case 8:
          sx = w - 1 - y;
          sy = x;
          break;
      }
      const size_t from = (static_cast<size_t>(sy) * w + sx) * 3;
      const size_t to = (static_cast<size_t>(y) * out.width + x) * 3;
      out.pixels[to] = image.pixels[from];
      out.pixels[to + 1] = image.pixels[from + 1];
      out.pixels[to + 2] = image.pixels[from + 2];
    }
  }
  return out;
}

namespace {

struct profile_closer {
  void operator()(void* p) const { cmsCloseProfile(p); }
};
using profile_ptr = std::unique_ptr<void, profile_closer>;

struct transform_deleter {
  void operator()(void* t) const { cmsDeleteTransform(t); }
};
using transform_ptr = std::unique_ptr<void, transform_deleter>;

// lcms reports a damaged profile through this handler, which would otherwise
// print nothing anyway; the profile is then simply not used.
void ignore_lcms_error(cmsContext, cmsUInt32Number, const char*) {}

profile_ptr open_profile(const std::vector<unsigned char>& bytes, cmsColorSpaceSignature space) {
  static const bool quiet = (cmsSetLogErrorHandler(ignore_lcms_error), true);
  (void)quiet;
  if (bytes.empty()) return nullptr;
  profile_ptr profile(
      cmsOpenProfileFromMem(bytes.data(), static_cast<cmsUInt32Number>(bytes.size())));
  if (!profile || cmsGetColorSpace(profile.get()) != space) return nullptr;
  return profile;
}

}  // namespace

void rgb_profile_to_srgb(const std::vector<unsigned char>& bytes, rgb_image* image) {
  profile_ptr profile = open_profile(bytes, cmsSigRgbData);
  if (!profile) return;
  profile_ptr srgb(cmsCreate_sRGBProfile());
  transform_ptr transform(cmsCreateTransform(profile.get(), TYPE_RGB_8, srgb.get(), TYPE_RGB_8,
                                             INTENT_RELATIVE_COLORIMETRIC, 0));
  if (!transform) return;
  cmsDoTransform(transform.get(), image->pixels.data(), image->pixels.data(),
                 static_cast<cmsUInt32Number>(image->pixels.size() / 3));
}

void cmyk_to_srgb(const unsigned char* cmyk, bool inverted, const std::vector<unsigned char>& bytes,
                  rgb_image* image) {
  const size_t count = static_cast<size_t>(image->width) * image->height;
  image->pixels.resize(count * 3);
  if (profile_ptr profile = open_profile(bytes, cmsSigCmykData)) {
    profile_ptr srgb(cmsCreate_sRGBProfile());
    transform_ptr transform(cmsCreateTransform(profile.get(),
                                               inverted ? TYPE_CMYK_8_REV : TYPE_CMYK_8, srgb.get(),
                                               TYPE_RGB_8, INTENT_RELATIVE_COLORIMETRIC, 0));
    if (transform) {
      cmsDoTransform(transform.get(), cmyk, image->pixels.data(),
                     static_cast<cmsUInt32Number>(count));
      return;
    }
  }
  for (size_t i = 0; i < count; ++i) {
    const unsigned char* p = cmyk + i * 4;
    // With inverted samples 255 means no ink.
    const int k = inverted ? p[3] : 255 - p[3];
    for (int c = 0; c < 3; ++c) {
      const int ink_free = inverted ? p[c] : 255 - p[c];
      image->pixels[i * 3 + c] = static_cast<unsigned char>((ink_free * k + 127) / 255);
    }
  }
}

void flatten_onto_white(const unsigned char* rgba, size_t count, unsigned char* rgb) {
  for (size_t i = 0; i < count; ++i) {
    const int alpha = rgba[i * 4 + 3];
    for (int c = 0; c < 3; ++c) {
      rgb[i * 3 + c] = static_cast<unsigned char>(
          (rgba[i * 4 + c] * alpha + transparent_background * (255 - alpha) + 127) / 255);
    }
  }
}

}  // namespace classify
