// prepare-input: output layout, resizing, cropping, formats and bad input.
#include <gtest/gtest.h>
#include <stb_image_write.h>
#include <sys/stat.h>

#include <filesystem>

#include "support/run_support.h"

namespace {

struct rgb {
  unsigned char r, g, b;
};

std::string pixels_of(const std::vector<rgb>& colours) {
  std::string bytes;
  for (const rgb& c : colours)
    bytes += {static_cast<char>(c.r), static_cast<char>(c.g), static_cast<char>(c.b)};
  return bytes;
}

rgb pixel_at(const std::string& out, int size, int x, int y) {
  const size_t at = (static_cast<size_t>(y) * size + x) * 3;
  return {static_cast<unsigned char>(out[at]), static_cast<unsigned char>(out[at + 1]),
          static_cast<unsigned char>(out[at + 2])};
}

bool operator==(const rgb& a, const rgb& b) { return a.r == b.r && a.g == b.g && a.b == b.b; }
std::ostream& operator<<(std::ostream& os, const rgb& c) {
  return os << "(" << int{c.r} << "," << int{c.g} << "," << int{c.b} << ")";
}

void write_png(const std::string& path, int w, int h, int comp, const std::string& pixels) {
  ASSERT_NE(stbi_write_png(path.c_str(), w, h, comp, pixels.data(), w * comp), 0);
}

run_result prepare(const scratch_dir& dir, const std::vector<std::string>& args) {
  return run_program(PREPARE_INPUT_EXE, args, dir.path);
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

TEST(PrepareInput, WritesSizeBySizeRgbBytes) {
  scratch_dir dir;
  write_png(dir.file("wide.png"), 64, 48, 3, std::string(64 * 48 * 3, '\x40'));
  run_result r = prepare(dir, {"wide.png"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_file(dir.file("input.bin")).size(), 150528u);
  r = prepare(dir, {"--size", "32", "wide.png", "small.bin"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_file(dir.file("small.bin")), std::string(32 * 32 * 3, '\x40'));
}

TEST(PrepareInput, UpscalingKeepsCornerColours) {
  scratch_dir dir;
  write_png(dir.file("four.png"), 2, 2, 3, pixels_of({red, green, blue, white}));
  const run_result r = prepare(dir, {"four.png"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string out = read_file(dir.file("input.bin"));
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
  write_png(dir.file("centre.png"), 4, 4, 3, pixels_of(image));
  const run_result r = prepare(dir, {"--crop", "0.5", "--size", "2", "centre.png", "out.bin"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_file(dir.file("out.bin")), pixels_of({green, blue, white, rgb{10, 20, 30}}));
}

TEST(PrepareInput, GreyIsExpandedAndAlphaDropped) {
  scratch_dir dir;
  write_png(dir.file("grey.png"), 1, 1, 1, "\x7b");
  write_png(dir.file("alpha.png"), 1, 1, 4, std::string("\x11\x22\x33\x00", 4));
  ASSERT_EQ(prepare(dir, {"--size", "1", "grey.png", "grey.bin"}).status, 0);
  ASSERT_EQ(prepare(dir, {"--size", "1", "alpha.png", "alpha.bin"}).status, 0);
  EXPECT_EQ(read_file(dir.file("grey.bin")), "\x7b\x7b\x7b");
  EXPECT_EQ(read_file(dir.file("alpha.bin")), "\x11\x22\x33");
}

TEST(PrepareInput, ReadsEveryListedFormat) {
  scratch_dir dir;
  const std::string blue_3x2 = pixels_of(std::vector<rgb>(6, rgb{0, 0, 200}));
  write_png(dir.file("a.png"), 3, 2, 3, blue_3x2);
  ASSERT_NE(stbi_write_bmp(dir.file("a.bmp").c_str(), 3, 2, 3, blue_3x2.data()), 0);
  ASSERT_NE(stbi_write_tga(dir.file("a.tga").c_str(), 3, 2, 3, blue_3x2.data()), 0);
  ASSERT_NE(stbi_write_jpg(dir.file("a.jpg").c_str(), 3, 2, 3, blue_3x2.data(), 95), 0);
  dir.write("a.ppm", "P6\n3 2\n255\n" + blue_3x2);
  // A 1x1 GIF whose one pixel takes palette entry 0, which is (0,0,200).
  dir.write("a.gif", std::string("GIF89a\x01\x00\x01\x00\x80\x00\x00\x00\x00\xc8\x00\x00\x00"
                                 ",\x00\x00\x00\x00\x01\x00\x01\x00\x00\x02\x02\x44\x01\x00;",
                                 35));
  for (const char* name : {"a.png", "a.bmp", "a.tga", "a.ppm", "a.gif", "a.jpg"}) {
    SCOPED_TRACE(name);
    const run_result r = prepare(dir, {"--size", "4", name, "out.bin"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string out = read_file(dir.file("out.bin"));
    ASSERT_EQ(out.size(), 48u);
    const rgb centre = pixel_at(out, 4, 2, 2);
    // JPEG is lossy; the lossless formats give the colour exactly.
    EXPECT_LE(centre.r, 8);
    EXPECT_LE(centre.g, 8);
    EXPECT_NEAR(centre.b, 200, 8);
    if (std::string(name) != "a.jpg") {
      EXPECT_EQ(centre, (rgb{0, 0, 200}));
    }
  }
}

TEST(PrepareInput, BadInputFailsCleanlyAndLeavesNothingBehind) {
  scratch_dir dir;
  write_png(dir.file("good.png"), 8, 8, 3, std::string(8 * 8 * 3, '\x55'));
  const std::string good = read_file(dir.file("good.png"));
  dir.write("truncated.png", good.substr(0, good.size() / 2));
  dir.write("text.png", "this is not an image\n");
  dir.write("empty.jpg", "");
  ASSERT_EQ(mkdir(dir.file("folder.png").c_str(), 0755), 0);
  struct bad_case {
    std::vector<std::string> args;
    std::string message;
  };
  const std::vector<bad_case> cases = {
      {{"missing.png"}, "missing.png: No such file or directory"},
      {{"folder.png"}, "folder.png: not a regular file"},
      {{"text.png"}, "text.png: not an image"},
      {{"empty.jpg"}, "empty.jpg: not an image"},
      {{"truncated.png"}, "truncated.png: cannot decode"},
      {{"--size", "0", "good.png"}, "--size"},
      {{"--size", "100000", "good.png"}, "--size"},
      {{"--size", "many", "good.png"}, "--size"},
      {{"--crop", "0", "good.png"}, "--crop"},
      {{"--crop", "1.5", "good.png"}, "--crop"},
      {{}, "IMAGE"},
      {{"good.png", "no-such-folder/out.bin"}, "no-such-folder/out.bin: cannot create"},
  };
  const std::vector<std::string> before = names_in(dir.path);
  for (const bad_case& c : cases) {
    SCOPED_TRACE(c.message);
    const run_result r = prepare(dir, c.args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("prepare-input: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
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
  EXPECT_NE(help.out.find("--size"), std::string::npos);
  EXPECT_NE(help.out.find("--crop"), std::string::npos);
  const run_result version = prepare(dir, {"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("prepare-input ", 0), 0u) << version.out;
}

}  // namespace
