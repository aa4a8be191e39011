// prepare-input: turns a photograph into the "input.bin" that classify reads:
// SIZE x SIZE pixels of 8-bit R, G, B, row-major, from the centre crop of the
// upright, sRGB photograph (see photo.h).
#include <CLI/CLI.hpp>
#include <iostream>
#include <string>
#include <vector>

#include "atomic_file.h"
#include "memory.h"
#include "photo.h"
#include "platform.h"

#ifndef CLASSIFY_VERSION
#define CLASSIFY_VERSION "unknown"
#endif

namespace {

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

}  // namespace

int main(int argc, char** argv) {
  prepare_memory();
  options opt;
  CLI::App app{
      "Prepares a photograph for classify: decodes it (JPEG, PNG, WebP, HEIF/AVIF, GIF's first\n"
      "frame, TIFF's first page, BMP, PNM), turns it upright by its EXIF orientation, converts\n"
      "it to sRGB by its colour profile, composes transparent pixels onto white, crops its\n"
      "centre, resizes it to SIZE x SIZE and writes the pixels row-major as R, G, B bytes.",
      "prepare-input"};
  app.add_option("IMAGE", opt.image, "the photograph to prepare")->required();
  app.add_option("OUTPUT", opt.output, "the file to write")->capture_default_str();
  app.add_option("--size", opt.size, "side of the square output in pixels")
      ->capture_default_str()
      ->check(CLI::Range(1, max_output_side));
  app.add_option("--crop", opt.crop, "fraction of each side kept by the central crop")
      ->capture_default_str()
      ->check(CLI::Range(0.0, 1.0));
  app.set_version_flag("--version", std::string("prepare-input ") + CLASSIFY_VERSION);
  std::vector<std::string> arguments = program_arguments(argc, argv);
  std::vector<char*> utf8_argv;
  for (std::string& argument : arguments) utf8_argv.push_back(argument.data());
  try {
    app.parse(static_cast<int>(utf8_argv.size()), utf8_argv.data());
  } catch (const CLI::Success& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    return fail(e.what());
  }
  if (!(opt.crop > 0.0)) return fail("--crop must be above 0 and at most 1");

  std::string error;
  std::vector<unsigned char> pixels;
  // Decoders deep inside the libraries (AV1's, for one) print their own
  // complaints about a damaged file to standard error; the tool says in one
  // line what failed, so theirs go to the null device while it decodes.
  const int saved_stderr = divert_standard_error();
  const bool prepared = prepare_photo(opt.image, opt.size, opt.crop, &pixels, &error);
  restore_standard_error(saved_stderr);
  if (!prepared || !write_atomically(opt.output, pixels, &error)) return fail(error);
  return 0;
}
