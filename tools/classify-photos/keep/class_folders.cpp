#include "tools/classify-photos/keep/class_folders.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace classify {

namespace fs = std::filesystem;

namespace {

constexpr size_t longest_name = 200;

bool reserved_on_windows(const std::string& name) {
  std::string stem = name.substr(0, name.find('.'));
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  std::transform(stem.begin(), stem.end(), stem.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  static const std::array<const char*, 4> plain = {"CON", "PRN", "AUX", "NUL"};
  if (std::find_if(plain.begin(), plain.end(), [&](const char* r) { return stem == r; }) !=
      plain.end()) {
    return true;
  }
  return stem.size() == 4 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0) &&
         stem[3] >= '1' && stem[3] <= '9';
}

// "name (2).jpg" for the second photograph of name "name.jpg".
std::string numbered(const std::string& name, int number) {
  if (number == 1) return name;
  const size_t dot = name.rfind('.');
  const bool has_extension = dot != std::string::npos && dot > 0;
  const std::string stem = has_extension ? name.substr(0, dot) : name;
  const std::string extension = has_extension ? name.substr(dot) : "";
  return stem + " (" + std::to_string(number) + ")" + extension;
}

bool same_bytes(const fs::path& a, const fs::path& b) {
  std::error_code failure;
  if (fs::file_size(a, failure) != fs::file_size(b, failure) || failure) return false;
  std::ifstream x(a, std::ios::binary), y(b, std::ios::binary);
  std::array<char, 1 << 15> p, q;
  while (x && y) {
    x.read(p.data(), p.size());
    y.read(q.data(), q.size());
    if (x.gcount() != y.gcount() || !std::equal(p.begin(), p.begin() + x.gcount(), q.begin())) {
      return false;
    }
  }
  return x.eof() && y.eof();
}

// Whether `place` already stands for `photo`, as `mode` would have put it.
bool already_there(const fs::path& place, const fs::path& photo, sort_mode mode) {
  std::error_code failure;
  const fs::file_status status = fs::symlink_status(place, failure);
  if (fs::is_symlink(status)) return fs::read_symlink(place, failure) == photo && !failure;
  if (!fs::is_regular_file(status)) return false;
  if (fs::equivalent(place, photo, failure) && !failure) return true;
  return mode == sort_mode::copy && same_bytes(place, photo);
}

// A copy made only where nothing is (the file is created exclusively); one
// cut short, by a full disk say, is removed rather than left looking whole.
bool copy_new(const fs::path& photo, const fs::path& place, std::error_code* failure) {
  fs::copy_file(photo, place, fs::copy_options::none, *failure);
  if (*failure && *failure != std::errc::file_exists) {
    std::error_code ignored;
    fs::remove(place, ignored);
  }
  return !*failure;
}

bool put(const fs::path& photo, const fs::path& place, sort_mode mode, bool* copied,
         std::error_code* failure) {
  switch (mode) {
    case sort_mode::symlink:
      fs::create_symlink(photo, place, *failure);
      // Windows makes symbolic links only with a privilege; a copy does.
      if (*failure && *failure != std::errc::file_exists) {
        *failure = std::error_code();
        *copied = copy_new(photo, place, failure);
      }
      break;
    case sort_mode::hardlink:
      fs::create_hard_link(photo, place, *failure);
      break;
    case sort_mode::copy:
      copy_new(photo, place, failure);
      break;
  }
  return !*failure;
}

}  // namespace

std::string folder_name(const std::string& label) {
  std::string name;
  for (const char c : label) {
    const unsigned char byte = static_cast<unsigned char>(c);
    const bool unsafe =
        byte < 0x20 || byte == 0x7f || std::string("/\\:*?\"<>|").find(c) != std::string::npos;
    name += unsafe ? '_' : c;
  }
  if (name.size() > longest_name) {
    size_t cut = longest_name;
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xc0) == 0x80) --cut;
    name.resize(cut);
  }
  while (!name.empty() && (name.back() == '.' || name.back() == ' ')) name.pop_back();
  if (name.empty()) return "_";
  if (reserved_on_windows(name)) {
    const size_t dot = name.find('.');
    name.insert(dot == std::string::npos ? name.size() : dot, "_");
  }
  return name;
}

bool sort_photo(const std::string& root, const std::string& folder, const std::string& photo,
                sort_mode mode, sorted_photo* result, std::string* error) {
  std::error_code failure;
  const fs::path original = fs::absolute(fs::u8path(photo), failure).lexically_normal();
  const fs::path into = fs::u8path(root) / fs::u8path(folder);
  fs::create_directories(into, failure);
  if (failure) {
    *error = (into.u8string() + ": cannot be made: " + failure.message());
    return false;
  }
  const std::string name = original.filename().u8string();
  for (int number = 1; number < 100000; ++number) {
    const fs::path place = into / fs::u8path(numbered(name, number));
    if (already_there(place, original, mode)) {
      result->place = place.u8string();
      return true;
    }
    if (fs::exists(fs::symlink_status(place, failure))) continue;
    failure = std::error_code();
    if (put(original, place, mode, &result->copied, &failure)) {
      result->place = place.u8string();
      return true;
    }
    // Another run took the name between the look and the link.
    if (failure == std::errc::file_exists) continue;
    *error = place.u8string() + ": cannot be made: " + failure.message();
    return false;
  }
  *error = into.u8string() + ": no free name for " + name;
  return false;
}

}  // namespace classify
