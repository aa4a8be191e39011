// Every image size prepares: a sweep over widths and heights (1xN, Nx1,
// primes, squares, the common camera sizes and random ones), with and
// without a crop, through the code prepare-input runs. Each output is exactly
// SIZE x SIZE x 3 bytes, all of the image's one colour.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "photo/photo.h"
#include "tests/support/image_support.h"

namespace classify {

namespace {

struct extent {
  int width, height;
};

std::vector<extent> swept_extents() {
  std::vector<extent> sizes;
  for (int n : {1, 2, 3, 4, 7, 8, 9, 15, 16, 17, 31, 223, 224, 225, 447, 448, 449, 1000, 4000}) {
    sizes.push_back({1, n});
    sizes.push_back({n, 1});
  }
  for (int p : {2, 3, 5, 7, 11, 13, 101, 211, 307, 509, 1021}) {
    for (int q : {3, 97, 307}) sizes.push_back({p, q});
  }
  for (int s : {5, 32, 100, 224, 256, 300, 512, 1000}) sizes.push_back({s, s});
  // Shapes that once aborted inside an earlier resize library.
  for (extent e :
       {extent{451, 300}, {512, 341}, {341, 512}, {442, 340}, {798, 327}, {107, 322}, {271, 4}}) {
    sizes.push_back(e);
  }
  // Camera and screen sizes, up to a 12-megapixel phone photograph either way up.
  for (extent e : {extent{640, 480},
                   {800, 600},
                   {1024, 768},
                   {1280, 720},
                   {1920, 1080},
                   {2048, 1536},
                   {3264, 2448},
                   {4032, 3024},
                   {3024, 4032}}) {
    sizes.push_back(e);
  }
  // And a fixed random sample, log-uniform from 1 to 2048 a side.
  std::mt19937 random(20261207);
  std::uniform_real_distribution<double> log_side(0.0, std::log(2048.0));
  for (int i = 0; i < 80; ++i) {
    sizes.push_back({static_cast<int>(std::exp(log_side(random))),
                     static_cast<int>(std::exp(log_side(random)))});
  }
  return sizes;
}

class PhotoSweep : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { use_vips_module(VIPS_MODULE_PATH); }

  // Prepares `name` at every size and crop; every byte must be within
  // `tolerance` of the image's colour.
  void expect_prepares(const std::string& name, extent e, const rgb& colour, int tolerance) {
    const std::pair<photo_size, const char*> runs[] = {
        {{224, 224}, "1"}, {{224, 224}, "0.875"}, {{224, 224}, "0.5"},
        {{1, 1}, "1"},     {{7, 7}, "0.3"},       {{299, 299}, "0.9"},
        {{160, 90}, "1"},  {{1, 300}, "0.6"},     {{300, 1}, "1"}};
    for (const auto& [size, crop] : runs) {
      SCOPED_TRACE(std::to_string(e.width) + "x" + std::to_string(e.height) + " --size " +
                   std::to_string(size.width) + "x" + std::to_string(size.height) + " --crop " +
                   crop);
      std::vector<unsigned char> pixels;
      std::string error;
      ASSERT_TRUE(prepare_photo(dir.file(name), size, std::stod(crop), &pixels, &error)) << error;
      ASSERT_EQ(pixels.size(), static_cast<size_t>(size.width) * size.height * 3);
      int worst = 0;
      for (size_t i = 0; i < pixels.size(); ++i) {
        const int want = i % 3 == 0 ? colour.r : i % 3 == 1 ? colour.g : colour.b;
        worst = std::max(worst, std::abs(pixels[i] - want));
      }
      EXPECT_LE(worst, tolerance);
    }
  }

  scratch_dir dir;
};

TEST_F(PhotoSweep, EverySizePreparesWithAndWithoutCrop) {
  const rgb colour{37, 142, 201};
  for (const extent& e : swept_extents()) {
    const size_t count = static_cast<size_t>(e.width) * e.height;
    dir.write("sweep.ppm", ppm(e.width, e.height, std::vector<rgb>(count, colour)));
    expect_prepares("sweep.ppm", e, colour, 0);
  }
}

// JPEG is decoded at a reduced size where the scale allows (by 2, 4 or 8,
// rounding up), so odd sizes near the multiples of 8 matter there.
TEST_F(PhotoSweep, JpegOfEverySizeDecodesAtReducedSize) {
  const rgb colour{200, 120, 40};
  for (const extent& e : {extent{1, 1},
                          {1, 4000},
                          {4000, 1},
                          {9, 9},
                          {17, 3},
                          {449, 447},
                          {897, 673},
                          {1793, 1345},
                          {2017, 1511},
                          {4031, 3023},
                          {4032, 3024},
                          {3024, 4032},
                          {8001, 2}}) {
    magick(dir, {"-size", std::to_string(e.width) + "x" + std::to_string(e.height),
                 "xc:rgb(200,120,40)", "-quality", "95", "sweep.jpg"});
    expect_prepares("sweep.jpg", e, colour, 2);
  }
}

// Image files the fuzzer found troublesome (a decoder library's leak on a
// damaged AVIF, for one): each is prepared or refused cleanly, in one line.
TEST_F(PhotoSweep, FuzzerFindingsStayHandled) {
  const std::filesystem::path folder =
      std::filesystem::path(CLASSIFY_SOURCE_DIR) / "fuzz/regressions/photo_fuzz";
  int replayed = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    SCOPED_TRACE(entry.path().string());
    std::vector<unsigned char> pixels;
    std::string error;
    if (prepare_photo(entry.path().string(), {24, 24}, 1.0, &pixels, &error)) {
      EXPECT_EQ(pixels.size(), 24u * 24 * 3);
    } else {
      EXPECT_EQ(error.find('\n'), std::string::npos) << error;
      EXPECT_FALSE(error.empty());
    }
    ++replayed;
  }
  EXPECT_GT(replayed, 0);
}

// A photograph cut short is refused, every time, in one line: at its header
// alone, at half its length and without its last byte of pixels, in each
// format libvips reads. libvips' PNM reader once filled what the file lacked
// with zeros, or with memory never written in some runs only, so that the
// same cut file was refused in one run and prepared from garbage in another:
// each cut is prepared several times over.
TEST_F(PhotoSweep, TruncatedPhotographsAreRefusedEveryTime) {
  const format_sweep formats = write_every_format(dir, "all");
  magick(dir, {"all/source.ppm", "all/photo.pfm"});
  magick(dir, {"all/source.ppm", "-depth", "16", "all/deep.ppm"});
  std::vector<std::pair<std::string, std::string>> cuts;  // name, bytes
  int whole = 0;
  for (std::string path : formats.linux) {
    if (path.find("/x-") != std::string::npos) continue;
    if (path == "all/source.ppm") path = "all/photo.pfm";
    if (format_of_file(dir.file(path)) != photo_format::other) continue;
    std::vector<unsigned char> pixels;
    std::string error;
    ASSERT_TRUE(prepare_photo(dir.file(path), {8, 8}, 1.0, &pixels, &error)) << error;
    ++whole;
    const std::string bytes = read_file(dir.file(path));
    const std::string name = path.substr(path.find('/') + 1);
    cuts.emplace_back(name + " at half", bytes.substr(0, bytes.size() / 2));
    const char form = bytes[0] == 'P' ? bytes[1] : '\0';
    if (form >= '1' && form <= '3') {
      // Plain PNM ends with a number and a line end: the last number goes.
      const size_t last = bytes.find_last_of(" \t\r\n", bytes.find_last_not_of(" \t\r\n"));
      cuts.emplace_back(name + " without its last value", bytes.substr(0, last + 1));
    } else if (path.find(".gif") == std::string::npos && path.find(".tiff") == std::string::npos) {
      // GIF ends with a trailer, and TIFF as ImageMagick writes it with its
      // directory's values, neither of them pixels; the others end in pixels.
      cuts.emplace_back(name + " without its last byte", bytes.substr(0, bytes.size() - 1));
    }
  }
  EXPECT_GE(whole, 14);
  for (const char* header :
       {"P1\n12 9\n", "P2\n12 9\n255\n", "P3\n12 9\n255\n", "P4\n12 9\n", "P5\n12 9\n255\n",
        "P5\n12 9\n65535\n", "P6\n12 9\n255\n", "P6\n# made by hand\n12 9\n255\n",
        "PF\n12 9\n-1.0\n", "Pf\n12 9\n-1.0\n"}) {
    cuts.emplace_back(std::string("the header ") + header, header);
  }
  for (const auto& [what, bytes] : cuts) {
    SCOPED_TRACE(what);
    dir.write("cut", bytes);
    for (int run = 0; run < 5; ++run) {
      std::vector<unsigned char> pixels;
      std::string error;
      EXPECT_FALSE(prepare_photo(dir.file("cut"), {8, 8}, 1.0, &pixels, &error));
      EXPECT_EQ(error.rfind(dir.file("cut") + ": ", 0), 0u) << error;
      EXPECT_EQ(error.find('\n'), std::string::npos) << error;
      if (bytes[0] == 'P') {
        EXPECT_NE(error.find("truncated"), std::string::npos) << error;
      }
    }
  }
}

}  // namespace

}  // namespace classify
