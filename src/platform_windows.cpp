#include <windows.h>

#include "platform.h"

const uint8_t* map_file_readonly(const std::string& path, size_t* size) {
  // Only a non-empty regular file is taken: a directory or a device is not.
  const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  LARGE_INTEGER length{};
  const bool regular = GetFileType(file) == FILE_TYPE_DISK && GetFileSizeEx(file, &length) &&
                       length.QuadPart > 0;
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

// The Windows heap grows in its own way; nothing is prepared.
void grow_heap(size_t) {}
