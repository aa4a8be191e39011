#include "model/input_values.h"

#include <array>

namespace classify {

namespace {

// All 256 values at once: the loader then maps a byte with one lookup.
std::array<float, 256> value_table() {
  std::array<float, 256> table{};
  for (int b = 0; b < 256; ++b) table[b] = byte_to_value(static_cast<unsigned char>(b));
  return table;
}

}  // namespace

float byte_to_value(unsigned char b) {
  // Double precision in exactly this order: done in float, 128 of the 256
  // byte values would come out one unit in the last place off.
  return static_cast<float>(((b / 255.0) - 0.5) * 2.0);
}

void bytes_to_values(const unsigned char* bytes, size_t count, float* values) {
  static const std::array<float, 256> table = value_table();
  for (size_t i = 0; i < count; ++i) values[i] = table[bytes[i]];
}

}  // namespace classify
