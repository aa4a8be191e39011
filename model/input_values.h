#pragma once
// How a prepared byte becomes a model's float input value: classify's own
// mapping, which the batch tool keeps value for value for the default
// normalization.

#include <cstddef>

namespace classify {

// The value byte b stands for: ((b / 255) - 0.5) * 2 in double precision,
// stored as the nearest float.
float byte_to_value(unsigned char b);

// Maps `count` bytes onto values by byte_to_value, one lookup a byte.
void bytes_to_values(const unsigned char* bytes, size_t count, float* values);

}  // namespace classify
