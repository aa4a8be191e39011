#include "photo/png_decode.h"

#include <png.h>

#include <cerrno>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "photo/colour.h"
#include "photo/photo.h"
#include "platform/platform.h"

namespace classify {

namespace {

struct png_failure {
  char message[256];
};

// libpng's errors jump back to read_png; its warnings (odd but readable
// chunks) are not the user's concern.
[[noreturn]] void on_error(png_structp png, png_const_charp message) {
  auto* failure = static_cast<png_failure*>(png_get_error_ptr(png));
  std::snprintf(failure->message, sizeof failure->message, "%s", message);
  png_longjmp(png, 1);
}

void on_warning(png_structp, png_const_charp) {}

struct png_result {
  uint32_t width;
  uint32_t height;
  std::vector<unsigned char>* rgba;
  std::vector<png_bytep>* rows;
  std::vector<unsigned char>* profile;
  std::vector<unsigned char>* exif;
};

// The decoding proper, with plain locals only (see read_jpeg). Returns 0, 1
// for an error with the message in `failure`, 3 for too many pixels.
int read_png(std::FILE* file, png_structp png, png_infop info, png_result* result) {
  if (setjmp(png_jmpbuf(png)) != 0) return 1;
  png_init_io(png, file);
  // Each side may be as long as the pixel limit allows; the product is
  // checked below, before anything is allocated.
  png_set_user_limits(png, static_cast<png_uint_32>(max_photo_pixels),
                      static_cast<png_uint_32>(max_photo_pixels));
  png_read_info(png, info);
  result->width = png_get_image_width(png, info);
  result->height = png_get_image_height(png, info);
  if (int64_t{result->width} * result->height > max_photo_pixels) return 3;

  png_charp name = nullptr;
  int compression = 0;
  png_bytep icc = nullptr;
  png_uint_32 icc_size = 0;
  if (png_get_iCCP(png, info, &name, &compression, &icc, &icc_size) != 0) {
    result->profile->assign(icc, icc + icc_size);
  }
  png_uint_32 exif_size = 0;
  png_bytep exif = nullptr;
  if (png_get_eXIf_1(png, info, &exif_size, &exif) != 0) {
    // The chunk holds the bare TIFF structure; EXIF readers expect the
    // header a JPEG segment has.
    static const unsigned char header[] = {'E', 'x', 'i', 'f', 0, 0};
    result->exif->assign(header, header + sizeof header);
    result->exif->insert(result->exif->end(), exif, exif + exif_size);
  }

  // Whatever the format, 8-bit RGBA comes out.
  png_set_expand(png);
  png_set_scale_16(png);
  png_set_gray_to_rgb(png);
  png_set_filler(png, 0xFF, PNG_FILLER_AFTER);
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  const size_t stride = static_cast<size_t>(result->width) * 4;
  result->rgba->resize(stride * result->height);
  result->rows->resize(result->height);
  for (uint32_t y = 0; y < result->height; ++y) {
    (*result->rows)[y] = result->rgba->data() + stride * y;
  }
  png_read_image(png, result->rows->data());
  png_read_end(png, nullptr);
  return 0;
}

}  // namespace

bool decode_png(const std::string& path, rgb_image* image, std::string* error) {
  std::FILE* file = open_for_reading(path);
  if (file == nullptr) {
    *error = path + ": cannot be opened: " + std::strerror(errno);
    return false;
  }
  png_failure failure{};
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &failure, on_error, on_warning);
  png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
  std::vector<unsigned char> rgba, profile, exif;
  std::vector<png_bytep> rows;
  png_result result{0, 0, &rgba, &rows, &profile, &exif};
  const int status = info != nullptr ? read_png(file, png, info, &result)
                                     : (std::strcpy(failure.message, "out of memory"), 1);
  png_destroy_read_struct(&png, &info, nullptr);
  std::fclose(file);
  if (status == 3) {
    *error = too_large_message(path, result.width, result.height);
    return false;
  }
  if (status != 0) {
    *error = path + ": cannot decode the image (" + failure.message + ")";
    return false;
  }
  image->width = static_cast<int>(result.width);
  image->height = static_cast<int>(result.height);
  const size_t count = static_cast<size_t>(result.width) * result.height;
  flatten_onto_white(rgba.data(), count, rgba.data());
  rgba.resize(count * 3);
  image->pixels = std::move(rgba);
  rgb_profile_to_srgb(profile, image);
  *image = apply_orientation(std::move(*image), exif_orientation(exif.data(), exif.size()));
  return true;
}

}  // namespace classify
