#pragma once
// A decoded photograph as the resize takes it: upright, 8-bit sRGB, three
// bytes a pixel, row-major from the top.

#include <cstdint>
#include <vector>

namespace classify {

struct rgb_image {
  int width = 0;
  int height = 0;
  std::vector<unsigned char> pixels;
};

}  // namespace classify
