// prepare-input: turns a photograph into the "input.bin" that classify reads:
// W x H pixels of 8-bit R, G, B, row-major, from the centre crop of the
// upright, sRGB photograph (see photo.h).
#include <CLI/CLI.hpp>
#include <iostream>
#include <string>
#include <vector>

#include "photo/photo.h"
#include "platform/heap.h"
#include "platform/platform.h"
#include "tools/common/atomic_file.h"
#include "tools/common/command_line.h"

using namespace classify;

#ifndef CLASSIFY_VERSION
#define CLASSIFY_VERSION "unknown"
#endif

namespace {

struct options {
  std::string image;
  std::string output = "input.bin";
  std::string size = "224";
  std::string crop = "1";
  bool grey = false;
};

// "N" for N x N, or "WxH"; each side from 1 to max_output_side.
bool parse_size(const std::string& text, photo_size* size) {
  const auto side = [](const std::string& digits, int* value) {
    if (digits.empty() || digits.size() > 5 ||
        digits.find_first_not_of("0123456789") != std::string::npos) {
      return false;
    }
    *value = std::stoi(digits);
    return *value >= 1 && *value <= max_output_side;
  };
  const size_t x = text.find('x');
  if (x == std::string::npos) {
    if (!side(text, &size->width)) return false;
    size->height = size->width;
    return true;
  }
  return side(text.substr(0, x), &size->width) && side(text.substr(x + 1), &size->height);
}

int fail(const std::string& message) {
  std::cerr << "prepare-input: " << message << "\n";
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  prepare_memory();
  options opt;
  CLI::App app{
      "Prepares a photograph for classify: decodes it (JPEG, PNG, WebP, HEIF/AVIF, GIF's first\n"
      "frame, TIFF's first page, BMP, PNM), turns it upright by its EXIF orientation, converts\n"
      "it to sRGB by its colour profile, composes transparent pixels onto white, crops its\n"
      "centre, resizes it to W x H and writes the pixels row-major as R, G, B bytes.",
      "prepare-input"};
  app.add_option("IMAGE", opt.image, "the photograph to prepare");
  app.add_option("OUTPUT", opt.output, "the file to write")->capture_default_str();
  app.add_option("--size", opt.size,
                 "N for a square of N x N pixels, or WxH (a model's input width and height), "
                 "each side from 1 to 4096")
      ->capture_default_str();
  app.add_option("--crop", opt.crop,
                 "the fraction of each side the central crop keeps, above 0 and at most 1")
      ->capture_default_str();
  app.add_flag("--grey", opt.grey,
               "one grey byte a pixel, (19595 R + 38470 G + 7471 B + 32768) >> 16, as "
               "classify-photos feeds a model of one channel");
  app.set_version_flag("--version", std::string("prepare-input ") + CLASSIFY_VERSION);
  if (const std::optional<int> status = parse_command_line(app, "prepare-input", argc, argv)) {
    return *status;
  }
  double crop = 1.0;
  if (!fraction(opt.crop, &crop)) {
    return usage_error("prepare-input",
                       "--crop " + opt.crop + ": not a fraction above 0 and at most 1");
  }
  photo_size size;
  if (!parse_size(opt.size, &size)) {
    return usage_error("prepare-input", "--size " + opt.size +
                                            ": not N or WxH with each side from 1 to " +
                                            std::to_string(max_output_side));
  }
  if (opt.image.empty()) return usage_error("prepare-input", "no photograph given");

  std::string error;
  std::vector<unsigned char> pixels;
  // Decoders deep inside the libraries (AV1's, for one) print their own
  // complaints about a damaged file to standard error; the tool says in one
  // line what failed, so theirs go to the null device while it decodes.
  const int saved_stderr = divert_standard_error();
  const bool prepared = prepare_photo(opt.image, size, crop, &pixels, &error);
  restore_standard_error(saved_stderr);
  if (prepared && opt.grey) pixels = grey_bytes(pixels);
  if (!prepared) return fail(error);
  const outcome written = write_atomically(opt.output, pixels);
  return written ? 0 : fail(written.error().message);
}
