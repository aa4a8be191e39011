// The formats beyond JPEG and PNG on Windows: BMP, through the Windows
// Imaging Component, the decoder every Windows has and keeps up to date.
// Nothing else is taken: a file that does not begin as BMP is refused with
// the list of formats this build reads.
#include <wincodec.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "photo/colour.h"
#include "photo/other_decode.h"
#include "photo/photo.h"
#include "platform/platform.h"
#include "platform/platform_windows.h"

namespace classify {

namespace {

const char formats_read[] = "this Windows build reads JPEG, PNG and BMP";

// A COM interface pointer released when it goes.
template <typename T>
struct com_ptr {
  T* p = nullptr;
  ~com_ptr() {
    if (p != nullptr) p->Release();
  }
  T** out() { return &p; }
  T* operator->() const { return p; }
};

// COM for the calling thread, for as long as the object lives.
struct com_session {
  HRESULT status = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  ~com_session() {
    if (SUCCEEDED(status)) CoUninitialize();
  }
};

bool begins_as_bmp(const std::string& path) {
  char head[2] = {};
  std::FILE* file = open_for_reading(path);
  if (file == nullptr) return false;
  const size_t got = std::fread(head, 1, sizeof head, file);
  std::fclose(file);
  return got == 2 && head[0] == 'B' && head[1] == 'M';
}

std::string hresult_text(HRESULT status) {
  char text[32];
  std::snprintf(text, sizeof text, "error 0x%08lx", static_cast<unsigned long>(status));
  return text;
}

}  // namespace

bool decode_other(const std::string& path, rgb_image* image, std::string* error) {
  if (!begins_as_bmp(path)) {
    *error = path + ": not an image this tool can read (" + formats_read + ")";
    return false;
  }
  com_session com;
  com_ptr<IWICImagingFactory> factory;
  com_ptr<IWICBitmapDecoder> decoder;
  com_ptr<IWICBitmapFrameDecode> frame;
  com_ptr<IWICFormatConverter> converter;
  HRESULT status =
      CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                       IID_IWICImagingFactory, reinterpret_cast<void**>(factory.out()));
  if (SUCCEEDED(status)) {
    status = factory->CreateDecoderFromFilename(wide(path).c_str(), nullptr, GENERIC_READ,
                                                WICDecodeMetadataCacheOnDemand, decoder.out());
  }
  if (SUCCEEDED(status)) status = decoder->GetFrame(0, frame.out());
  UINT width = 0, height = 0;
  if (SUCCEEDED(status)) status = frame->GetSize(&width, &height);
  if (FAILED(status)) {
    *error = path + ": cannot decode the image (" + hresult_text(status) + ")";
    return false;
  }
  // The header's size is checked before any pixel is decoded.
  if (int64_t{width} * height > max_photo_pixels) {
    *error = too_large_message(path, width, height);
    return false;
  }
  // Non-premultiplied BGRA, which every BMP converts to; alpha is composed
  // onto white as for the other formats.
  status = factory->CreateFormatConverter(converter.out());
  if (SUCCEEDED(status)) {
    status = converter->Initialize(frame.p, GUID_WICPixelFormat32bppBGRA, WICBitmapDitherTypeNone,
                                   nullptr, 0.0, WICBitmapPaletteTypeCustom);
  }
  std::vector<unsigned char> bgra(static_cast<size_t>(width) * height * 4);
  if (SUCCEEDED(status)) {
    status = converter->CopyPixels(nullptr, width * 4, static_cast<UINT>(bgra.size()), bgra.data());
  }
  if (FAILED(status)) {
    *error = path + ": cannot decode the image (" + hresult_text(status) + ")";
    return false;
  }
  for (size_t i = 0; i < bgra.size(); i += 4) std::swap(bgra[i], bgra[i + 2]);
  image->width = static_cast<int>(width);
  image->height = static_cast<int>(height);
  image->pixels.resize(static_cast<size_t>(width) * height * 3);
  flatten_onto_white(bgra.data(), static_cast<size_t>(width) * height, image->pixels.data());
  return true;
}

}  // namespace classify
