#pragma once
// The fuzzers' way to hand bytes to code that reads a file: one scratch file
// per process, rewritten for every input.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

// Writes `data` to the process' scratch file and returns its path; aborts
// when it cannot, which is the fuzzer's own failure, not the target's.
inline const std::string& write_scratch_file(const uint8_t* data, size_t size) {
  static const std::string path = [] {
    char name[] = "/tmp/fuzz-input-XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0) std::abort();
    close(fd);
    return std::string(name);
  }();
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, file) != size) std::abort();
  std::fclose(file);
  return path;
}
