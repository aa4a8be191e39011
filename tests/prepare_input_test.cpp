// prepare-input as users run it: output layout, geometry, formats, EXIF
// orientation, colour profiles, transparency and bad input. The test images
// are written by ImageMagick (orientation tags by exiv2), not by the library
// that reads them, so that a fault both share cannot hide.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <filesystem>

#include "tests/support/image_support.h"
#include "tests/support/run_support.h"

namespace classify {

namespace {

run_result prepare(const scratch_dir& dir, const std::vector<std::string>& args) {
  return run_program(PREPARE_INPUT_EXE, args, dir.path);
}

// Prepares `name` at `size` (with --crop `crop`) and returns the bytes.
std::string prepared(const scratch_dir& dir, const std::string& name, int size,
                     const std::string& crop = "1") {
  const run_result r =
      prepare(dir, {"--size", std::to_string(size), "--crop", crop, name, name + ".prepared"});
  EXPECT_EQ(r.status, 0) << name << ": " << r.err;
  const std::string out = read_file(dir.file(name + ".prepared"));
  EXPECT_EQ(out.size(), static_cast<size_t>(size) * size * 3) << name;
  return out;
}

// The files in the folder, so that a failed run can be shown to leave none.
std::vector<std::string> names_in(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

const rgb red{255, 0, 0}, green{0, 255, 0}, blue{0, 0, 255}, white{255, 255, 255};

// Four quadrants of distinct colours, wider than high: a flip, a turn or a
// misplaced crop shows up in every comparison against it.
std::string quadrants_ppm(int width, int height) {
  std::vector<rgb> pixels;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const bool right = x >= width / 2, bottom = y >= height / 2;
      pixels.push_back(bottom ? (right ? rgb{240, 200, 40} : blue) : (right ? green : red));
    }
  }
  return ppm(width, height, pixels);
}

TEST(PrepareInput, WritesSizeBySizeRgbBytes) {
  scratch_dir dir;
  dir.write("wide.ppm", ppm(64, 48, std::vector<rgb>(64 * 48, rgb{0x40, 0x40, 0x40})));
  run_result r = prepare(dir, {"wide.ppm"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_file(dir.file("input.bin")).size(), 150528u);
  r = prepare(dir, {"--size", "32", "wide.ppm", "small.bin"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_file(dir.file("small.bin")), std::string(32 * 32 * 3, '\x40'));
  // WxH for a model of another shape: at the photograph's own size, its
  // bytes as they are, row by row.
  const std::vector<rgb> six = {red, green, blue, white, {1, 2, 3}, {250, 128, 7}};
  dir.write("six.ppm", ppm(3, 2, six));
  r = prepare(dir, {"--size", "3x2", "six.ppm", "six.bin"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_file(dir.file("six.bin")), pixels_of(six));
  r = prepare(dir, {"--size", "7x1", "wide.ppm", "row.bin"});
  EXPECT_EQ(read_file(dir.file("row.bin")), std::string(7 * 3, '\x40'));
}

// --grey: one byte a pixel, each the ITU-R 601 grey of the pixel's R, G and
// B as PIL's "L" rounds it, over every value of each channel and their mixes.
TEST(PrepareInput, GreyBytesAreTheItu601ValuesOfThePixels) {
  scratch_dir dir;
  std::vector<rgb> pixels;
  for (int i = 0; i < 256; ++i) {
    const auto v = static_cast<unsigned char>(i);
    pixels.push_back({v, 0, 0});
    pixels.push_back({0, v, 0});
    pixels.push_back({0, 0, v});
    pixels.push_back({v, v, v});
    pixels.push_back({v, static_cast<unsigned char>(255 - i), static_cast<unsigned char>(i * 7)});
  }
  const int width = 64, height = static_cast<int>(pixels.size()) / width;
  dir.write("all.ppm", ppm(width, height, pixels));
  const std::string size = std::to_string(width) + "x" + std::to_string(height);
  const run_result r = prepare(dir, {"--grey", "--size", size, "all.ppm", "grey.bin"});
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string grey = read_file(dir.file("grey.bin"));
  ASSERT_EQ(grey.size(), pixels.size());
  for (size_t p = 0; p < pixels.size(); ++p) {
    const rgb& c = pixels[p];
    const int want = (19595 * c.r + 38470 * c.g + 7471 * c.b + 32768) >> 16;
    EXPECT_EQ(static_cast<unsigned char>(grey[p]), want) << p;
  }
}

TEST(PrepareInput, UpscalingKeepsCornerColours) {
  scratch_dir dir;
  dir.write("four.ppm", ppm(2, 2, {red, green, blue, white}));
  const std::string out = prepared(dir, "four.ppm", 224);
  ASSERT_EQ(out.size(), 150528u);
  EXPECT_EQ(pixel_at(out, 224, 0, 0), red);
  EXPECT_EQ(pixel_at(out, 224, 223, 0), green);
  EXPECT_EQ(pixel_at(out, 224, 0, 223), blue);
  EXPECT_EQ(pixel_at(out, 224, 223, 223), white);
}

TEST(PrepareInput, CentralCropKeepsTheMiddle) {
  scratch_dir dir;
  // 4x4 of red with a 2x2 centre of distinct colours.
  std::vector<rgb> image(16, red);
  image[5] = green;
  image[6] = blue;
  image[9] = white;
  image[10] = rgb{10, 20, 30};
  dir.write("centre.ppm", ppm(4, 4, image));
  EXPECT_EQ(prepared(dir, "centre.ppm", 2, "0.5"), pixels_of({green, blue, white, {10, 20, 30}}));
}

TEST(PrepareInput, GreyIsExpandedAndTransparencyComposedOntoWhite) {
  scratch_dir dir;
  dir.write("grey.pgm", std::string("P5\n1 1\n255\n\x7b", 12));
  EXPECT_EQ(prepared(dir, "grey.pgm", 1), "\x7b\x7b\x7b");
  // Fully transparent, half transparent and opaque pixels, in colour and in
  // grey with alpha.
  magick(dir, {"-size", "1x1", "xc:rgba(17,34,51,0)", "clear.png"});
  magick(dir, {"-size", "1x1", "xc:rgba(255,0,0,0.5)", "half.png"});
  magick(dir, {"-size", "1x1", "xc:rgba(17,34,51,1)", "opaque.png"});
  magick(dir, {"-size", "1x1", "xc:graya(20%,0.5)", "-define", "png:color-type=4", "greya.png"});
  EXPECT_EQ(prepared(dir, "clear.png", 1), pixels_of({white}));
  EXPECT_LE(mean_abs_diff(prepared(dir, "half.png", 1), pixels_of({{255, 128, 128}})), 1.0);
  EXPECT_EQ(prepared(dir, "opaque.png", 1), pixels_of({{17, 34, 51}}));
  EXPECT_LE(mean_abs_diff(prepared(dir, "greya.png", 1), pixels_of({{153, 153, 153}})), 1.0);
}

TEST(PrepareInput, ReadsThePhotographFormats) {
  scratch_dir dir;
  dir.write("source.ppm", quadrants_ppm(48, 32));
  struct format_case {
    std::string name;
    std::vector<std::string> convert_args;  // between the source and the output name
    // The mean difference per byte allowed from the source's pixels; for
    // CMYK, whose conversion from RGB (ImageMagick's, without a profile)
    // differs from its conversion back (by a press profile), the strongest
    // channel in each quadrant must match instead.
    double tolerance;
  };
  constexpr double cmyk = -1;
  const std::vector<format_case> cases = {
      {"baseline.jpg", {"-quality", "95"}, 3},
      {"progressive.jpg", {"-quality", "95", "-interlace", "JPEG"}, 3},
      {"ycck.jpg", {"-quality", "95", "-colorspace", "CMYK"}, cmyk},
      {"rgb8.png", {}, 0},
      {"rgb16.png", {"-depth", "16", "-define", "png:bit-depth=16"}, 0},
      {"palette.png", {"-define", "png:color-type=3"}, 0},
      {"opaque-alpha.png", {"-alpha", "on", "-define", "png:color-type=6"}, 1},
      // WebP is reduced by libwebp's own scaler while it decodes.
      {"lossless.webp", {"-define", "webp:lossless=true"}, 3},
      {"lossy.webp", {"-quality", "90"}, 6},
      {"first-frame.gif", {"(", "+clone", "-negate", ")"}, 0},
      {"v3.bmp", {}, 0},
      {"v5.bmp", {"-alpha", "on"}, 1},
      {"plain.tiff", {}, 0},
      {"deflate16.tiff", {"-depth", "16", "-compress", "zip"}, 0},
      {"pages.tiff", {"(", "+clone", "-negate", ")", "-adjoin"}, 0},
      {"binary.ppm", {}, 0},
      {"ascii.ppm", {"-compress", "none"}, 0},
      {"photo.heic", {"-quality", "90"}, 8},
      {"photo.avif", {"-quality", "90"}, 8},
  };
  const std::string expected = prepared(dir, "source.ppm", 8);
  const auto quadrant_hues = [](const std::string& out) {
    return strongest_channels(pixels_of({pixel_at(out, 8, 1, 1), pixel_at(out, 8, 6, 1),
                                         pixel_at(out, 8, 1, 6), pixel_at(out, 8, 6, 6)}));
  };
  for (const format_case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = {"source.ppm"};
    args.insert(args.end(), c.convert_args.begin(), c.convert_args.end());
    args.push_back(c.name);
    magick(dir, args);
    const std::string out = prepared(dir, c.name, 8);
    if (c.tolerance == cmyk) {
      EXPECT_EQ(quadrant_hues(out), quadrant_hues(expected));
    } else {
      EXPECT_LE(mean_abs_diff(out, expected), c.tolerance);
    }
  }
  // A CMYK JPEG without the YCC transform, with its press profile embedded
  // (ImageMagick writes CMYK JPEGs as YCCK only).
  run_program("/usr/bin/vips",
              {"icc_transform", "source.ppm", "cmyk.v", "cmyk", "--input-profile", "srgb"},
              dir.path);
  run_program("/usr/bin/vips", {"jpegsave", "cmyk.v", "cmyk.jpg", "--Q", "95"}, dir.path);
  EXPECT_EQ(quadrant_hues(prepared(dir, "cmyk.jpg", 8)), quadrant_hues(expected));
  // Grey images of every depth come out as the same grey in R, G and B.
  magick(dir, {"source.ppm", "-colorspace", "Gray", "grey.pgm"});
  const std::string grey = prepared(dir, "grey.pgm", 8);
  for (const char* name : {"grey8.png", "grey16.png", "grey.jpg", "grey.tiff"}) {
    SCOPED_TRACE(name);
    magick(dir, {"grey.pgm", "-define",
                 std::string("png:bit-depth=") + (name == std::string("grey16.png") ? "16" : "8"),
                 "-quality", "98", name});
    EXPECT_LE(mean_abs_diff(prepared(dir, name, 8), grey), 2.0);
  }
}

// EXIF orientation n says how the stored pixels are to be turned for display;
// storing the upright picture turned the other way and tagging it must give
// the upright picture back, with the crop taken from the upright picture.
TEST(PrepareInput, ExifOrientationIsAppliedBeforeCropAndResize) {
  scratch_dir dir;
  dir.write("upright.ppm", quadrants_ppm(64, 40));
  magick(dir, {"upright.ppm", "-quality", "95", "upright.jpg"});
  const std::string upright = prepared(dir, "upright.jpg", 16, "0.75");
  // What turns the upright picture into the stored one, for tags 1 to 8.
  const std::vector<std::vector<std::string>> stored_as = {{},
                                                           {"-flop"},
                                                           {"-rotate", "180"},
                                                           {"-flip"},
                                                           {"-transpose"},
                                                           {"-rotate", "270"},
                                                           {"-transverse"},
                                                           {"-rotate", "90"}};
  for (int tag = 1; tag <= 8; ++tag) {
    SCOPED_TRACE("orientation " + std::to_string(tag));
    const std::string name = "tag" + std::to_string(tag) + ".jpg";
    std::vector<std::string> args = {"upright.ppm"};
    args.insert(args.end(), stored_as[tag - 1].begin(), stored_as[tag - 1].end());
    args.insert(args.end(), {"-quality", "95", name});
    magick(dir, args);
    const std::string untagged = prepared(dir, name, 16, "0.75");
    set_exif_orientation(dir, name, tag);
    EXPECT_LE(mean_abs_diff(prepared(dir, name, 16, "0.75"), upright), 3.0);
    // The test has power: without the tag, every turned picture differs.
    if (tag != 1) {
      EXPECT_GE(mean_abs_diff(untagged, upright), 20.0);
    }
  }
}

TEST(PrepareInput, EmbeddedColourProfileIsConvertedToSrgb) {
  scratch_dir dir;
  dir.write("srgb.ppm", quadrants_ppm(32, 32));
  // The same picture with its pixels in Adobe RGB and that profile embedded,
  // and the same pixels with the profile removed.
  magick(dir, {"srgb.ppm", "-profile", icc_profile("sRGB.icc"), "-profile",
               icc_profile("compatibleWithAdobeRGB1998.icc"), "adobe.png"});
  magick(dir, {"adobe.png", "+profile", "*", "stripped.png"});
  // At the source's own size, so that no resize blends the quadrants.
  const std::string srgb = prepared(dir, "srgb.ppm", 32);
  EXPECT_LE(mean_abs_diff(prepared(dir, "adobe.png", 32), srgb), 1.0);
  EXPECT_GE(mean_abs_diff(prepared(dir, "stripped.png", 32), srgb), 8.0);
}

TEST(PrepareInput, BadInputFailsCleanlyAndLeavesNothingBehind) {
  scratch_dir dir;
  magick(dir, {"-size", "64x64", "plasma:", "good.png"});
  magick(dir, {"-size", "64x64", "plasma:", "-quality", "90", "whole.jpg"});
  const std::string good = read_file(dir.file("good.png"));
  const std::string jpeg = read_file(dir.file("whole.jpg"));
  dir.write("truncated.png", good.substr(0, good.size() / 2));
  dir.write("truncated.jpg", jpeg.substr(0, jpeg.size() / 2));
  dir.write("text.png", "this is not an image\n");
  dir.write("empty.jpg", "");
  dir.write("vector.svg", "<svg xmlns='http://www.w3.org/2000/svg' width='9' height='9'/>\n");
  dir.write("huge.png", png_declaring(65535, 65535));
  // An AVIF whose first AV1 unit is damaged: the AV1 decoder complains on
  // standard error itself, which must not reach the user's.
  magick(dir, {"-size", "32x32", "plasma:", "good.avif"});
  std::string avif = read_file(dir.file("good.avif"));
  const size_t media = avif.find("mdat");
  ASSERT_NE(media, std::string::npos);
  avif[media + 4] = '\0';
  dir.write("damaged.avif", avif);
  ASSERT_EQ(mkdir(dir.file("folder.png").c_str(), 0755), 0);
  struct bad_case {
    std::vector<std::string> args;
    std::string message;
    int status = 1;  // 2: bad usage
  };
  const std::vector<bad_case> cases = {
      {{"missing.png"}, "missing.png: No such file or directory"},
      {{"folder.png"}, "folder.png: not a regular file"},
      {{"text.png"}, "text.png: not an image"},
      {{"empty.jpg"}, "empty.jpg: not an image"},
      {{"vector.svg"}, "vector.svg: not an image"},
      {{"truncated.png"}, "truncated.png: cannot decode"},
      {{"truncated.jpg"}, "truncated.jpg: cannot decode"},
      {{"damaged.avif"}, "damaged.avif: cannot decode"},
      {{"huge.png"}, "huge.png: image of 65535x65535 pixels is too large"},
      {{"good.png", "no-such-folder/out.bin"}, "no-such-folder/out.bin: cannot create"},
      {{"--size", "0", "good.png"}, "--size 0: not N or WxH", 2},
      {{"--size", "100000", "good.png"}, "--size 100000: not N or WxH", 2},
      {{"--size", "many", "good.png"}, "--size many: not N or WxH", 2},
      {{"--size", "0x5", "good.png"}, "--size 0x5: not N or WxH", 2},
      {{"--size", "5x", "good.png"}, "--size 5x: not N or WxH", 2},
      {{"--size", "x5", "good.png"}, "--size x5: not N or WxH", 2},
      {{"--size", "4097x1", "good.png"}, "--size 4097x1: not N or WxH", 2},
      {{"--size", "1x4097", "good.png"}, "--size 1x4097: not N or WxH", 2},
      {{"--size", "3x2x1", "good.png"}, "--size 3x2x1: not N or WxH", 2},
      {{"--crop", "0", "good.png"}, "--crop 0: not a fraction above 0 and at most 1", 2},
      {{"--crop", "1.5", "good.png"}, "--crop 1.5: not a fraction above 0 and at most 1", 2},
      {{"--crop", "half", "good.png"}, "--crop half: not a fraction", 2},
      {{"--bogus", "good.png"}, "unknown option --bogus", 2},
      {{"good.png", "out.bin", "third"}, "unexpected argument third", 2},
      {{"--size"}, "option --size needs a value", 2},
      {{}, "no photograph given", 2},
  };
  const std::vector<std::string> before = names_in(dir.path);
  for (const bad_case& c : cases) {
    SCOPED_TRACE(c.message);
    const auto started = std::chrono::steady_clock::now();
    const run_result r = prepare(dir, c.args);
    // Refused from the header: a hostile size is never allocated or decoded.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("prepare-input: " + c.message, 0), 0u) << r.err;
    // One line, and for bad usage a hint to the help.
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), c.status == 2 ? 2 : 1) << r.err;
    if (c.status == 2) {
      EXPECT_NE(r.err.find("\nTry 'prepare-input --help'.\n"), std::string::npos);
    }
    EXPECT_EQ(names_in(dir.path), before);
  }
}

TEST(PrepareInput, FailedRunKeepsAnEarlierOutputIntact) {
  scratch_dir dir;
  dir.write("input.bin", "earlier result");
  dir.write("broken.png", "\x89PNG\r\n\x1a\n broken");
  EXPECT_EQ(prepare(dir, {"broken.png"}).status, 1);
  EXPECT_EQ(read_file(dir.file("input.bin")), "earlier result");
}

TEST(PrepareInput, HelpAndVersion) {
  scratch_dir dir;
  const run_result help = prepare(dir, {"--help"});
  EXPECT_EQ(help.status, 0);
  for (const char* word :
       {"--size", "--crop", "EXIF", "white", "HEIF", "WxH", "above 0 and at most 1"}) {
    EXPECT_NE(help.out.find(word), std::string::npos) << word;
  }
  EXPECT_EQ(help.out.find("[0 - 1]"), std::string::npos) << help.out;
  const run_result version = prepare(dir, {"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("prepare-input ", 0), 0u) << version.out;
}

}  // namespace

}  // namespace classify
