#pragma once
// Test images: pixels written by hand (PPM) or by ImageMagick, orientation
// tags set by exiv2, and comparisons of prepared pixels.

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "tests/support/run_support.h"

namespace classify {

struct rgb {
  unsigned char r, g, b;
};
bool operator==(const rgb& a, const rgb& b);
std::ostream& operator<<(std::ostream& os, const rgb& c);

// The R, G, B bytes of the pixels, in order.
std::string pixels_of(const std::vector<rgb>& colours);
// The pixel at (x, y) of a `size` x `size` prepared output.
rgb pixel_at(const std::string& out, int size, int x, int y);
// A binary PPM file of the pixels, row-major.
std::string ppm(int width, int height, const std::vector<rgb>& pixels);
// The mean absolute difference per byte; a huge value when the sizes differ.
double mean_abs_diff(const std::string& a, const std::string& b);

// For each pixel, the index (0, 1 or 2) of its strongest channel.
std::string strongest_channels(const std::string& pixels);

// Runs ImageMagick's convert with `args` in `dir`; a failure fails the test.
void magick(const scratch_dir& dir, const std::vector<std::string>& args);
// Sets the EXIF orientation tag (1 to 8) of the JPEG `name` in `dir` with exiv2.
void set_exif_orientation(const scratch_dir& dir, const std::string& name, int tag);
// The path of a colour profile from Debian's icc-profiles-free.
std::string icc_profile(const std::string& name);
// A PNG file whose header declares `width` x `height` RGB pixels over a few
// bytes of image data.
std::string png_declaring(uint32_t width, uint32_t height);

// Headless Chromium's screenshot of the page `page` in `dir`, `width` x
// `height` pixels, as the PNG file `shot` there; what Chromium said.
inline const char chromium_path[] = "/usr/bin/chromium";
run_result browser_screenshot(const scratch_dir& dir, const std::string& page,
                              const std::string& shot, int width, int height);

// The pixels of the image `png` in `dir` within `fuzz` (ImageMagick's, as
// "8%") of `colour` (as "rgb(230,20,20)").
double pixels_near(const scratch_dir& dir, const std::string& png, const std::string& colour,
                   const std::string& fuzz);

// Writes into the folder `folder` of `dir` (made if need be) a small picture
// in every format and variant the tools read, named by it (BMP in each of its
// header versions, PNM in its six forms), and files a walk must pass over:
// text that begins as BMP, a file that stops inside a BMP's header, a BMP
// header of a size no version has, a video, a sidecar, an empty file, a
// WAV and a PDF. The paths of the pictures, relative to `dir`, sorted:
// `linux` all of them, `windows` the JPEG, PNG and BMP ones.
struct format_sweep {
  std::vector<std::string> linux;
  std::vector<std::string> windows;
};
format_sweep write_every_format(const scratch_dir& dir, const std::string& folder);

}  // namespace classify
