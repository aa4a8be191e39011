#include "tools/classify-photos/keep/xmp_sidecar.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <system_error>

#include "tools/classify-photos/keep/xmp_merge.h"
#include "tools/common/atomic_file.h"

#if defined(_WIN32)
#include <fstream>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#endif

namespace classify {

namespace fs = std::filesystem;

namespace {

// Larger than any sidecar a photo manager writes (darktable's, with a long
// edit, are tens of kilobytes), small enough to hold in memory twice.
constexpr size_t largest_sidecar = size_t{16} << 20;
const char too_large[] = "is larger than 16 MiB";

// A photograph's sidecar as it was found.
struct found_sidecar {
  bool exists = false;
  bool read_only = false;
  std::string target;  // the file itself: the sidecar, or where its link leads
  std::string bytes;
};

#if !defined(_WIN32)

struct open_file {
  int fd = -1;
  ~open_file() {
    if (fd >= 0) close(fd);
  }
};

std::string kind_of(mode_t mode) {
  if (S_ISDIR(mode)) return "is a folder";
  if (S_ISFIFO(mode)) return "is a FIFO";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "is a device";
  if (S_ISSOCK(mode)) return "is a socket";
  return "is not a regular file";
}

// Where the symbolic link `path` leads, or, false, why it leads nowhere.
bool link_target(const std::string& path, std::string* target, std::string* why) {
  char* resolved = realpath(path.c_str(), nullptr);
  if (resolved == nullptr) {
    *why = errno == ENOENT ? "is a symbolic link to nothing"
           : errno == ELOOP
               ? "is a loop of symbolic links"
               : std::string("is a symbolic link that cannot be followed: ") + std::strerror(errno);
    return false;
  }
  *target = resolved;
  std::free(resolved);
  return true;
}

// Opening never waits (a FIFO would, for a writer that never comes) and
// the file's type is checked on what was opened; then at most one byte
// past the limit is read (a link to /dev/zero would never end).
bool find_sidecar(const std::string& path, found_sidecar* found, std::string* why) {
  struct stat status {};
  found->target = path;
  if (lstat(path.c_str(), &status) != 0) {
    if (errno == ENOENT) return true;
    *why = std::string("cannot be examined: ") + std::strerror(errno);
    return false;
  }
  if (S_ISLNK(status.st_mode) && !link_target(path, &found->target, why)) return false;
  open_file file;
  file.fd = open(found->target.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (file.fd < 0 || fstat(file.fd, &status) != 0) {
    *why = std::string("cannot be read: ") + std::strerror(errno);
    return false;
  }
  if (!S_ISREG(status.st_mode)) {
    *why = kind_of(status.st_mode);
    return false;
  }
  if (static_cast<uintmax_t>(status.st_size) > largest_sidecar) {
    *why = too_large;
    return false;
  }
  found->exists = true;
  found->read_only = (status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
  found->bytes.resize(static_cast<size_t>(status.st_size) + 1);
  size_t size = 0;
  while (true) {
    if (size == found->bytes.size()) found->bytes.resize(std::min(size * 2, largest_sidecar + 1));
    const ssize_t n = read(file.fd, &found->bytes[size], found->bytes.size() - size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *why = std::string("cannot be read: ") + std::strerror(errno);
      return false;
    }
    if (n == 0) break;
    size += static_cast<size_t>(n);
    if (size > largest_sidecar) {
      *why = too_large;
      return false;
    }
  }
  found->bytes.resize(size);
  return true;
}

#else

bool find_sidecar(const std::string& path, found_sidecar* found, std::string* why) {
  std::error_code failure;
  fs::path file = fs::u8path(path);
  found->target = path;
  const fs::file_status link = fs::symlink_status(file, failure);
  if (!fs::exists(link)) return true;
  if (fs::is_symlink(link)) {
    file = fs::canonical(file, failure);
    if (failure) {
      *why = "is a symbolic link that cannot be followed: " + failure.message();
      return false;
    }
    found->target = file.u8string();
  }
  const fs::file_status status = fs::status(file, failure);
  if (!fs::is_regular_file(status)) {
    *why = fs::is_directory(status) ? "is a folder" : "is not a regular file";
    return false;
  }
  const fs::perms writable =
      fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
  found->read_only = (status.permissions() & writable) == fs::perms::none;
  std::ifstream in(file, std::ios::binary);
  char chunk[1 << 16];
  while (in && found->bytes.size() <= largest_sidecar) {
    in.read(chunk, sizeof chunk);
    found->bytes.append(chunk, static_cast<size_t>(in.gcount()));
  }
  if (in.bad() || (!in && !in.eof())) {
    *why = "cannot be read";
    return false;
  }
  if (found->bytes.size() > largest_sidecar) {
    *why = too_large;
    return false;
  }
  found->exists = true;
  return true;
}

#endif

}  // namespace

std::string sidecar_path(const std::string& photo, sidecar_naming naming) {
  if (naming == sidecar_naming::full_name) return photo + ".xmp";
  const size_t slash = photo.find_last_of("/\\");
  const size_t dot = photo.rfind('.');
  const bool has_extension =
      dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
  return (has_extension ? photo.substr(0, dot) : photo) + ".xmp";
}

bool write_keywords(const std::string& path, const std::vector<keyword_path>& keywords,
                    std::string* error) {
  found_sidecar found;
  std::string why;
  if (!find_sidecar(path, &found, &why)) {
    *error = path + ": " + why + "; left as it is";
    return false;
  }
  if (found.read_only) {
    *error = path + ": is read-only; left as it is";
    return false;
  }
  // No keywords for a photograph without a sidecar: none is made.
  if (!found.exists && keywords.empty()) return true;
  const result<std::string> merged = merge_keywords(found.bytes, keywords);
  if (!merged) {
    *error = path + ": " + merged.error().message + "; left as it is";
    return false;
  }
  const std::string& new_sidecar = *merged;
  if (found.exists && new_sidecar == found.bytes) return true;
  // A link stays a link: the file it leads to is replaced.
  const outcome written = write_atomically(
      found.target, std::vector<unsigned char>(new_sidecar.begin(), new_sidecar.end()),
      file_keeping::as_before);
  if (!written) {
    *error =
        found.target == path ? written.error().message : path + " -> " + written.error().message;
    return false;
  }
  return true;
}

}  // namespace classify
