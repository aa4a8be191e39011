#include "tools/common/option_file.h"

#include <exception>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace classify {

namespace {

std::string size_text(uintmax_t bytes) {
  if (bytes >= (1u << 30) && bytes % (1u << 30) == 0) return std::to_string(bytes >> 30) + " GiB";
  if (bytes >= (1u << 20) && bytes % (1u << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
  return std::to_string(bytes) + " bytes";
}

}  // namespace

result<std::string> read_option_file(const std::string& named, const std::string& file,
                                     uintmax_t largest, const std::string& too_large) {
  namespace fs = std::filesystem;
  std::error_code error;
  fs::path path;
  try {
    path = fs::u8path(file);
  } catch (const std::exception&) {
    return failure{named + "no such file"};  // bytes that are no path here
  }
  if (!fs::is_regular_file(path, error)) {
    return failure{named + (fs::exists(path, error) ? "not a regular file" : "no such file")};
  }
  const uintmax_t size = fs::file_size(path, error);
  if (error) return failure{named + "cannot be read"};
  if (size > largest)
    return failure{named + "larger than " + size_text(largest) + ": " + too_large};
  std::ifstream in(path, std::ios::binary);
  if (!in) return failure{named + "not a readable file"};
  // Read no further than the limit: the file may grow after its size was
  // taken.
  std::string bytes;
  char buffer[1 << 16];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    bytes.append(buffer, static_cast<size_t>(in.gcount()));
    if (bytes.size() > largest) {
      return failure{named + "larger than " + size_text(largest) + ": " + too_large};
    }
  }
  if (in.bad()) return failure{named + "cannot be read"};
  return bytes;
}

}  // namespace classify
