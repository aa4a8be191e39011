#include "photo.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "jpeg_decode.h"
#include "other_decode.h"
#include "platform.h"
#include "png_decode.h"
#include "resize.h"

namespace {

enum class format { jpeg, png, other };

format sniff(const std::string& path) {
  std::array<unsigned char, 8> head{};
  size_t got = 0;
  if (std::FILE* file = open_for_reading(path)) {
    got = std::fread(head.data(), 1, head.size(), file);
    std::fclose(file);
  }
  if (got >= 3 && head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF) return format::jpeg;
  static const unsigned char png_signature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (got == 8 && std::memcmp(head.data(), png_signature, 8) == 0) return format::png;
  return format::other;
}

}  // namespace

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

bool prepare_photo(const std::string& path, int size, double crop,
                   std::vector<unsigned char>* pixels, std::string* error) {
  if (!check_readable_file(path, error)) return false;
  rgb_image image;
  bool decoded = false;
  switch (sniff(path)) {
    case format::jpeg:
      decoded = decode_jpeg(path, size, crop, &image, error);
      break;
    case format::png:
      decoded = decode_png(path, &image, error);
      break;
    case format::other:
      decoded = decode_other(path, &image, error);
      break;
  }
  if (!decoded) return false;
  if (image.width <= 0 || image.height <= 0) {
    *error = path + ": cannot decode the image (no pixels)";
    return false;
  }
  *pixels = crop_and_resize(image, crop, size);
  return true;
}
