#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>

#include "platform/platform.h"
#include "platform/platform_windows.h"

namespace classify {

std::wstring wide(const std::string& utf8) {
  const int length =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring text(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), text.data(), length);
  return text;
}

std::string utf8(const wchar_t* text, int length) {
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), bytes, nullptr, nullptr);
  return out;
}

std::FILE* open_for_reading(const std::string& path) { return _wfopen(wide(path).c_str(), L"rb"); }

const uint8_t* map_file_readonly(const std::string& path, size_t* size) {
  // Only a non-empty regular file is taken: a directory or a device is not.
  const HANDLE file = CreateFileW(wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  LARGE_INTEGER length{};
  const bool regular =
      GetFileType(file) == FILE_TYPE_DISK && GetFileSizeEx(file, &length) && length.QuadPart > 0;
  const HANDLE mapping =
      regular ? CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr) : nullptr;
  CloseHandle(file);
  if (mapping == nullptr) return nullptr;
  // The view keeps the mapping alive once its handle is closed.
  void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
  CloseHandle(mapping);
  if (view == nullptr) return nullptr;
  *size = static_cast<size_t>(length.QuadPart);
  return static_cast<const uint8_t*>(view);
}

// Windows maps the program's image in its own way; nothing is prepared.
void map_program_image() {}

// The Windows heap grows in its own way; nothing is prepared.
void grow_heap(size_t) {}

int divert_standard_error() {
  std::fflush(stderr);
  const int saved = _dup(_fileno(stderr));
  const int null = _open("NUL", _O_WRONLY);
  if (saved >= 0 && null >= 0) _dup2(null, _fileno(stderr));
  if (null >= 0) _close(null);
  return saved;
}

void restore_standard_error(int saved) {
  if (saved < 0) return;
  std::fflush(stderr);
  _dup2(saved, _fileno(stderr));
  _close(saved);
}

bool is_terminal(int fd) { return _isatty(fd) != 0; }

// Windows raises no signal for a closed pipe: the write fails by itself.
void ignore_broken_pipe() {}

std::FILE* write_stream(int fd) { return _fdopen(fd, "w"); }

std::string program_path() {
  wchar_t path[32768];
  const DWORD length = GetModuleFileNameW(nullptr, path, 32768);
  if (length == 0 || length >= 32768) return std::string();
  return utf8(path, static_cast<int>(length));
}

// The build for any x86-64 CPU, in x86-64\ beside the program that runs it
// where the CPU lacks x86-64-v3, stands for that program: the model and
// the labels are found beside the program, one folder up.
std::string installed_program_path() {
  const std::string self = program_path();
  const size_t name = self.find_last_of("\\/");
  if (name == std::string::npos || name < 7) return self;
  const size_t folder = self.find_last_of("\\/", name - 1);
  if (folder == std::string::npos || self.compare(folder + 1, name - folder - 1, "x86-64") != 0) {
    return self;
  }
  return self.substr(0, folder) + self.substr(name);
}

}  // namespace classify
