// prepare-input: turns a photograph into the "input.bin" that classify reads:
// the image decoded, converted to 8-bit RGB, optionally centre-cropped,
// resized to a square with a triangle (bilinear, area-aware when shrinking)
// filter, and written row-major as R, G, B bytes.
#include <fcntl.h>
#include <stb_image.h>
#include <stb_image_resize.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#ifndef CLASSIFY_VERSION
#define CLASSIFY_VERSION "unknown"
#endif

namespace {

constexpr int channels = 3;
// A photograph of more pixels than this would take gigabytes to decode; the
// model sees 224x224, so nothing sensible is lost by refusing it.
constexpr int64_t max_source_pixels = int64_t{1} << 27;
constexpr int max_side = 4096;

struct options {
  std::string image;
  std::string output = "input.bin";
  int size = 224;
  double crop = 1.0;
};

int fail(const std::string& message) {
  std::cerr << "prepare-input: " << message << "\n";
  return 1;
}

struct rgb_image {
  int width = 0;
  int height = 0;
  std::unique_ptr<unsigned char, void (*)(void*)> pixels{nullptr, stbi_image_free};
};

// Decodes `path` into 8-bit RGB: alpha is dropped and grey expanded.
bool decode_rgb(const std::string& path, rgb_image* image, std::string* error) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  if (!S_ISREG(info.st_mode)) {
    *error = path + ": not a regular file";
    return false;
  }
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    *error = path + ": cannot be opened: " + std::strerror(errno);
    return false;
  }
  int width = 0;
  int height = 0;
  int source_channels = 0;
  const bool known = stbi_info_from_file(file, &width, &height, &source_channels) != 0;
  if (!known) {
    std::fclose(file);
    *error = path + ": not an image this tool can read (" + stbi_failure_reason() + ")";
    return false;
  }
  if (width <= 0 || height <= 0 || int64_t{width} * height > max_source_pixels) {
    std::fclose(file);
    *error = path + ": image of " + std::to_string(width) + "x" + std::to_string(height) +
             " pixels is too large";
    return false;
  }
  image->pixels.reset(stbi_load_from_file(file, &width, &height, &source_channels, channels));
  std::fclose(file);
  if (!image->pixels) {
    *error = path + ": cannot decode the image (" + stbi_failure_reason() + ")";
    return false;
  }
  image->width = width;
  image->height = height;
  return true;
}

// The centre crop that keeps `fraction` of each side, then the resize.
std::vector<unsigned char> crop_and_resize(const rgb_image& image, double fraction, int size) {
  const int crop_w = std::max(1, static_cast<int>(std::lround(image.width * fraction)));
  const int crop_h = std::max(1, static_cast<int>(std::lround(image.height * fraction)));
  const int x0 = (image.width - crop_w) / 2;
  const int y0 = (image.height - crop_h) / 2;
  const int stride = image.width * channels;
  const unsigned char* origin =
      image.pixels.get() + static_cast<size_t>(y0) * stride + static_cast<size_t>(x0) * channels;
  std::vector<unsigned char> out(static_cast<size_t>(size) * size * channels);
  stbir_resize_uint8_generic(origin, crop_w, crop_h, stride, out.data(), size, size,
                             size * channels, channels, STBIR_ALPHA_CHANNEL_NONE, 0,
                             STBIR_EDGE_CLAMP, STBIR_FILTER_TRIANGLE, STBIR_COLORSPACE_LINEAR,
                             nullptr);
  return out;
}

// Writes beside `path` and renames over it, so that a failed run never leaves
// a partial or stale output behind.
bool write_atomically(const std::string& path, const std::vector<unsigned char>& bytes,
                      std::string* error) {
  std::string temp = path + ".XXXXXX";
  const int fd = mkstemp(temp.data());
  if (fd < 0) {
    *error = path + ": cannot create a file beside it: " + std::strerror(errno);
    return false;
  }
  // The first failing step's errno, or 0 while all goes well.
  int failure = 0;
  size_t written = 0;
  while (failure == 0 && written < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      failure = n < 0 ? errno : EIO;
    } else {
      written += static_cast<size_t>(n);
    }
  }
  // mkstemp creates the file readable by its owner alone.
  if (failure == 0 && fchmod(fd, 0644) != 0) failure = errno;
  if (close(fd) != 0 && failure == 0) failure = errno;
  if (failure == 0 && std::rename(temp.c_str(), path.c_str()) != 0) failure = errno;
  if (failure != 0) {
    *error = path + ": cannot be written: " + std::strerror(failure);
    unlink(temp.c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  options opt;
  CLI::App app{
      "Prepares a photograph for classify: decodes it (JPEG, PNG, BMP, GIF, PNM, TGA, PSD, HDR),\n"
      "converts it to 8-bit RGB, crops its centre, resizes it to SIZE x SIZE and writes the\n"
      "pixels row-major as R, G, B bytes.",
      "prepare-input"};
  app.add_option("IMAGE", opt.image, "the photograph to prepare")->required();
  app.add_option("OUTPUT", opt.output, "the file to write")->capture_default_str();
  app.add_option("--size", opt.size, "side of the square output in pixels")
      ->capture_default_str()
      ->check(CLI::Range(1, max_side));
  app.add_option("--crop", opt.crop, "fraction of each side kept by the central crop")
      ->capture_default_str()
      ->check(CLI::Range(0.0, 1.0));
  app.set_version_flag("--version", std::string("prepare-input ") + CLASSIFY_VERSION);
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    return fail(e.what());
  }
  if (!(opt.crop > 0.0)) return fail("--crop must be above 0 and at most 1");

  std::string error;
  rgb_image image;
  if (!decode_rgb(opt.image, &image, &error)) return fail(error);
  const std::vector<unsigned char> pixels = crop_and_resize(image, opt.crop, opt.size);
  if (!write_atomically(opt.output, pixels, &error)) return fail(error);
  return 0;
}
