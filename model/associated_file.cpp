// The files a model's metadata names live in a zip archive appended to the
// model file. minizip reads it, from the model's bytes already in memory: it
// finds the archive's directory from the end, whether the offsets in it
// count from the start of the model file or from the start of the archive.
#include <minizip/unzip.h>

#include <cstring>
#include <memory>

#include "model/associated_file.h"

namespace classify {

namespace {

// The model's bytes as the file minizip reads.
struct memory_file {
  const uint8_t* bytes;
  size_t size;
  size_t position = 0;
};

voidpf ZCALLBACK open_memory(voidpf opaque, const void* /*name*/, int mode) {
  return (mode & ZLIB_FILEFUNC_MODE_WRITE) != 0 ? nullptr : opaque;
}

uLong ZCALLBACK read_memory(voidpf /*opaque*/, voidpf stream, void* buffer, uLong size) {
  auto* file = static_cast<memory_file*>(stream);
  const size_t left = file->size - file->position;
  const size_t count = size < left ? static_cast<size_t>(size) : left;
  std::memcpy(buffer, file->bytes + file->position, count);
  file->position += count;
  return static_cast<uLong>(count);
}

uLong ZCALLBACK write_nothing(voidpf, voidpf, const void*, uLong) { return 0; }

ZPOS64_T ZCALLBACK tell_memory(voidpf /*opaque*/, voidpf stream) {
  return static_cast<memory_file*>(stream)->position;
}

long ZCALLBACK seek_memory(voidpf /*opaque*/, voidpf stream, ZPOS64_T offset, int origin) {
  auto* file = static_cast<memory_file*>(stream);
  ZPOS64_T base = 0;
  if (origin == ZLIB_FILEFUNC_SEEK_CUR) base = file->position;
  if (origin == ZLIB_FILEFUNC_SEEK_END) base = file->size;
  if (offset > file->size - base) return -1;
  file->position = static_cast<size_t>(base + offset);
  return 0;
}

int ZCALLBACK close_memory(voidpf, voidpf) { return 0; }
int ZCALLBACK no_error(voidpf, voidpf) { return 0; }

struct zip_closer {
  void operator()(unzFile zip) const { unzClose(zip); }
};

std::string zip_problem(int status) {
  switch (status) {
    case UNZ_CRCERROR:
      return "its checksum does not match";
    case UNZ_BADZIPFILE:
      return "the archive is damaged";
    case Z_DATA_ERROR:
      return "its data is damaged";
    default:
      return "the archive is damaged (minizip error " + std::to_string(status) + ")";
  }
}

}  // namespace

bool read_associated_file(const uint8_t* bytes, size_t size, const std::string& name,
                          std::string* contents, std::string* error) {
  memory_file file{bytes, size};
  zlib_filefunc64_def functions{};
  functions.zopen64_file = open_memory;
  functions.zread_file = read_memory;
  functions.zwrite_file = write_nothing;
  functions.ztell64_file = tell_memory;
  functions.zseek64_file = seek_memory;
  functions.zclose_file = close_memory;
  functions.zerror_file = no_error;
  functions.opaque = &file;
  const std::unique_ptr<void, zip_closer> zip(unzOpen2_64("model", &functions));
  const std::string what = "its label file " + name;
  if (!zip) {
    *error = what + " cannot be read: the model has no zip archive appended, or a damaged one";
    return false;
  }
  if (unzLocateFile(zip.get(), name.c_str(), 1) != UNZ_OK) {
    *error = what + " is not in the zip archive appended to the model";
    return false;
  }
  unz_file_info64 info{};
  int status = unzGetCurrentFileInfo64(zip.get(), &info, nullptr, 0, nullptr, 0, nullptr, 0);
  if (status != UNZ_OK) {
    *error = what + " cannot be read: " + zip_problem(status);
    return false;
  }
  if (info.uncompressed_size > max_associated_file_size) {
    *error = what + " is too large (" + std::to_string(info.uncompressed_size) + " bytes)";
    return false;
  }
  if ((info.flag & 1) != 0) {
    *error = what + " is encrypted";
    return false;
  }
  status = unzOpenCurrentFile(zip.get());
  if (status != UNZ_OK) {
    *error = what + " cannot be read: " + zip_problem(status);
    return false;
  }
  // Read up to the size the archive declares and one byte more: a file that
  // inflates past its declared size is damaged, however large it would grow.
  contents->assign(static_cast<size_t>(info.uncompressed_size) + 1, '\0');
  size_t got = 0;
  while (got < contents->size()) {
    const int n = unzReadCurrentFile(zip.get(), &(*contents)[got],
                                     static_cast<unsigned>(contents->size() - got));
    if (n < 0) {
      status = n;
      break;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  const int closed = unzCloseCurrentFile(zip.get());
  if (status == UNZ_OK) status = closed;
  if (status == UNZ_OK && got != info.uncompressed_size) status = UNZ_BADZIPFILE;
  if (status != UNZ_OK) {
    *error = what + " cannot be read: " + zip_problem(status);
    return false;
  }
  contents->resize(got);
  return true;
}

}  // namespace classify
