#include "photo/photo.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "photo/jpeg_decode.h"
#include "photo/other_decode.h"
#include "photo/png_decode.h"
#include "photo/resize.h"
#include "platform/platform.h"

namespace classify {

namespace {

bool starts_with(const unsigned char* head, size_t size, size_t at, const char* text) {
  const size_t length = std::strlen(text);
  return size >= at + length && std::memcmp(head + at, text, length) == 0;
}

// BMP's two letters alone begin many a text file: the size of the header
// that follows them must be one that a BMP version has.
bool is_bmp(const unsigned char* head, size_t size) {
  if (!starts_with(head, size, 0, "BM") || size < 18) return false;
  const uint32_t info_size = head[14] | head[15] << 8 | head[16] << 16 | uint32_t{head[17]} << 24;
  for (const uint32_t known : {12u, 40u, 52u, 56u, 64u, 108u, 124u}) {
    if (info_size == known) return true;
  }
  return false;
}

#if !defined(_WIN32)
// The formats libvips reads for the pipeline (vips_decode.cpp).
bool is_other_photo(const unsigned char* head, size_t size) {
  if (starts_with(head, size, 0, "RIFF") && starts_with(head, size, 8, "WEBP")) return true;
  if (starts_with(head, size, 0, "GIF87a") || starts_with(head, size, 0, "GIF89a")) return true;
  if (size >= 4 && ((head[0] == 'I' && head[1] == 'I' && head[2] == 42 && head[3] == 0) ||
                    (head[0] == 'M' && head[1] == 'M' && head[2] == 0 && head[3] == 42))) {
    return true;
  }
  // PNM: P1 to P6 and a blank.
  if (size >= 3 && head[0] == 'P' && head[1] >= '1' && head[1] <= '6' &&
      std::strchr(" \t\r\n", head[2]) != nullptr && head[2] != 0) {
    return true;
  }
  // HEIF and AVIF are ISO media files: a box of type "ftyp" comes first,
  // with a brand of theirs (videos begin the same way, with others).
  if (starts_with(head, size, 4, "ftyp")) {
    for (const char* brand : {"heic", "heix", "hevc", "hevx", "heim", "heis", "hevm", "hevs",
                              "mif1", "msf1", "avif", "avis"}) {
      if (starts_with(head, size, 8, brand)) return true;
    }
    return false;
  }
  return is_bmp(head, size);
}
#else
bool is_other_photo(const unsigned char* head, size_t size) { return is_bmp(head, size); }
#endif

}  // namespace

photo_format format_of(const unsigned char* head, size_t size) {
  if (size >= 3 && head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF) return photo_format::jpeg;
  if (starts_with(head, size, 0, "\x89PNG\r\n\x1A\n")) return photo_format::png;
  return is_other_photo(head, size) ? photo_format::other : photo_format::none;
}

std::string format_name(const std::string& path) {
  std::array<unsigned char, format_head_size> head{};
  size_t got = 0;
  if (std::FILE* file = open_for_reading(path)) {
    got = std::fread(head.data(), 1, head.size(), file);
    std::fclose(file);
  }
  if (format_of(head.data(), got) != photo_format::other) return "";
  const unsigned char* h = head.data();
  if (starts_with(h, got, 0, "RIFF")) return "WebP";
  if (starts_with(h, got, 0, "GIF")) return "GIF";
  if (starts_with(h, got, 0, "BM")) return "BMP";
  if (h[0] == 'P') return "PNM";
  if (starts_with(h, got, 4, "ftyp")) return starts_with(h, got, 8, "avi") ? "AVIF" : "HEIF";
  return "TIFF";
}

photo_format format_of_file(const std::string& path) {
  std::array<unsigned char, format_head_size> head{};
  std::FILE* file = open_for_reading(path);
  if (file == nullptr) return photo_format::none;
  const size_t got = std::fread(head.data(), 1, head.size(), file);
  std::fclose(file);
  return format_of(head.data(), got);
}

bool check_readable_file(const std::string& path, std::string* error) {
  std::error_code failure;
  const std::filesystem::file_status status =
      std::filesystem::status(std::filesystem::u8path(path), failure);
  if (failure) {
    *error = path + ": " + failure.message();
    return false;
  }
  if (!std::filesystem::is_regular_file(status)) {
    *error = path + ": not a regular file";
    return false;
  }
  std::FILE* file = open_for_reading(path);
  if (file == nullptr) {
    *error = path + ": cannot be opened: " + std::strerror(errno);
    return false;
  }
  std::fclose(file);
  return true;
}

std::string too_large_message(const std::string& path, int64_t width, int64_t height) {
  return path + ": image of " + std::to_string(width) + "x" + std::to_string(height) +
         " pixels is too large (at most " + std::to_string(max_photo_pixels) + " pixels)";
}

bool prepare_photo(const std::string& path, photo_size size, double crop,
                   std::vector<unsigned char>* pixels, std::string* error, rgb_image* upright) {
  if (!check_readable_file(path, error)) return false;
  rgb_image image;
  bool decoded = false;
  // A file that is none of the formats still goes to the other decoders,
  // which say best what it is not.
  switch (format_of_file(path)) {
    case photo_format::jpeg:
      decoded = decode_jpeg(path, size.width, size.height, crop, &image, error);
      break;
    case photo_format::png:
      decoded = decode_png(path, &image, error);
      break;
    case photo_format::other:
    case photo_format::none:
      decoded = decode_other(path, &image, error);
      break;
  }
  if (!decoded) return false;
  if (image.width <= 0 || image.height <= 0) {
    *error = path + ": cannot decode the image (no pixels)";
    return false;
  }
  *pixels = crop_and_resize(image, crop, size.width, size.height);
  if (upright != nullptr) *upright = std::move(image);
  return true;
}

std::vector<unsigned char> grey_bytes(const std::vector<unsigned char>& rgb) {
  std::vector<unsigned char> grey(rgb.size() / 3);
  for (size_t p = 0; p < grey.size(); ++p) {
    grey[p] = grey_of(rgb[3 * p], rgb[3 * p + 1], rgb[3 * p + 2]);
  }
  return grey;
}

}  // namespace classify
