// Fuzzes the input loader over file contents: every byte string must load
// into exactly one value per byte, each between -1 and 1.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "input_loader.h"

namespace {

std::string scratch_file() {
  static const std::string path = [] {
    char name[] = "/tmp/input-fuzz-XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0) std::abort();
    close(fd);
    return std::string(name);
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = scratch_file();
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, file) != size) std::abort();
  std::fclose(file);

  int32_t count = -1;
  float* values = load_input(path, &count);
  if (values == nullptr || count != static_cast<int32_t>(size)) std::abort();
  for (size_t i = 0; i < size; ++i) {
    if (!(values[i] >= -1.0f && values[i] <= 1.0f) || values[i] != byte_to_value(data[i])) {
      std::abort();
    }
  }
  std::free(values);
  return 0;
}
