// Fuzzes the interpreter set-up over model bytes: the model check, then the
// library's model parsing, interpreter creation, tensor allocation and the
// lookup of the named tensors.
#include <cstddef>
#include <cstdint>

#include "tests/support/setup_probe.h"

using namespace classify;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  probe_set_up(data, size);
  return 0;
}
