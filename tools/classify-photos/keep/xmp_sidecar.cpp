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

// Where the symbolic link `path` leads, or why it leads nowhere.
result<std::string> link_target(const std::string& path) {
  char* resolved = realpath(path.c_str(), nullptr);
  if (resolved == nullptr) {
    return failure{errno == ENOENT  ? "is a symbolic link to nothing"
                   : errno == ELOOP ? "is a loop of symbolic links"
                                    : std::string("is a symbolic link that cannot be followed: ") +
                                          std::strerror(errno)};
  }
  std::string target = resolved;
  std::free(resolved);
  return target;
}

// Opening never waits (a FIFO would, for a writer that never comes) and
// the file's type is checked on what was opened; then at most one byte
// past the limit is read (a link to /dev/zero would never end).
result<found_sidecar> find_sidecar(const std::string& path) {
  struct stat status {};
  found_sidecar found;
  found.target = path;
  if (lstat(path.c_str(), &status) != 0) {
    if (errno == ENOENT) return found;
    return failure{std::string("cannot be examined: ") + std::strerror(errno)};
  }
  if (S_ISLNK(status.st_mode)) {
    result<std::string> target = link_target(path);
    if (!target) return target.error();
    found.target = std::move(*target);
  }
  open_file file;
  file.fd = open(found.target.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (file.fd < 0 || fstat(file.fd, &status) != 0) {
    return failure{std::string("cannot be read: ") + std::strerror(errno)};
  }
  if (!S_ISREG(status.st_mode)) return failure{kind_of(status.st_mode)};
  if (static_cast<uintmax_t>(status.st_size) > largest_sidecar) return failure{too_large};
  found.exists = true;
  found.read_only = (status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
  found.bytes.resize(static_cast<size_t>(status.st_size) + 1);
  size_t size = 0;
  while (true) {
    if (size == found.bytes.size()) found.bytes.resize(std::min(size * 2, largest_sidecar + 1));
    const ssize_t n = read(file.fd, &found.bytes[size], found.bytes.size() - size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return failure{std::string("cannot be read: ") + std::strerror(errno)};
    if (n == 0) break;
    size += static_cast<size_t>(n);
    if (size > largest_sidecar) return failure{too_large};
  }
  found.bytes.resize(size);
  return found;
}

#else

result<found_sidecar> find_sidecar(const std::string& path) {
  std::error_code code;
  fs::path file = fs::u8path(path);
  found_sidecar found;
  found.target = path;
  const fs::file_status link = fs::symlink_status(file, code);
  if (!fs::exists(link)) return found;
  if (fs::is_symlink(link)) {
    file = fs::canonical(file, code);
    if (code) return failure{"is a symbolic link that cannot be followed: " + code.message()};
    found.target = file.u8string();
  }
  const fs::file_status status = fs::status(file, code);
  if (!fs::is_regular_file(status)) {
    return failure{fs::is_directory(status) ? "is a folder" : "is not a regular file"};
  }
  const fs::perms writable =
      fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
  found.read_only = (status.permissions() & writable) == fs::perms::none;
  std::ifstream in(file, std::ios::binary);
  char chunk[1 << 16];
  while (in && found.bytes.size() <= largest_sidecar) {
    in.read(chunk, sizeof chunk);
    found.bytes.append(chunk, static_cast<size_t>(in.gcount()));
  }
  if (in.bad() || (!in && !in.eof())) return failure{"cannot be read"};
  if (found.bytes.size() > largest_sidecar) return failure{too_large};
  found.exists = true;
  return found;
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

outcome write_keywords(const std::string& path, const std::vector<keyword_path>& keywords) {
  const result<found_sidecar> sidecar = find_sidecar(path);
  if (!sidecar) return failure{path + ": " + sidecar.error().message + "; left as it is"};
  const found_sidecar& found = *sidecar;
  if (found.read_only) return failure{path + ": is read-only; left as it is"};
  // No keywords for a photograph without a sidecar: none is made.
  if (!found.exists && keywords.empty()) return {};
  const result<std::string> merged = merge_keywords(found.bytes, keywords);
  if (!merged) return failure{path + ": " + merged.error().message + "; left as it is"};
  const std::string& new_sidecar = *merged;
  if (found.exists && new_sidecar == found.bytes) return {};
  // A link stays a link: the file it leads to is replaced.
  const outcome written = write_atomically(
      found.target, std::vector<unsigned char>(new_sidecar.begin(), new_sidecar.end()),
      file_keeping::as_before);
  if (!written && found.target != path) {
    return failure{path + " -> " + written.error().message};
  }
  return written;
}

}  // namespace classify
