#include "tests/support/image_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <utility>
#include <vector>

namespace classify {

bool operator==(const rgb& a, const rgb& b) { return a.r == b.r && a.g == b.g && a.b == b.b; }
std::ostream& operator<<(std::ostream& os, const rgb& c) {
  return os << "(" << int{c.r} << "," << int{c.g} << "," << int{c.b} << ")";
}

std::string pixels_of(const std::vector<rgb>& colours) {
  std::string bytes;
  for (const rgb& c : colours)
    bytes += {static_cast<char>(c.r), static_cast<char>(c.g), static_cast<char>(c.b)};
  return bytes;
}

rgb pixel_at(const std::string& out, int size, int x, int y) {
  const size_t at = (static_cast<size_t>(y) * size + x) * 3;
  if (at + 2 >= out.size()) return {0, 0, 0};
  return {static_cast<unsigned char>(out[at]), static_cast<unsigned char>(out[at + 1]),
          static_cast<unsigned char>(out[at + 2])};
}

std::string ppm(int width, int height, const std::vector<rgb>& pixels) {
  return "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n" +
         pixels_of(pixels);
}

double mean_abs_diff(const std::string& a, const std::string& b) {
  if (a.size() != b.size() || a.empty()) return std::numeric_limits<double>::infinity();
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    sum += std::abs(static_cast<unsigned char>(a[i]) - static_cast<unsigned char>(b[i]));
  }
  return sum / static_cast<double>(a.size());
}

std::string strongest_channels(const std::string& pixels) {
  std::string strongest;
  for (size_t i = 0; i + 2 < pixels.size(); i += 3) {
    const auto* p = reinterpret_cast<const unsigned char*>(pixels.data() + i);
    strongest += static_cast<char>('0' + (p[0] >= p[1] && p[0] >= p[2] ? 0 : p[1] >= p[2] ? 1 : 2));
  }
  return strongest;
}

namespace {

void run_tool(const scratch_dir& dir, const std::string& tool,
              const std::vector<std::string>& args) {
  const run_result r = run_program(tool, args, dir.path);
  std::string line;
  for (const std::string& a : args) line += " " + a;
  EXPECT_EQ(r.status, 0) << tool << line << ": " << r.err;
}

uint32_t crc32_of(const std::string& bytes) {
  uint32_t crc = 0xffffffffu;
  for (const char c : bytes) {
    crc ^= static_cast<unsigned char>(c);
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
  }
  return crc ^ 0xffffffffu;
}

std::string big_endian(uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
          static_cast<char>(v)};
}

std::string png_chunk(const std::string& type, const std::string& data) {
  return big_endian(static_cast<uint32_t>(data.size())) + type + data +
         big_endian(crc32_of(type + data));
}

}  // namespace

void magick(const scratch_dir& dir, const std::vector<std::string>& args) {
  run_tool(dir, "/usr/bin/convert", args);
}

void set_exif_orientation(const scratch_dir& dir, const std::string& name, int tag) {
  run_tool(dir, "/usr/bin/exiv2",
           {"-M", "set Exif.Image.Orientation Short " + std::to_string(tag), name});
}

std::string icc_profile(const std::string& name) { return "/usr/share/color/icc/" + name; }

std::string png_declaring(uint32_t width, uint32_t height) {
  // 8-bit RGB, deflate, no filter, no interlace; then a zlib stream of a
  // few bytes and the end.
  const std::string header =
      big_endian(width) + big_endian(height) + std::string("\x08\x02\x00\x00\x00", 5);
  const std::string data("\x78\x9c\x63\x60\x00\x00\x00\x02\x00\x01", 10);
  return std::string("\x89PNG\r\n\x1a\n", 8) + png_chunk("IHDR", header) + png_chunk("IDAT", data) +
         png_chunk("IEND", "");
}

format_sweep write_every_format(const scratch_dir& dir, const std::string& folder) {
  std::filesystem::create_directories(dir.file(folder));
  const std::string source = folder + "/source.ppm";
  magick(dir, {"-size", "12x9", "plasma:fractal", "-seed", "3", source});
  // Name, then what ImageMagick is told: a format prefix or options.
  const std::vector<std::pair<std::string, std::vector<std::string>>> pictures = {
      {"bmp2.bmp", {"BMP2:"}},
      {"bmp3.bmp", {"BMP3:"}},
      {"bmp4.bmp", {"BMP:", "-define", "bmp:format=bmp4"}},
      {"bmp5.bmp", {"BMP:"}},
      {"cmyk.jpg", {"", "-colorspace", "CMYK"}},
      {"grey.png", {"", "-colorspace", "Gray"}},
      {"photo.avif", {""}},
      {"photo.gif", {""}},
      {"photo.heic", {""}},
      {"photo.jpg", {""}},
      {"photo.png", {""}},
      {"photo.tiff", {""}},
      {"photo.webp", {""}},
      {"pnm1.pbm", {"", "-compress", "none"}},
      {"pnm2.pgm", {"", "-compress", "none"}},
      {"pnm3.ppm", {"", "-compress", "none"}},
      {"pnm4.pbm", {""}},
      {"pnm5.pgm", {""}},
  };
  format_sweep sweep;
  for (const auto& [name, how] : pictures) {
    std::vector<std::string> args = {source};
    args.insert(args.end(), how.begin() + 1, how.end());
    args.push_back(how.front() + folder + "/" + name);
    magick(dir, args);
    const std::string path = folder + "/" + name;
    sweep.linux.push_back(path);
    const std::string ending = name.substr(name.find('.'));
    if (ending == ".bmp" || ending == ".jpg" || ending == ".png") sweep.windows.push_back(path);
  }
  sweep.linux.push_back(source);
  std::sort(sweep.linux.begin(), sweep.linux.end());
  std::sort(sweep.windows.begin(), sweep.windows.end());
  // What a walk passes over.
  const std::string bmp = read_file(dir.file(folder + "/bmp3.bmp"));
  dir.write(folder + "/x-cut.bmp", bmp.substr(0, 17));
  std::string odd_header = bmp;
  odd_header[14] = 99;
  dir.write(folder + "/x-odd-header.bmp", odd_header);
  dir.write(folder + "/x-notes.txt", "BM is not a bitmap, and neither is this line\n");
  dir.write(folder + "/x-clip.mp4", std::string("\0\0\0\x18"
                                                "ftypisom",
                                                12) +
                                        std::string(20, 'v'));
  dir.write(folder + "/x-photo.jpg.xmp", "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"/>\n");
  dir.write(folder + "/x-empty.jpg", "");
  dir.write(folder + "/x-sound.wav",
            std::string("RIFF\x24\0\0\0WAVEfmt ", 16) + std::string(28, '\0'));
  dir.write(folder + "/x-page.pdf", "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n");
  return sweep;
}

run_result browser_screenshot(const scratch_dir& dir, const std::string& page,
                              const std::string& shot, int width, int height) {
  return run_program(chromium_path,
                     {"--headless", "--no-sandbox", "--disable-gpu",
                      "--disable-background-networking", "--disable-component-update",
                      "--disable-sync", "--no-first-run", "--user-data-dir=" + dir.file("profile"),
                      "--window-size=" + std::to_string(width) + "," + std::to_string(height),
                      "--screenshot=" + dir.file(shot), "file://" + dir.file(page)},
                     dir.path);
}

double pixels_near(const scratch_dir& dir, const std::string& png, const std::string& colour,
                   const std::string& fuzz) {
  // The colour's pixels made white and every other one black: their count is
  // the mean grey level times the image's area.
  const run_result count = run_program(
      "/usr/bin/convert",
      {dir.file(png), "-fuzz", fuzz, "-fill", "black", "+opaque", colour, "-fill", "white",
       "-opaque", colour, "-colorspace", "Gray", "-format", "%[fx:mean*w*h]", "info:"},
      dir.path);
  return std::stod(count.out);
}

}  // namespace classify
