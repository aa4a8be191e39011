#include "photo.h"

#include <gmodule.h>
#include <sys/stat.h>
#include <vips/vips.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <memory>

#ifndef VIPS_MODULE_DIR
#error "VIPS_MODULE_DIR must name the folder of libvips' loadable modules"
#endif

namespace {

struct image_unref {
  void operator()(VipsImage* image) const { g_object_unref(image); }
};
using image_ptr = std::unique_ptr<VipsImage, image_unref>;

struct g_free_deleter {
  void operator()(void* p) const { g_free(p); }
};

// The loaders of libvips taken for photographs: formats people have, read by
// libraries that are fuzzed and kept up to date. Everything else (SVG, PDF,
// FITS, OpenEXR, CSV, raw...) is refused.
constexpr const char* photo_loaders[] = {"jpegload", "pngload", "webpload", "tiffload",
                                         "gifload",  "ppmload", "heifload"};

// Containers whose loader lives in one of libvips' optional modules.
enum class container { plain, bmp, heif };

container sniff(const std::string& path) {
  char head[12] = {};
  std::ifstream file(path, std::ios::binary);
  file.read(head, sizeof head);
  const std::streamsize got = file.gcount();
  if (got >= 2 && head[0] == 'B' && head[1] == 'M') return container::bmp;
  // HEIF and AVIF are ISO media files: a box of type "ftyp" comes first.
  if (got >= 12 && std::memcmp(head + 4, "ftyp", 4) == 0) return container::heif;
  return container::plain;
}

// The library starts without its optional modules: loading them all (and the
// libraries they pull in: ImageMagick, Poppler, OpenSlide...) costs several
// times the decoding of a small photograph. One is loaded when a file needs
// it, and kept: the loaders it registers stay in use.
bool load_module(const char* name) {
  const std::string path = std::string(VIPS_MODULE_DIR) + "/vips-" + name + ".so";
  return g_module_open(path.c_str(), static_cast<GModuleFlags>(G_MODULE_BIND_LAZY |
                                                               G_MODULE_BIND_LOCAL)) != nullptr;
}

// BMP has no loader of libvips' own; ImageMagick's reads it. ImageMagick is
// among the loaders libvips marks as untrusted, so it is let in only for a
// file whose first bytes say BMP, and it is told to read that format alone.
bool enable_bmp_loader() {
  static const bool loaded = load_module("magick");
  if (loaded) vips_operation_block_set("VipsForeignLoadMagick", FALSE);
  return loaded;
}

bool enable_heif_loader() {
  static const bool loaded = load_module("heif");
  return loaded;
}

// What libvips last reported, on one line.
std::string library_error() {
  std::string text = vips_error_buffer();
  vips_error_clear();
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  for (char& c : text) {
    if (c == '\n') c = ';';
  }
  return text.empty() ? "unknown error" : text;
}

// libvips and GLib report damaged data they can work around, and odd values
// met on the way, as warnings on standard error. The tool fails on what
// matters and says so in one line instead; only a fatal error still shows.
void drop_library_message(const gchar* domain, GLogLevelFlags level, const gchar* message,
                          gpointer data) {
  if ((level & G_LOG_FLAG_FATAL) != 0 || (level & G_LOG_LEVEL_ERROR) != 0) {
    g_log_default_handler(domain, level, message, data);
  }
}

bool is_regular_file(const std::string& path, std::string* error) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  if (!S_ISREG(info.st_mode)) {
    *error = path + ": not a regular file";
    return false;
  }
  std::ifstream probe(path, std::ios::binary);
  if (!probe) {
    *error = path + ": cannot be opened: " + std::strerror(errno);
    return false;
  }
  return true;
}

// The loader libvips would take for `path`, if it is one of ours.
bool find_photo_loader(const std::string& path, container kind, std::string* loader,
                       std::string* error) {
  if (kind == container::bmp) {
    if (!enable_bmp_loader()) {
      *error = path + ": BMP support (libvips' ImageMagick module) is not installed";
      return false;
    }
    *loader = "magickload";
    return true;
  }
  if (kind == container::heif && !enable_heif_loader()) {
    *error = path + ": HEIF support (libvips' HEIF module) is not installed";
    return false;
  }
  const char* found = vips_foreign_find_load(path.c_str());
  vips_error_clear();
  if (found == nullptr) {
    *error = path + ": not an image this tool can read (unknown format)";
    return false;
  }
  // libvips names the loader's type; its operation is known by a nickname.
  const char* nickname = vips_nickname_find(g_type_from_name(found));
  const std::string name = nickname != nullptr ? nickname : found;
  for (const char* wanted : photo_loaders) {
    if (name == wanted) {
      *loader = name;
      return true;
    }
  }
  *error = path + ": not an image this tool can read (" + name + " is not a photograph loader)";
  return false;
}

// The image's header (the pixels are decoded later, on demand).
image_ptr open_header(const std::string& path, const std::string& loader) {
  VipsImage* image = nullptr;
  if (loader == "magickload") {
    // The "BMP:" prefix makes ImageMagick use its BMP reader and nothing else.
    vips_magickload(("BMP:" + path).c_str(), &image, "fail_on", VIPS_FAIL_ON_TRUNCATED, nullptr);
  } else {
    image = vips_image_new_from_file(path.c_str(), "access", VIPS_ACCESS_SEQUENTIAL, "fail_on",
                                     VIPS_FAIL_ON_TRUNCATED, nullptr);
  }
  return image_ptr(image);
}

// Applies `step` to `*image`, replacing it by the result; false on failure.
template <typename Step>
bool apply(image_ptr* image, Step step) {
  VipsImage* out = nullptr;
  if (step(image->get(), &out) != 0) return false;
  image->reset(out);
  return true;
}

// The whole image, turned upright and in sRGB, scaled so that its centre
// crop keeping `crop` of each side measures `size` x `size`. libvips reduces
// JPEG, WebP and HEIF while decoding where the scale allows it.
image_ptr scaled_whole(const std::string& path, const std::string& loader, VipsImage* header,
                       int size, double crop) {
  int width = vips_image_get_width(header);
  int height = vips_image_get_height(header);
  if (vips_image_get_orientation_swap(header)) std::swap(width, height);
  // The crop in source pixels, at least one pixel a side.
  const double crop_w = std::max(1.0, std::round(width * crop));
  const double crop_h = std::max(1.0, std::round(height * crop));
  const int target_w = static_cast<int>(std::lround(size * (width / crop_w)));
  const int target_h = static_cast<int>(std::lround(size * (height / crop_h)));
  // libvips converts CMYK to sRGB itself (by the embedded profile, or a
  // standard one). Other colour spaces are converted after the resize: its
  // own conversion of them shifts the colours of untagged images.
  VipsImage* out = nullptr;
  if (loader == "magickload") {
    vips_thumbnail_image(header, &out, target_w, "height", target_h, "size", VIPS_SIZE_FORCE,
                         nullptr);
  } else {
    vips_thumbnail(path.c_str(), &out, target_w, "height", target_h, "size", VIPS_SIZE_FORCE,
                   "fail_on", VIPS_FAIL_ON_TRUNCATED, nullptr);
  }
  return image_ptr(out);
}

// Pixels described by an embedded colour profile, converted to sRGB. A
// profile that cannot be used (damaged, or for another colour space) is
// ignored: the pixels are then taken as sRGB, as for an untagged image.
void apply_embedded_profile(image_ptr* image, bool source_was_cmyk) {
  if (source_was_cmyk || !vips_image_get_typeof(image->get(), VIPS_META_ICC_NAME)) return;
  if (!apply(image, [](VipsImage* in, VipsImage** out) {
        return vips_icc_transform(in, out, "srgb", "embedded", TRUE, "intent", VIPS_INTENT_RELATIVE,
                                  nullptr);
      })) {
    vips_error_clear();
  }
}

// Alpha composed onto the background, any colour space and sample format
// to three 8-bit sRGB bands.
bool to_srgb8(image_ptr* image) {
  if (vips_image_hasalpha(image->get()) && !apply(image, [](VipsImage* in, VipsImage** out) {
        double background[] = {transparent_background, transparent_background,
                               transparent_background, transparent_background};
        VipsArrayDouble* colour = vips_array_double_new(background, std::min(in->Bands - 1, 4));
        const int status = vips_flatten(in, out, "background", colour, nullptr);
        vips_area_unref(VIPS_AREA(colour));
        return status;
      })) {
    return false;
  }
  if (vips_image_get_interpretation(image->get()) != VIPS_INTERPRETATION_sRGB &&
      !apply(image, [](VipsImage* in, VipsImage** out) {
        return vips_colourspace(in, out, VIPS_INTERPRETATION_sRGB, nullptr);
      })) {
    // A colour space libvips cannot convert from (odd band layouts of TIFF)
    // keeps its bands as they are; they are fitted below.
    vips_error_clear();
  }
  if (image->get()->Bands != 3 && !apply(image, [](VipsImage* in, VipsImage** out) {
        if (in->Bands > 3) return vips_extract_band(in, out, 0, "n", 3, nullptr);
        VipsImage* first = nullptr;
        if (vips_extract_band(in, &first, 0, nullptr) != 0) return -1;
        VipsImage* grey[] = {first, first, first};
        const int status = vips_bandjoin(grey, out, 3, nullptr);
        g_object_unref(first);
        return status;
      })) {
    return false;
  }
  if (image->get()->BandFmt != VIPS_FORMAT_UCHAR &&
      !apply(image, [](VipsImage* in, VipsImage** out) {
        const bool sixteen_bit = in->BandFmt == VIPS_FORMAT_USHORT;
        return vips_cast(in, out, VIPS_FORMAT_UCHAR, "shift", sixteen_bit, nullptr);
      })) {
    return false;
  }
  return true;
}

}  // namespace

bool start_photo_library(const char* argv0, std::string* error) {
  static bool started = false;
  if (started) return true;
  // Without a VIPSHOME of its own the library loads every module it finds
  // beside itself; a folder that does not exist gives it none (see
  // load_module).
  g_setenv("VIPSHOME", "/nonexistent/prepare-input", TRUE);
  if (VIPS_INIT(argv0) != 0) {
    *error = "the image library does not start: " + library_error();
    return false;
  }
  g_log_set_default_handler(drop_library_message, nullptr);
  // Defence in depth beside the list of photograph loaders: loaders libvips
  // itself does not trust stay blocked, but for PNM's plain reader.
  vips_block_untrusted_set(TRUE);
  vips_operation_block_set("VipsForeignLoadPpm", FALSE);
  // One image per process: nothing is worth caching.
  vips_cache_set_max(0);
  started = true;
  return true;
}

bool prepare_photo(const std::string& path, int size, double crop,
                   std::vector<unsigned char>* pixels, std::string* error) {
  if (!is_regular_file(path, error)) return false;
  std::string loader;
  if (!find_photo_loader(path, sniff(path), &loader, error)) return false;
  image_ptr header = open_header(path, loader);
  if (!header) {
    *error = path + ": cannot decode the image (" + library_error() + ")";
    return false;
  }
  const int64_t width = vips_image_get_width(header.get());
  const int64_t height = vips_image_get_height(header.get());
  if (width <= 0 || height <= 0 || width * height > max_photo_pixels) {
    *error = path + ": image of " + std::to_string(width) + "x" + std::to_string(height) +
             " pixels is too large (at most " + std::to_string(max_photo_pixels) + " pixels)";
    return false;
  }
  image_ptr image = scaled_whole(path, loader, header.get(), size, crop);
  if (image) {
    apply_embedded_profile(&image,
                           vips_image_get_interpretation(header.get()) == VIPS_INTERPRETATION_CMYK);
  }
  if (!image || !to_srgb8(&image) || !apply(&image, [size](VipsImage* in, VipsImage** out) {
        return vips_extract_area(in, out, (in->Xsize - size) / 2, (in->Ysize - size) / 2, size,
                                 size, nullptr);
      })) {
    *error = path + ": cannot decode the image (" + library_error() + ")";
    return false;
  }
  size_t length = 0;
  std::unique_ptr<void, g_free_deleter> memory(vips_image_write_to_memory(image.get(), &length));
  if (!memory) {
    *error = path + ": cannot decode the image (" + library_error() + ")";
    return false;
  }
  const size_t expected = static_cast<size_t>(size) * size * 3;
  if (length != expected) {
    *error = path + ": prepared " + std::to_string(length) + " bytes instead of " +
             std::to_string(expected);
    return false;
  }
  const auto* bytes = static_cast<const unsigned char*>(memory.get());
  pixels->assign(bytes, bytes + length);
  return true;
}
