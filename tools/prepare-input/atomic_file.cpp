#include "atomic_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

bool write_atomically(const std::string& path, const std::vector<unsigned char>& bytes,
                      std::string* error) {
  std::string temp = path + ".XXXXXX";
  const int fd = mkstemp(temp.data());
  if (fd < 0) {
    *error = path + ": cannot create a file beside it: " + std::strerror(errno);
    return false;
  }
  // The first failing step's errno, or 0 while all goes well.
  int failure = 0;
  size_t written = 0;
  while (failure == 0 && written < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      failure = n < 0 ? errno : EIO;
    } else {
      written += static_cast<size_t>(n);
    }
  }
  // mkstemp creates the file readable by its owner alone.
  if (failure == 0 && fchmod(fd, 0644) != 0) failure = errno;
  if (close(fd) != 0 && failure == 0) failure = errno;
  if (failure == 0 && std::rename(temp.c_str(), path.c_str()) != 0) failure = errno;
  if (failure != 0) {
    *error = path + ": cannot be written: " + std::strerror(failure);
    unlink(temp.c_str());
    return false;
  }
  return true;
}
