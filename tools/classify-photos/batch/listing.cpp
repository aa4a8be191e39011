#include "tools/classify-photos/batch/listing.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "photo/photo.h"

namespace classify {

namespace fs = std::filesystem;

namespace {

bool is_folder(const std::string& path) {
  std::error_code ignored;
  return fs::is_directory(fs::u8path(path), ignored);
}

// With a slash, which Windows takes as well, so that a path written in a
// line (where a backslash is escaped) reads the same everywhere.
std::string joined(const std::string& folder, const std::string& name) {
  const bool ends = !folder.empty() && (folder.back() == '/' || folder.back() == '\\');
  return ends ? folder + name : folder + '/' + name;
}

bool same_folder(const fs::path& folder, const std::string& other) {
  std::error_code ignored;
  return !other.empty() && fs::equivalent(folder, fs::u8path(other), ignored);
}

void walk(const std::string& folder, const std::string& skipped, photo_listing* listing) {
  std::error_code error;
  std::vector<std::string> names;
  for (fs::directory_iterator it(fs::u8path(folder), error), end; !error && it != end;
       it.increment(error)) {
    names.push_back(it->path().filename().u8string());
  }
  if (error) {
    listing->unreadable.push_back(folder);
    listing->reasons.push_back(error.message());
    return;
  }
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    const std::string path = joined(folder, name);
    const fs::path native = fs::u8path(path);
    std::error_code ignored;
    const fs::file_status link = fs::symlink_status(native, ignored);
    const fs::file_status target = fs::status(native, ignored);
    if (fs::is_directory(target)) {
      if (!fs::is_symlink(link) && !same_folder(native, skipped)) walk(path, skipped, listing);
    } else if (fs::is_regular_file(target) && format_of_file(path) != photo_format::none) {
      listing->photos.push_back(path);
    } else {
      ++listing->passed_over;
    }
  }
}

void add(const std::string& path, const std::string& skipped, photo_listing* listing) {
  if (is_folder(path)) {
    if (!same_folder(fs::u8path(path), skipped)) walk(path, skipped, listing);
  } else {
    listing->photos.push_back(path);
  }
}

}  // namespace

photo_listing list_photos(const std::vector<std::string>& given, std::istream& in,
                          const std::string& skipped) {
  photo_listing listing;
  bool read_in = false;
  for (const std::string& path : given) {
    if (path != "-") {
      add(path, skipped, &listing);
    } else if (!read_in) {
      read_in = true;
      for (std::string line; std::getline(in, line);) {
        if (!line.empty()) add(line, skipped, &listing);
      }
    }
  }
  return listing;
}

}  // namespace classify
