#pragma once
// Turns a photograph file into the square of 8-bit R, G, B pixels that
// classify reads: the image decoded (JPEG at a reduced size where the output
// allows it), turned upright by its EXIF orientation, converted to sRGB by
// its embedded colour profile, transparent pixels composed onto white, its
// centre cropped and resized to SIZE x SIZE. JPEG and PNG are read by their
// own libraries; the other formats by libvips, in a module loaded only when
// a file needs it (vips_module.h).

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "photo/image.h"

namespace classify {

// Images of more pixels than this are refused before they are decoded: the
// model sees 224x224, and a header that declares more is far more likely a
// hostile file than a photograph.
inline constexpr int64_t max_photo_pixels = int64_t{1} << 27;
// The largest output side --size takes, and a model's input may have.
inline constexpr int max_output_side = 4096;

// A pixel's grey value by the ITU-R 601 weights, rounded as PIL's "L"
// conversion rounds them: (19595 R + 38470 G + 7471 B + 32768) >> 16.
inline unsigned char grey_of(unsigned char r, unsigned char g, unsigned char b) {
  return static_cast<unsigned char>((19595u * r + 38470u * g + 7471u * b + 32768u) >> 16);
}

// The grey values of `rgb` (R, G, B a pixel), one byte a pixel.
std::vector<unsigned char> grey_bytes(const std::vector<unsigned char>& rgb);

// The size of a prepared photograph: `width` x `height` pixels.
struct photo_size {
  int width = 0;
  int height = 0;
};
// The grey level transparent pixels are composed onto: white, as image
// viewers and web pages show them.
inline constexpr int transparent_background = 255;

// The message for an image whose header declares `width` x `height`
// pixels, more than max_photo_pixels.
std::string too_large_message(const std::string& path, int64_t width, int64_t height);

// Where the libvips module is, for programs that do not sit beside it (the
// tests, the fuzzer). prepare-input finds it from its own location.
void use_vips_module(const std::string& path);

// True when `path` is a regular file this process may read (a photograph,
// a model); otherwise `error` says why, beginning with the path.
bool check_readable_file(const std::string& path, std::string* error);

// The formats the first bytes of a file announce, as far as this build reads
// them: JPEG and PNG everywhere; on Linux also WebP, HEIF and AVIF, GIF, TIFF,
// BMP and PNM; on Windows BMP.
enum class photo_format { jpeg, png, other, none };
photo_format format_of(const unsigned char* head, size_t size);
// How many first bytes format_of looks at: BMP's header size is in bytes 14
// to 17.
inline constexpr size_t format_head_size = 18;

// The format the file at `path` begins as; none when it cannot be read.
photo_format format_of_file(const std::string& path);

// The name of the format the file at `path` begins as, among those beyond
// JPEG and PNG ("WebP", "HEIF", "AVIF", "GIF", "TIFF", "BMP", "PNM"); "" for
// another.
std::string format_name(const std::string& path);

// Prepares the photograph at `path`: the centre crop that keeps `crop` (above
// 0, at most 1) of each side, resized to `size` pixels and written row-major
// as R, G, B bytes into `pixels`. On failure `error` says why, beginning with
// the path. Several threads may prepare photographs at once. With `upright`,
// that gets the whole photograph as it was decoded and turned upright, before
// the crop and the resize (for a JPEG, at the reduced size it was decoded at).
bool prepare_photo(const std::string& path, photo_size size, double crop,
                   std::vector<unsigned char>* pixels, std::string* error,
                   rgb_image* upright = nullptr);

}  // namespace classify
