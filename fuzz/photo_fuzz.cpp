// Fuzzes photograph preparation over file contents: any bytes, taken as an
// image file, go through format detection, decoding, orientation, colour
// conversion, crop and resize. Each input either fails cleanly or prepares
// exactly W x H x 3 bytes; the first byte picks the crop and the size, square
// or not.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz/scratch_file.h"
#include "photo/photo.h"

using namespace classify;

namespace {

constexpr photo_size sizes[] = {{24, 24}, {31, 17}};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  use_vips_module(VIPS_MODULE_PATH);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t length) {
  const std::string& path = write_scratch_file(data, length);

  const double crop = length > 0 && (data[0] & 1) ? 0.5 : 1.0;
  const photo_size size = sizes[length > 0 && (data[0] & 2) ? 1 : 0];
  std::vector<unsigned char> pixels;
  std::string error;
  if (prepare_photo(path, size, crop, &pixels, &error)) {
    if (pixels.size() != static_cast<size_t>(size.width) * size.height * 3) std::abort();
  } else if (error.empty() || error.find('\n') != std::string::npos) {
    std::abort();
  }
  return 0;
}
