#include "tools/common/atomic_file.h"

#include <filesystem>

#if defined(_WIN32)

#include <windows.h>

#include <algorithm>
#include <random>

#include "platform/platform_windows.h"

namespace classify {

namespace {

std::string windows_error(DWORD code) { return "Windows error " + std::to_string(code); }

}  // namespace

// Owners and permissions are ACLs here, which a new file inherits from its
// folder: `keeping` changes nothing.
outcome write_atomically(const std::string& path, const std::vector<unsigned char>& bytes,
                         file_keeping) {
  // A new file of a random name beside the output (CREATE_NEW never takes
  // one that exists), written whole, then moved over the output.
  std::random_device random;
  std::wstring temp;
  HANDLE file = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 100 && file == INVALID_HANDLE_VALUE; ++attempt) {
    temp = wide(folder_of_file(path) + "\\.classify-photos-" + std::to_string(random()));
    file = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
    if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) break;
  }
  if (file == INVALID_HANDLE_VALUE) {
    return failure{path + ": cannot create a file beside it: " + windows_error(GetLastError())};
  }
  DWORD error = 0;
  size_t written = 0;
  while (error == 0 && written < bytes.size()) {
    DWORD n = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - written, 1 << 30));
    if (!WriteFile(file, bytes.data() + written, chunk, &n, nullptr) || n == 0) {
      error = GetLastError() != 0 ? GetLastError() : ERROR_WRITE_FAULT;
    }
    written += n;
  }
  if (error == 0 && !FlushFileBuffers(file)) error = GetLastError();
  if (!CloseHandle(file) && error == 0) error = GetLastError();
  if (error == 0 && !MoveFileExW(temp.c_str(), wide(path).c_str(), MOVEFILE_REPLACE_EXISTING)) {
    error = GetLastError();
  }
  if (error != 0) {
    DeleteFileW(temp.c_str());
    return failure{path + ": cannot be written: " + windows_error(error)};
  }
  return {};
}

outcome can_create_beside(const std::string& path) {
  std::random_device random;
  const std::string folder = folder_of_file(path);
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::wstring temp = wide(folder + "\\.classify-photos-check-" + std::to_string(random()));
    const HANDLE file = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      CloseHandle(file);
      return {};
    }
    if (GetLastError() != ERROR_FILE_EXISTS) break;
  }
  return failure{windows_error(GetLastError())};
}

}  // namespace classify

#else

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace classify {

namespace {

// The owner, group and permissions of the file at `path` given to the open
// file `fd`: those of the file it replaces. The owner only where the system
// lets us (root, or the file is ours already); the group where we are in it.
// Changing the owner clears set-ID bits, so the permissions come last.
int keep_owner_and_mode(const std::string& path, int fd) {
  struct stat before {};
  if (stat(path.c_str(), &before) != 0) return errno == ENOENT ? 0 : errno;
  if (fchown(fd, before.st_uid, before.st_gid) != 0 &&
      fchown(fd, static_cast<uid_t>(-1), before.st_gid) != 0 && errno != EPERM) {
    return errno;
  }
  return fchmod(fd, before.st_mode & 07777) != 0 ? errno : 0;
}

int write_all(int fd, const std::vector<unsigned char>& bytes) {
  size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : EIO;
    written += static_cast<size_t>(n);
  }
  return 0;
}

}  // namespace

outcome write_atomically(const std::string& path, const std::vector<unsigned char>& bytes,
                         file_keeping keeping) {
  // A short name of ours, not the output's name with a suffix: beside a
  // file whose name takes the whole 255 bytes a system allows, that would
  // not fit.
  std::string temp = folder_of_file(path) + "/.classify-photos-XXXXXX";
  const int fd = mkstemp(temp.data());
  if (fd < 0) {
    return failure{path + ": cannot create a file beside it: " + std::strerror(errno)};
  }
  // The first failing step's errno, or 0 while all goes well.
  int error = write_all(fd, bytes);
  // mkstemp creates the file readable by its owner alone.
  if (error == 0 && fchmod(fd, 0644) != 0) error = errno;
  if (error == 0 && keeping == file_keeping::as_before) error = keep_owner_and_mode(path, fd);
  // The data on the disk before the name points at it: a crash after the
  // rename finds the whole new file, not an empty one.
  if (error == 0 && fsync(fd) != 0) error = errno;
  if (close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && std::rename(temp.c_str(), path.c_str()) != 0) error = errno;
  if (error != 0) {
    unlink(temp.c_str());
    return failure{path + ": cannot be written: " + std::strerror(error)};
  }
  return {};
}

outcome can_create_beside(const std::string& path) {
  std::string temp = folder_of_file(path) + "/.classify-photos-check-XXXXXX";
  const int fd = mkstemp(temp.data());
  if (fd < 0) return failure{std::strerror(errno)};
  close(fd);
  unlink(temp.c_str());
  return {};
}

}  // namespace classify

#endif

namespace classify {

std::string folder_of_file(const std::string& path) {
  const std::string folder = std::filesystem::u8path(path).parent_path().u8string();
  return folder.empty() ? std::string(".") : folder;
}

}  // namespace classify
