#pragma once
// The files a model carries in the zip archive appended to it (its label
// files, named by its metadata). The archive is untrusted input.

#include <cstddef>
#include <cstdint>
#include <string>

namespace classify {

// The largest associated file the tool reads: class names fill far less.
inline constexpr size_t max_associated_file_size = size_t{64} << 20;

// The contents of the file `name` in the zip archive appended to the model in
// `bytes`; false, with `error` naming the problem, when there is no archive,
// no such file, or it cannot be read whole (damaged, encrypted, or larger
// than max_associated_file_size).
bool read_associated_file(const uint8_t* bytes, size_t size, const std::string& name,
                          std::string* contents, std::string* error);

}  // namespace classify
