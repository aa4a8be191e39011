// prepare-input's libvips module: the formats beyond JPEG and PNG (see
// vips_module.h). Built as a loadable module; its two functions are looked
// up by name.
#include <gmodule.h>
#include <vips/vips.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <memory>
#include <string>

#include "photo/vips_module.h"

#ifndef VIPS_MODULE_DIR
#error "VIPS_MODULE_DIR must name the folder of libvips' loadable modules"
#endif

namespace {

struct image_unref {
  void operator()(VipsImage* image) const { g_object_unref(image); }
};
using image_ptr = std::unique_ptr<VipsImage, image_unref>;

// The loaders of libvips taken for photographs: formats people have, read by
// libraries that are fuzzed and kept up to date. Everything else (SVG, PDF,
// FITS, OpenEXR, CSV, raw...) is refused.
constexpr const char* photo_loaders[] = {"jpegload", "pngload", "webpload", "tiffload",
                                         "gifload",  "ppmload", "heifload"};

// Containers whose loader lives in one of libvips' optional modules.
enum class container { plain, bmp, heif };

container sniff(const char* path) {
  char head[12] = {};
  std::ifstream file(path, std::ios::binary);
  file.read(head, sizeof head);
  const std::streamsize got = file.gcount();
  if (got >= 2 && head[0] == 'B' && head[1] == 'M') return container::bmp;
  // HEIF and AVIF are ISO media files: a box of type "ftyp" comes first.
  if (got >= 12 && std::memcmp(head + 4, "ftyp", 4) == 0) return container::heif;
  return container::plain;
}

// libvips starts without its optional modules (ImageMagick, Poppler,
// OpenSlide...): one is loaded when a file needs it, and kept.
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
  std::replace(text.begin(), text.end(), '\n', ';');
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

bool start_library() {
  static const bool started = [] {
    // Without a VIPSHOME of its own the library loads every module it finds
    // beside itself; a folder that does not exist gives it none.
    g_setenv("VIPSHOME", "/nonexistent/prepare-input", TRUE);
    if (VIPS_INIT("prepare-input") != 0) return false;
    g_log_set_default_handler(drop_library_message, nullptr);
    // Defence in depth beside the list of photograph loaders: loaders libvips
    // itself does not trust stay blocked, but for PNM's plain reader.
    vips_block_untrusted_set(TRUE);
    vips_operation_block_set("VipsForeignLoadPpm", FALSE);
    // One image per process: nothing is worth caching.
    vips_cache_set_max(0);
    return true;
  }();
  return started;
}

int fail(vips_picture* picture, int outcome, const std::string& reason) {
  std::snprintf(picture->reason, sizeof picture->reason, "%s", reason.c_str());
  return outcome;
}

// The loader libvips would take for `path`, if it is one of ours; 0 or an
// outcome.
int find_photo_loader(const char* path, std::string* loader, vips_picture* picture) {
  const container kind = sniff(path);
  if (kind == container::bmp) {
    if (!enable_bmp_loader()) {
      return fail(picture, vips_damaged,
                  "BMP support (libvips' ImageMagick module) is not installed");
    }
    *loader = "magickload";
    return 0;
  }
  if (kind == container::heif && !enable_heif_loader()) {
    return fail(picture, vips_damaged, "HEIF support (libvips' HEIF module) is not installed");
  }
  const char* found = vips_foreign_find_load(path);
  vips_error_clear();
  if (found == nullptr) return fail(picture, vips_not_an_image, "unknown format");
  // libvips names the loader's type; its operation is known by a nickname.
  const char* nickname = vips_nickname_find(g_type_from_name(found));
  const std::string name = nickname != nullptr ? nickname : found;
  for (const char* wanted : photo_loaders) {
    if (name == wanted) {
      *loader = name;
      return 0;
    }
  }
  return fail(picture, vips_not_an_image, name + " is not a photograph loader");
}

// The image's header; the pixels are decoded later, on demand.
image_ptr open_image(const char* path, const std::string& loader) {
  VipsImage* image = nullptr;
  if (loader == "magickload") {
    // The "BMP:" prefix makes ImageMagick use its BMP reader and nothing else.
    vips_magickload(("BMP:" + std::string(path)).c_str(), &image, "fail_on", VIPS_FAIL_ON_TRUNCATED,
                    nullptr);
  } else {
    image = vips_image_new_from_file(path, "access", VIPS_ACCESS_SEQUENTIAL, "fail_on",
                                     VIPS_FAIL_ON_TRUNCATED, nullptr);
  }
  return image_ptr(image);
}

// libvips' PNM reader does not notice a file that ends before its pixels:
// the plain (ASCII) and one-bit forms come back padded with zeros, and the
// other binary forms, refused in most runs ("memory area too small"), are
// prepared in some from memory never written, different each time. So the
// header is read here too, and a file shorter than the pixels it promises is
// refused every time, before libvips reads them.
class pnm_reader {
 public:
  explicit pnm_reader(const char* path) : file_(path, std::ios::binary) {}

  // "" when the file holds every pixel its header promises, else why not.
  // A header libvips cannot read either is left for libvips to refuse.
  std::string shortfall() {
    if (file_.get() != 'P') return "";
    const int kind = file_.get();
    const bool pfm = kind == 'F' || kind == 'f';
    if (!pfm && (kind < '1' || kind > '6')) return "";
    uint64_t width = 0, height = 0, maxval = 1;
    if (!number(&width) || !number(&height)) return "";
    if (kind != '1' && kind != '4' && !pfm && !number(&maxval)) return "";
    if (pfm && !skip_token()) return "";
    const uint64_t bands = kind == '3' || kind == '6' || kind == 'F' ? 3 : 1;
    const uint64_t samples = width * height * bands;
    if (kind >= '1' && kind <= '3') return plain_shortfall(kind == '1', samples);
    // One blank ends the header; the pixels follow.
    file_.get();
    uint64_t bytes = samples * (maxval > 65535 ? 4 : maxval > 255 ? 2 : 1);
    if (kind == '4') bytes = (width + 7) / 8 * height;
    if (pfm) bytes = samples * 4;
    const std::streamoff start = file_.tellg();
    file_.seekg(0, std::ios::end);
    const std::streamoff end = file_.tellg();
    if (start < 0 || end < 0) return "the file cannot be read";
    const uint64_t held = static_cast<uint64_t>(end - std::min(start, end));
    if (held >= bytes) return "";
    return "truncated: it holds " + std::to_string(held) + " of its " + std::to_string(bytes) +
           " bytes of pixels";
  }

 private:
  // Blanks and comments, which run from # to the end of the line.
  void skip_blanks() {
    for (int c = file_.peek(); c != EOF; c = file_.peek()) {
      if (c == '#') {
        file_.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
      } else if (std::isspace(c) != 0) {
        file_.get();
      } else {
        return;
      }
    }
  }

  bool number(uint64_t* value) {
    skip_blanks();
    int digits = 0;
    *value = 0;
    for (int c = file_.peek(); c != EOF && std::isdigit(c) != 0; c = file_.peek()) {
      if (++digits > 12) return false;
      *value = *value * 10 + static_cast<uint64_t>(file_.get() - '0');
    }
    return digits > 0;
  }

  bool skip_token() {
    skip_blanks();
    int length = 0;
    for (int c = file_.peek(); c != EOF && std::isspace(c) == 0; c = file_.peek()) {
      file_.get();
      ++length;
    }
    return length > 0;
  }

  // Plain PNM writes each value as a decimal number; plain PBM's 0s and 1s
  // need no blank between them.
  std::string plain_shortfall(bool bits, uint64_t samples) {
    uint64_t found = 0;
    while (found < samples) {
      skip_blanks();
      const int c = file_.peek();
      if (c == EOF || std::isdigit(c) == 0) break;
      if (bits) {
        file_.get();
      } else {
        uint64_t ignored = 0;
        if (!number(&ignored)) break;
      }
      ++found;
    }
    if (found >= samples) return "";
    return "truncated: it holds " + std::to_string(found) + " of its " + std::to_string(samples) +
           " pixel values";
  }

  std::ifstream file_;
};

// Applies `step` to `*image`, replacing it by the result; false on failure.
template <typename Step>
bool apply(image_ptr* image, Step step) {
  VipsImage* out = nullptr;
  if (step(image->get(), &out) != 0) return false;
  image->reset(out);
  return true;
}

// Upright, sRGB, alpha onto white, three 8-bit bands.
bool to_upright_srgb8(image_ptr* image) {
  if (!apply(image,
             [](VipsImage* in, VipsImage** out) { return vips_autorot(in, out, nullptr); })) {
    return false;
  }
  // A profile that cannot be used is ignored: the pixels are taken as sRGB.
  if (vips_image_get_typeof(image->get(), VIPS_META_ICC_NAME) &&
      !apply(image, [](VipsImage* in, VipsImage** out) {
        return vips_icc_transform(in, out, "srgb", "embedded", TRUE, "intent", VIPS_INTENT_RELATIVE,
                                  nullptr);
      })) {
    vips_error_clear();
  }
  if (vips_image_hasalpha(image->get()) && !apply(image, [](VipsImage* in, VipsImage** out) {
        double white[] = {255, 255, 255, 255};
        VipsArrayDouble* colour = vips_array_double_new(white, std::min(in->Bands - 1, 4));
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
  return image->get()->BandFmt == VIPS_FORMAT_UCHAR ||
         apply(image, [](VipsImage* in, VipsImage** out) {
           const bool sixteen_bit = in->BandFmt == VIPS_FORMAT_USHORT;
           return vips_cast(in, out, VIPS_FORMAT_UCHAR, "shift", sixteen_bit, nullptr);
         });
}

}  // namespace

extern "C" {

int classify_vips_decode(const char* path, int64_t max_pixels, vips_picture* picture) {
  picture->pixels = nullptr;
  picture->reason[0] = '\0';
  if (!start_library()) return fail(picture, vips_damaged, "libvips does not start");
  std::string loader;
  if (const int outcome = find_photo_loader(path, &loader, picture)) return outcome;
  image_ptr image = open_image(path, loader);
  if (!image) return fail(picture, vips_damaged, library_error());
  const int64_t width = vips_image_get_width(image.get());
  const int64_t height = vips_image_get_height(image.get());
  if (width <= 0 || height <= 0 || width * height > max_pixels) {
    picture->width = static_cast<int>(width);
    picture->height = static_cast<int>(height);
    return fail(picture, vips_too_large, std::to_string(width) + "x" + std::to_string(height));
  }
  if (loader == "ppmload") {
    const std::string shortfall = pnm_reader(path).shortfall();
    if (!shortfall.empty()) return fail(picture, vips_damaged, shortfall);
  }
  if (!to_upright_srgb8(&image)) return fail(picture, vips_damaged, library_error());
  size_t length = 0;
  void* memory = vips_image_write_to_memory(image.get(), &length);
  if (memory == nullptr) return fail(picture, vips_damaged, library_error());
  picture->width = vips_image_get_width(image.get());
  picture->height = vips_image_get_height(image.get());
  if (length != static_cast<size_t>(picture->width) * picture->height * 3) {
    g_free(memory);
    return fail(picture, vips_damaged, "unexpected pixel layout");
  }
  picture->pixels = static_cast<unsigned char*>(memory);
  return vips_decoded;
}

void classify_vips_free(unsigned char* pixels) { g_free(pixels); }
}
