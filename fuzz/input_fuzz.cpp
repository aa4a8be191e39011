// Fuzzes the input loader over file contents: every byte string must load
// into exactly one value per byte, each between -1 and 1.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz/scratch_file.h"
#include "model/input_values.h"
#include "src/input_loader.h"

using namespace classify;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& path = write_scratch_file(data, size);

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
