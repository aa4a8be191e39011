#include "photo/jpeg_decode.h"

#include <cerrno>
#include <cmath>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// jpeglib.h needs stdio's FILE declared first; jerror.h has the warning codes.
#include <jerror.h>
#include <jpeglib.h>

#include "photo/colour.h"
#include "photo/photo.h"
#include "platform/platform.h"

namespace classify {

namespace {

// libjpeg reports a fatal error by calling error_exit, which must not
// return: it jumps back to read_jpeg. A truncated file is only a warning to
// libjpeg (it fills the rest with grey); here it is a failure.
struct jpeg_failure {
  jpeg_error_mgr manager;
  std::jmp_buf jump;
  bool truncated;
  char message[JMSG_LENGTH_MAX];
};

[[noreturn]] void on_error(j_common_ptr cinfo) {
  auto* failure = reinterpret_cast<jpeg_failure*>(cinfo->err);
  (*cinfo->err->format_message)(cinfo, failure->message);
  std::longjmp(failure->jump, 1);
}

void on_message(j_common_ptr cinfo, int level) {
  auto* failure = reinterpret_cast<jpeg_failure*>(cinfo->err);
  if (level < 0 && cinfo->err->msg_code == JWRN_JPEG_EOF) failure->truncated = true;
}

// What read_jpeg leaves for the conversions that follow it.
struct jpeg_result {
  int width;
  int height;
  int components;  // 1 grey, 3 RGB, 4 CMYK
  bool inverted;   // Adobe's inverted CMYK
  std::vector<unsigned char>* samples;
  std::vector<unsigned char>* profile;
  std::vector<unsigned char>* exif;
};

// The decoding proper, in a function of its own whose locals are all plain:
// a jump out of libjpeg lands here without skipping a destructor.
// `reduce` picks the DCT scaling from the header's size. Returns 0, or 1 for
// an error with the message in `failure`, 2 for a truncated file, 3 for an
// image of too many pixels.
int read_jpeg(std::FILE* file, jpeg_decompress_struct* cinfo, jpeg_failure* failure,
              int (*reduce)(int, int, void*), void* reduce_data, jpeg_result* result) {
  if (setjmp(failure->jump) != 0) return 1;
  jpeg_create_decompress(cinfo);
  jpeg_stdio_src(cinfo, file);
  jpeg_save_markers(cinfo, JPEG_APP0 + 1, 0xFFFF);
  jpeg_save_markers(cinfo, JPEG_APP0 + 2, 0xFFFF);
  jpeg_read_header(cinfo, TRUE);
  if (int64_t{cinfo->image_width} * cinfo->image_height > max_photo_pixels) return 3;
  result->width = static_cast<int>(cinfo->image_width);
  result->height = static_cast<int>(cinfo->image_height);

  JOCTET* icc = nullptr;
  unsigned int icc_size = 0;
  if (jpeg_read_icc_profile(cinfo, &icc, &icc_size)) {
    result->profile->assign(icc, icc + icc_size);
    std::free(icc);
  }
  for (jpeg_saved_marker_ptr m = cinfo->marker_list; m != nullptr; m = m->next) {
    if (m->marker == JPEG_APP0 + 1 && m->data_length > 6 &&
        std::memcmp(m->data, "Exif\0\0", 6) == 0) {
      result->exif->assign(m->data, m->data + m->data_length);
      break;
    }
  }

  switch (cinfo->jpeg_color_space) {
    case JCS_GRAYSCALE:
      cinfo->out_color_space = JCS_GRAYSCALE;
      result->components = 1;
      break;
    case JCS_CMYK:
    case JCS_YCCK:
      cinfo->out_color_space = JCS_CMYK;
      result->components = 4;
      result->inverted = cinfo->saw_Adobe_marker;
      break;
    default:
      cinfo->out_color_space = JCS_RGB;
      result->components = 3;
  }
  cinfo->scale_num = 1;
  cinfo->scale_denom = static_cast<unsigned int>(reduce(
      static_cast<int>(cinfo->image_width), static_cast<int>(cinfo->image_height), reduce_data));
  cinfo->dct_method = JDCT_ISLOW;
  jpeg_start_decompress(cinfo);
  result->width = static_cast<int>(cinfo->output_width);
  result->height = static_cast<int>(cinfo->output_height);
  const size_t stride = static_cast<size_t>(cinfo->output_width) * cinfo->output_components;
  result->samples->resize(stride * cinfo->output_height);
  while (cinfo->output_scanline < cinfo->output_height) {
    JSAMPROW row = result->samples->data() + stride * cinfo->output_scanline;
    jpeg_read_scanlines(cinfo, &row, 1);
  }
  jpeg_finish_decompress(cinfo);
  return failure->truncated ? 2 : 0;
}

struct reduction {
  int width;
  int height;
  double crop;
};

// The largest DCT scaling (1/8, 1/4, 1/2 or none) after which the crop
// still has at least the output's pixels on each side, so that the resize that follows
// only shrinks. Scaling the DCT averages whole blocks: it is a box filter
// that also saves most of the decoding.
int choose_reduction(int width, int height, void* data) {
  const auto* r = static_cast<const reduction*>(data);
  for (int denominator : {8, 4, 2}) {
    const double w = std::ceil(static_cast<double>(width) / denominator) * r->crop;
    const double h = std::ceil(static_cast<double>(height) / denominator) * r->crop;
    if (w >= r->width && h >= r->height) return denominator;
  }
  return 1;
}

}  // namespace

bool decode_jpeg(const std::string& path, int width, int height, double crop, rgb_image* image,
                 std::string* error) {
  std::FILE* file = open_for_reading(path);
  if (file == nullptr) {
    *error = path + ": cannot be opened: " + std::strerror(errno);
    return false;
  }
  jpeg_decompress_struct cinfo{};
  jpeg_failure failure{};
  cinfo.err = jpeg_std_error(&failure.manager);
  failure.manager.error_exit = on_error;
  failure.manager.emit_message = on_message;
  std::vector<unsigned char> samples, profile, exif;
  jpeg_result result{0, 0, 3, false, &samples, &profile, &exif};
  reduction wanted{width, height, crop};
  const int status = read_jpeg(file, &cinfo, &failure, choose_reduction, &wanted, &result);
  jpeg_destroy_decompress(&cinfo);
  std::fclose(file);
  if (status == 3) {
    *error = too_large_message(path, cinfo.image_width, cinfo.image_height);
    return false;
  }
  if (status != 0) {
    *error =
        path + ": cannot decode the image (" +
        (status == 2 ? std::string("the JPEG data ends early") : std::string(failure.message)) +
        ")";
    return false;
  }

  image->width = result.width;
  image->height = result.height;
  const size_t count = static_cast<size_t>(result.width) * result.height;
  if (result.components == 4) {
    cmyk_to_srgb(samples.data(), result.inverted, profile, image);
  } else if (result.components == 1) {
    image->pixels.resize(count * 3);
    for (size_t i = 0; i < count; ++i) {
      std::memset(image->pixels.data() + i * 3, samples[i], 3);
    }
  } else {
    image->pixels = std::move(samples);
    rgb_profile_to_srgb(profile, image);
  }
  *image = apply_orientation(std::move(*image), exif_orientation(exif.data(), exif.size()));
  return true;
}

}  // namespace classify
