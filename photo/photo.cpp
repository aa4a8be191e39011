#include "photo.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>

#include "jpeg_decode.h"
#include "png_decode.h"
#include "resize.h"
#include "vips_module.h"

#ifndef VIPS_MODULE_FROM_BINDIR
#error "VIPS_MODULE_FROM_BINDIR must give the module's installed place relative to bin/"
#endif

namespace {

enum class format { jpeg, png, other };

format sniff(const std::string& path) {
  std::array<unsigned char, 8> head{};
  std::ifstream file(path, std::ios::binary);
  file.read(reinterpret_cast<char*>(head.data()), head.size());
  const std::streamsize got = file.gcount();
  if (got >= 3 && head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF) return format::jpeg;
  static const unsigned char png_signature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (got == 8 && std::memcmp(head.data(), png_signature, 8) == 0) return format::png;
  return format::other;
}

std::string& vips_module_path() {
  static std::string path;
  return path;
}

// Beside the program (a build folder), or where the package installs it.
std::string default_vips_module_path() {
  char self[4096];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) return "prepare-input-vips.so";
  std::string dir(self, static_cast<size_t>(length));
  dir.erase(dir.rfind('/'));
  const std::string beside = dir + "/prepare-input-vips.so";
  if (access(beside.c_str(), R_OK) == 0) return beside;
  return dir + "/" VIPS_MODULE_FROM_BINDIR "/prepare-input-vips.so";
}

struct vips_functions {
  vips_decode_function decode = nullptr;
  vips_free_function release = nullptr;
  std::string problem;
};

// Loaded once, on first need, and kept.
const vips_functions& vips_module() {
  static const vips_functions module = [] {
    vips_functions f;
    const std::string path =
        vips_module_path().empty() ? default_vips_module_path() : vips_module_path();
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      f.problem = "its decoder module does not load: " + std::string(dlerror());
      return f;
    }
    f.decode = reinterpret_cast<vips_decode_function>(dlsym(handle, "classify_vips_decode"));
    f.release = reinterpret_cast<vips_free_function>(dlsym(handle, "classify_vips_free"));
    if (f.decode == nullptr || f.release == nullptr) f.problem = "its decoder module is damaged";
    return f;
  }();
  return module;
}

bool decode_with_vips(const std::string& path, rgb_image* image, std::string* error) {
  const vips_functions& module = vips_module();
  if (!module.problem.empty()) {
    *error = path + ": cannot decode the image (" + module.problem + ")";
    return false;
  }
  vips_picture picture{};
  // libvips keeps one error buffer for the whole process, so that two files
  // failing at once would mix or lose each other's reasons: one such file is
  // decoded at a time (libvips itself spreads each over the cores).
  static std::mutex one_at_a_time;
  std::unique_lock<std::mutex> lock(one_at_a_time);
  const int outcome = module.decode(path.c_str(), max_photo_pixels, &picture);
  lock.unlock();
  if (outcome != vips_decoded) {
    switch (outcome) {
      case vips_not_an_image:
        *error = path + ": not an image this tool can read (" + picture.reason + ")";
        break;
      case vips_too_large:
        *error = too_large_message(path, picture.width, picture.height);
        break;
      default:
        *error = path + ": cannot decode the image (" + picture.reason + ")";
    }
    return false;
  }
  std::unique_ptr<unsigned char, vips_free_function> pixels(picture.pixels, module.release);
  image->width = picture.width;
  image->height = picture.height;
  image->pixels.assign(pixels.get(),
                       pixels.get() + static_cast<size_t>(picture.width) * picture.height * 3);
  return true;
}

}  // namespace

void use_vips_module(const std::string& path) { vips_module_path() = path; }

bool check_readable_file(const std::string& path, std::string* error) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  if (!S_ISREG(info.st_mode)) {
    *error = path + ": not a regular file";
    return false;
  }
  if (access(path.c_str(), R_OK) != 0) {
    *error = path + ": cannot be opened: " + std::strerror(errno);
    return false;
  }
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
      decoded = decode_with_vips(path, &image, error);
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
