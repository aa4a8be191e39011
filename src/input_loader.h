#pragma once
// Reads the prepared input file: one unsigned byte per input value, mapped
// onto single-precision values between -1 and 1.

#include <cstddef>
#include <cstdint>
#include <string>

namespace classify {

// The file's length in bytes; 0 when it cannot be opened, and -1 when it is
// 2 GiB or longer, past what a signed 32-bit count can hold.
int32_t get_file_size(std::string path);

// Reads the file at `path` and returns a zero-filled heap array (calloc) of
// one value per byte, writing the element count through `count`. The caller
// owns the array. On failure (missing, not a regular file, unreadable, 2 GiB
// or longer, changed while being read) a line on standard error says why, the
// count is 0 and the result is null. An empty file gives a count of 0 and a
// non-null array that holds no values.
float* load_input(std::string path, int32_t* count);

}  // namespace classify
