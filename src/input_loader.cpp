#include "src/input_loader.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <limits>
#include <vector>

#include "model/input_values.h"

namespace classify {

namespace {

void report(const std::string& path, const std::string& what) {
  std::cerr << "classify: " << path << ": " << what << "\n";
}

// Opening a FIFO or a device for reading can block forever or read without
// end, and a directory opens but cannot be read: only regular files are taken.
bool is_regular_file(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    report(path, std::strerror(errno));
    return false;
  }
  if (S_ISDIR(info.st_mode)) {
    report(path, "is a directory, not an input file");
    return false;
  }
  if (!S_ISREG(info.st_mode)) {
    report(path, "is not a regular file");
    return false;
  }
  return true;
}

}  // namespace

int32_t get_file_size(std::string path) {
  std::ifstream file(path, std::ios::binary);
  // An unopened stream reports -1 for both positions, so the length is 0.
  const std::streamoff start = file.tellg();
  file.seekg(0, std::ios::end);
  const std::streamoff end = file.tellg();
  file.close();
  const std::streamoff length = end - start;
  // Positions are kept 64 bits wide so that a file of 2 GiB or more is seen
  // as such instead of wrapping into a small or negative count.
  if (length > std::numeric_limits<int32_t>::max()) return -1;
  return static_cast<int32_t>(length);
}

float* load_input(std::string path, int32_t* count) {
  *count = 0;
  if (!is_regular_file(path)) return nullptr;
  const int32_t n = get_file_size(path);
  if (n < 0) {
    report(path, "is 2 GiB or larger; input files must be smaller than 2 GiB");
    return nullptr;
  }

  std::vector<char> bytes(static_cast<size_t>(n));
  std::ifstream fin(path, std::ios::binary);
  if (!fin) {
    report(path, std::string("cannot be opened: ") + std::strerror(errno));
    return nullptr;
  }
  fin.read(bytes.data(), n);
  const bool shrank = fin.gcount() != n;
  const bool grew = !shrank && fin.peek() != std::ifstream::traits_type::eof();
  fin.close();
  if (shrank || grew) {
    report(path, "changed while it was being read");
    return nullptr;
  }

  // At least one element, so that success is never null, even for an empty
  // file: a null result then always means failure.
  auto* values = static_cast<float*>(std::calloc(std::max<size_t>(n, 1), sizeof(float)));
  if (values == nullptr) {
    report(path, "no memory for " + std::to_string(n) + " input values");
    return nullptr;
  }
  bytes_to_values(reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<size_t>(n),
                  values);
  *count = n;
  return values;
}

}  // namespace classify
