// The formats beyond JPEG and PNG on Linux: libvips, in a module that is
// loaded only when a file needs it (vips_module.h).
#include <memory>
#include <mutex>
#include <string>

#include "photo/other_decode.h"
#include "photo/photo.h"
#include "photo/vips_module.h"
#include "platform/platform.h"

namespace classify {

namespace {

std::string& vips_module_path() {
  static std::string path;
  return path;
}

struct vips_functions {
  vips_decode_function decode = nullptr;
  vips_free_function release = nullptr;
  std::string problem;
  bool missing = false;  // not installed, rather than damaged
};

// Loaded once, on first need, and kept.
const vips_functions& vips_module() {
  static const vips_functions module = [] {
    vips_functions f;
    const std::string path = vips_module_path().empty()
                                 ? private_module_path("prepare-input-vips.so")
                                 : vips_module_path();
    const module_functions m = load_module(path, {"classify_vips_decode", "classify_vips_free"});
    if (m.outcome != module_functions::state::loaded) {
      f.problem = "its decoder module " + m.problem;
      f.missing = m.outcome == module_functions::state::missing;
      return f;
    }
    f.decode = reinterpret_cast<vips_decode_function>(m.functions[0]);
    f.release = reinterpret_cast<vips_free_function>(m.functions[1]);
    return f;
  }();
  return module;
}

}  // namespace

bool decode_other(const std::string& path, rgb_image* image, std::string* error) {
  const vips_functions& module = vips_module();
  if (module.missing) {
    // The package leaves the formats beyond JPEG and PNG to a package of
    // their own, which a lean install goes without.
    const std::string name = format_name(path);
    *error = name.empty() ? path + ": not an image this tool can read (it reads JPEG and PNG; " +
                                "the package classify-formats adds the other formats)"
                          : path + ": a " + name +
                                " image needs the package classify-formats, which is not "
                                "installed (apt install classify-formats)";
    return false;
  }
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

void use_vips_module(const std::string& path) { vips_module_path() = path; }

}  // namespace classify
