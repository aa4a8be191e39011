#include "photo/resize.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace classify {

namespace {

// One output sample along an axis: the weighted sum of the source samples
// first .. first + weights.size() - 1.
struct tap {
  int first = 0;
  std::vector<float> weights;
};

// The taps that take `source` samples (from `offset` on) to `target`.
std::vector<tap> axis_taps(int source, int offset, int target) {
  std::vector<tap> taps(static_cast<size_t>(target));
  const double scale = static_cast<double>(source) / target;
  for (int i = 0; i < target; ++i) {
    tap& t = taps[static_cast<size_t>(i)];
    if (scale >= 1.0) {
      // Area average: the source interval [i, i + 1) * scale, each sample
      // weighted by how much of it lies inside.
      const double begin = i * scale, end = (i + 1) * scale;
      t.first = static_cast<int>(begin);
      const int last = std::min(source - 1, static_cast<int>(std::ceil(end)) - 1);
      for (int s = t.first; s <= last; ++s) {
        const double covered = std::min<double>(end, s + 1) - std::max<double>(begin, s);
        t.weights.push_back(static_cast<float>(covered / scale));
      }
    } else {
      // Bilinear between the centres of the two nearest samples, held at
      // the edges.
      const double at = std::clamp((i + 0.5) * scale - 0.5, 0.0, source - 1.0);
      t.first = std::min(static_cast<int>(at), std::max(source - 2, 0));
      const double fraction = at - t.first;
      t.weights = {static_cast<float>(1.0 - fraction)};
      if (source > 1) t.weights.push_back(static_cast<float>(fraction));
    }
    t.first += offset;
  }
  return taps;
}

// The nearest byte, halves rounded up (as std::lround rounds them), clamped
// to 0..255. For 0 <= value < 2^23, value minus its integer part is exact,
// so the comparison with 0.5 decides exactly as lround does.
unsigned char to_byte(float value) {
  if (!(value > 0.0f)) return 0;
  if (value >= 255.0f) return 255;
  const int whole = static_cast<int>(value);
  return static_cast<unsigned char>(whole + (value - static_cast<float>(whole) >= 0.5f ? 1 : 0));
}

}  // namespace

std::vector<unsigned char> crop_and_resize(const rgb_image& image, double crop, int width,
                                           int height) {
  const int crop_w = std::max(1, static_cast<int>(std::lround(image.width * crop)));
  const int crop_h = std::max(1, static_cast<int>(std::lround(image.height * crop)));
  const std::vector<tap> columns = axis_taps(crop_w, (image.width - crop_w) / 2, width);
  const std::vector<tap> rows = axis_taps(crop_h, (image.height - crop_h) / 2, height);
  const size_t stride = static_cast<size_t>(image.width) * 3;

  // Columns first, over only the rows the output needs; then rows.
  const int row_first = rows.front().first;
  const int row_last = rows.back().first + static_cast<int>(rows.back().weights.size()) - 1;
  std::vector<float> across(static_cast<size_t>(row_last - row_first + 1) * width * 3);
  for (int y = row_first; y <= row_last; ++y) {
    const unsigned char* line = image.pixels.data() + static_cast<size_t>(y) * stride;
    float* out = across.data() + static_cast<size_t>(y - row_first) * width * 3;
    for (int x = 0; x < width; ++x) {
      const tap& t = columns[static_cast<size_t>(x)];
      float sum[3] = {0, 0, 0};
      for (size_t k = 0; k < t.weights.size(); ++k) {
        const unsigned char* p = line + (static_cast<size_t>(t.first) + k) * 3;
        for (int c = 0; c < 3; ++c) sum[c] += t.weights[k] * p[c];
      }
      std::copy(sum, sum + 3, out + static_cast<size_t>(x) * 3);
    }
  }
  // Each output row is the weighted sum of its source rows, added one source
  // row at a time in tap order: the same sums, element by element, as
  // adding each element's taps in turn, in a loop the compiler vectorises.
  const size_t row_length = static_cast<size_t>(width) * 3;
  std::vector<unsigned char> pixels(row_length * height);
  std::vector<float> sums(row_length);
  for (int y = 0; y < height; ++y) {
    const tap& t = rows[static_cast<size_t>(y)];
    std::fill(sums.begin(), sums.end(), 0.0f);
    for (size_t k = 0; k < t.weights.size(); ++k) {
      const float weight = t.weights[k];
      const float* source =
          across.data() + (static_cast<size_t>(t.first - row_first) + k) * row_length;
      for (size_t i = 0; i < row_length; ++i) sums[i] += weight * source[i];
    }
    unsigned char* out = pixels.data() + static_cast<size_t>(y) * row_length;
    for (size_t i = 0; i < row_length; ++i) out[i] = to_byte(sums[i]);
  }
  return pixels;
}

}  // namespace classify
