#include "photo/thumbnail.h"

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>

// jpeglib.h needs stdio's FILE declared first.
#include <jpeglib.h>

#include "photo/resize.h"

namespace classify {

namespace {

struct encode_failure {
  jpeg_error_mgr manager;
  std::jmp_buf jump;
};

[[noreturn]] void on_error(j_common_ptr cinfo) {
  std::longjmp(reinterpret_cast<encode_failure*>(cinfo->err)->jump, 1);
}

// The encoding proper, with plain locals only, where a jump out of libjpeg
// lands.
bool encode(const std::vector<unsigned char>& pixels, int width, int height, int quality,
            unsigned char** out, unsigned long* size) {
  jpeg_compress_struct cinfo{};
  encode_failure failure{};
  cinfo.err = jpeg_std_error(&failure.manager);
  failure.manager.error_exit = on_error;
  if (setjmp(failure.jump) != 0) {
    jpeg_destroy_compress(&cinfo);
    return false;
  }
  jpeg_create_compress(&cinfo);
  jpeg_mem_dest(&cinfo, out, size);
  cinfo.image_width = static_cast<JDIMENSION>(width);
  cinfo.image_height = static_cast<JDIMENSION>(height);
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, quality, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  const size_t stride = static_cast<size_t>(width) * 3;
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row = const_cast<unsigned char*>(pixels.data()) + stride * cinfo.next_scanline;
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  return true;
}

}  // namespace

void thumbnail_size(int width, int height, int longest, int* thumb_width, int* thumb_height) {
  const double scale = std::min(1.0, static_cast<double>(longest) / std::max(width, height));
  *thumb_width = std::max(1, static_cast<int>(std::lround(width * scale)));
  *thumb_height = std::max(1, static_cast<int>(std::lround(height * scale)));
}

std::vector<unsigned char> thumbnail_jpeg(const rgb_image& image, int longest, int quality) {
  int width = 0, height = 0;
  thumbnail_size(image.width, image.height, longest, &width, &height);
  const std::vector<unsigned char> pixels = crop_and_resize(image, 1.0, width, height);
  unsigned char* out = nullptr;
  unsigned long size = 0;
  std::vector<unsigned char> jpeg;
  if (encode(pixels, width, height, quality, &out, &size) && out != nullptr) {
    jpeg.assign(out, out + size);
  }
  std::free(out);
  return jpeg;
}

}  // namespace classify
