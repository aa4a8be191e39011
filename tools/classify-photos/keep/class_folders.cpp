#include "tools/classify-photos/keep/class_folders.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <system_error>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <locale.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <wctype.h>

#include <cerrno>
#endif

namespace classify {

namespace fs = std::filesystem;

namespace {

constexpr size_t longest_name = 200;
// The longest file name Linux and Windows take: 255 bytes (ext4, XFS, Btrfs)
// or 255 UTF-16 units (NTFS, exFAT), which are never more than the bytes.
constexpr size_t name_max = 255;
// The name of a copy in the making: ".classify-photos-XXXXXX.part".
const std::string partial_prefix = ".classify-photos-", partial_suffix = ".part";
constexpr size_t partial_letters = 6;

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

// The longest part of `text` of at most `bytes` bytes that ends between
// UTF-8 characters.
std::string utf8_prefix(const std::string& text, size_t bytes) {
  if (text.size() <= bytes) return text;
  size_t cut = bytes;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xc0) == 0x80) --cut;
  return text.substr(0, cut);
}

// One UTF-8 character of `text` at `at`, which moves past it; a byte that
// does not begin one becomes a code point no character has (0xdc00 + byte).
char32_t next_character(const std::string& text, size_t* at) {
  const unsigned char first = static_cast<unsigned char>(text[*at]);
  const size_t length = first < 0x80       ? 1
                        : first >> 5 == 6  ? 2
                        : first >> 4 == 14 ? 3
                        : first >> 3 == 30 ? 4
                                           : 0;
  char32_t c = length == 1   ? first
               : length == 2 ? first & 0x1f
               : length == 3 ? first & 0x0f
                             : first & 0x07;
  bool whole = length > 0 && *at + length <= text.size();
  for (size_t i = 1; whole && i < length; ++i) {
    const unsigned char byte = static_cast<unsigned char>(text[*at + i]);
    whole = (byte & 0xc0) == 0x80;
    c = c << 6 | (byte & 0x3f);
  }
  if (!whole) {
    ++*at;
    return 0xdc00 + first;
  }
  *at += length;
  return c;
}

char32_t folded(char32_t c) {
  if (c < 0x80) return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c;
#if !defined(_WIN32)
  // Unicode's simple case mappings, whatever the locale of the run.
  static const locale_t unicode = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t{});
  if (unicode != locale_t{} && c < 0x110000) {
    return static_cast<char32_t>(towlower_l(towupper_l(static_cast<wint_t>(c), unicode), unicode));
  }
#endif
  // Windows' own file systems compare names without case themselves.
  return c;
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

std::string partial_name() {
  static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device device;
  std::string name = partial_prefix;
  for (size_t i = 0; i < partial_letters; ++i) name += letters[device() % (sizeof letters - 1)];
  return name + partial_suffix;
}

// The name of the `number`th photograph of name `name` in a folder: `name`
// itself for the first, "name (2).ext" for the second...; the name is cut
// (between UTF-8 characters, keeping the extension) to fit 255 bytes.
std::string numbered_name(const std::string& name, int number) {
  if (number == 1) return name;
  const std::string mark = " (" + std::to_string(number) + ")";
  const size_t dot = name.rfind('.');
  std::string stem = name, extension;
  // An "extension" too long to keep beside a character of the name is
  // taken as part of it.
  if (dot != std::string::npos && dot > 0 && name.size() - dot + mark.size() < name_max) {
    stem = name.substr(0, dot);
    extension = name.substr(dot);
  }
  return utf8_prefix(stem, name_max - mark.size() - extension.size()) + mark + extension;
}

// Whether `name` is that of a copy of ours in the making (partial_name):
// ".classify-photos-" and six letters or digits, then ".part".
bool is_partial_copy(const std::string& name) {
  const size_t length = partial_prefix.size() + partial_letters + partial_suffix.size();
  if (name.size() != length || name.compare(0, partial_prefix.size(), partial_prefix) != 0 ||
      name.compare(length - partial_suffix.size(), partial_suffix.size(), partial_suffix) != 0) {
    return false;
  }
  return std::all_of(name.begin() + static_cast<std::ptrdiff_t>(partial_prefix.size()),
                     name.end() - static_cast<std::ptrdiff_t>(partial_suffix.size()),
                     [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; });
}

#if defined(_WIN32)

std::error_code windows_error(DWORD code) {
  if (code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS) {
    return std::make_error_code(std::errc::file_exists);
  }
  return std::error_code(static_cast<int>(code), std::system_category());
}

// A copy of a photograph in a class folder under a name of ours, whole and
// flushed to the disk, until it is renamed to its place; removed when it
// is not.
class partial_copy {
 public:
  partial_copy() = default;
  partial_copy(const partial_copy&) = delete;
  partial_copy& operator=(const partial_copy&) = delete;
  ~partial_copy() {
    if (!path_.empty() && !published_) DeleteFileW(path_.c_str());
  }

  bool made() const { return !path_.empty(); }

  std::error_code make(const fs::path& folder, const fs::path& photo) {
    // Opened without sharing, so that another run's look for what a killed
    // run left cannot remove it while it is written.
    HANDLE out = INVALID_HANDLE_VALUE;
    fs::path path;
    for (int attempt = 0; attempt < 100 && out == INVALID_HANDLE_VALUE; ++attempt) {
      path = folder / fs::u8path(partial_name());
      out = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                        nullptr);
      if (out == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) break;
    }
    if (out == INVALID_HANDLE_VALUE) return windows_error(GetLastError());
    path_ = path;
    HANDLE in = CreateFileW(photo.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD failure = in == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    std::vector<char> buffer(1 << 20);
    while (failure == 0) {
      DWORD got = 0;
      if (!ReadFile(in, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
        failure = GetLastError();
        break;
      }
      if (got == 0) break;
      for (DWORD written = 0; failure == 0 && written < got;) {
        DWORD n = 0;
        if (!WriteFile(out, buffer.data() + written, got - written, &n, nullptr) || n == 0) {
          failure = GetLastError() != 0 ? GetLastError() : ERROR_WRITE_FAULT;
        }
        written += n;
      }
    }
    if (in != INVALID_HANDLE_VALUE) CloseHandle(in);
    if (failure == 0 && !FlushFileBuffers(out)) failure = GetLastError();
    if (!CloseHandle(out) && failure == 0) failure = GetLastError();
    return failure == 0 ? std::error_code() : windows_error(failure);
  }

  // Renamed to `place` unless something is there (file_exists then).
  std::error_code publish(const fs::path& place) {
    if (!MoveFileExW(path_.c_str(), place.c_str(), MOVEFILE_WRITE_THROUGH)) {
      return windows_error(GetLastError());
    }
    published_ = true;
    return std::error_code();
  }

 private:
  fs::path path_;
  bool published_ = false;
};

// A copy of ours that a killed run left; one that a run now writes is open
// without sharing and cannot be removed.
void remove_leftover(const fs::path& file) {
  std::error_code ignored;
  if (fs::is_regular_file(fs::symlink_status(file, ignored))) fs::remove(file, ignored);
}

#else

std::error_code posix_error(int code) { return std::error_code(code, std::generic_category()); }

// Renames `from` to `to` unless something is there: 0, EEXIST or the errno.
int rename_new(const char* from, const char* to) {
#if defined(SYS_renameat2)
  constexpr unsigned no_replace = 1;  // RENAME_NOREPLACE
  if (syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, no_replace) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP && errno != EOPNOTSUPP) return errno;
#endif
  // A file system that cannot rename without replacing (some network
  // ones): a second name, which link() never takes where one is, then
  // the first one removed.
  if (link(from, to) == 0) {
    unlink(from);
    return 0;
  }
  if (errno != EPERM && errno != ENOTSUP && errno != EOPNOTSUPP && errno != ENOSYS) return errno;
  // Nor hard links (FAT, exFAT): a look, then the rename, the best these
  // allow.
  struct stat there {};
  if (lstat(to, &there) == 0) return EEXIST;
  if (errno != ENOENT) return errno;
  return rename(from, to) == 0 ? 0 : errno;
}

// A copy of a photograph in a class folder under a name of ours, whole and
// on the disk, until it is renamed to its place; removed when it is not.
// It is locked while it is ours, so that another run's look for what a
// killed run left passes over it.
class partial_copy {
 public:
  partial_copy() = default;
  partial_copy(const partial_copy&) = delete;
  partial_copy& operator=(const partial_copy&) = delete;
  ~partial_copy() {
    if (!path_.empty() && !published_) unlink(path_.c_str());
    if (fd_ >= 0) close(fd_);
    if (lock_ >= 0) close(lock_);
  }

  bool made() const { return !path_.empty(); }

  std::error_code make(const fs::path& folder, const fs::path& photo) {
    const int in = open(photo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (in < 0) return posix_error(errno);
    const int failure = copy_from(in, folder);
    close(in);
    return failure == 0 ? std::error_code() : posix_error(failure);
  }

  std::error_code publish(const fs::path& place) {
    const int failure = rename_new(path_.c_str(), place.c_str());
    if (failure != 0) return posix_error(failure);
    published_ = true;
    // The new name on the disk too.
    const int folder = open(place.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
      fsync(folder);
      close(folder);
    }
    return std::error_code();
  }

 private:
  // A new file of our name in `folder`, locked: 0 or the errno.
  int create(const fs::path& folder) {
    for (int attempt = 0; attempt < 100; ++attempt) {
      const fs::path path = folder / partial_name();
      const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
      if (fd < 0 && errno == EEXIST) continue;
      if (fd < 0) return errno;
      // Another run may have taken it for a leftover between the open and
      // the lock, and removed it.
      struct stat opened {};
      struct stat named {};
      if (flock(fd, LOCK_EX) == 0 && fstat(fd, &opened) == 0 && lstat(path.c_str(), &named) == 0 &&
          opened.st_dev == named.st_dev && opened.st_ino == named.st_ino) {
        fd_ = fd;
        path_ = path;
        // The lock stays with this second descriptor once the first is
        // closed, whose error is the copy's.
        lock_ = dup(fd);
        return lock_ >= 0 ? 0 : errno;
      }
      close(fd);
    }
    return EEXIST;
  }

  // The bytes of `in` into a new file of ours in `folder`, on the disk with
  // the photograph's permissions: 0 or the errno of the step that failed.
  int copy_from(int in, const fs::path& folder) {
    struct stat photo {};
    if (fstat(in, &photo) != 0) return errno;
    if (!S_ISREG(photo.st_mode)) return EINVAL;
    if (const int failure = create(folder)) return failure;
    std::vector<char> buffer(1 << 20);
    for (;;) {
      const ssize_t got = read(in, buffer.data(), buffer.size());
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return errno;
      if (got == 0) break;
      for (ssize_t written = 0; written < got;) {
        const ssize_t n = write(fd_, buffer.data() + written, static_cast<size_t>(got - written));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n < 0 ? errno : EIO;
        written += n;
      }
    }
    if (fchmod(fd_, photo.st_mode & 0777) != 0) return errno;
    if (fsync(fd_) != 0) return errno;
    const int closed = close(fd_);
    fd_ = -1;
    return closed == 0 ? 0 : errno;
  }

  fs::path path_;
  int fd_ = -1, lock_ = -1;
  bool published_ = false;
};

// A copy of ours that a killed run left: one no run holds locked.
void remove_leftover(const fs::path& file) {
  const int fd = open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;
  struct stat opened {};
  struct stat named {};
  if (fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode) && flock(fd, LOCK_EX | LOCK_NB) == 0 &&
      lstat(file.c_str(), &named) == 0 && opened.st_dev == named.st_dev &&
      opened.st_ino == named.st_ino) {
    unlink(file.c_str());
  }
  close(fd);
}

#endif

bool put(const fs::path& photo, const fs::path& place, sort_mode mode, partial_copy* copy,
         bool* copied, std::error_code* failure) {
  if (mode == sort_mode::hardlink) {
    fs::create_hard_link(photo, place, *failure);
    return !*failure;
  }
  if (mode == sort_mode::symlink) {
    fs::create_symlink(photo, place, *failure);
    // Windows makes symbolic links only with a privilege; a copy does.
    if (!*failure || *failure == std::errc::file_exists) return !*failure;
    *copied = true;
  }
  // The copy is made once, and renamed to the next free name where another
  // run took this one meanwhile.
  *failure = copy->made() ? std::error_code() : copy->make(place.parent_path(), photo);
  if (!*failure) *failure = copy->publish(place);
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
  name = utf8_prefix(name, longest_name);
  while (!name.empty() && (name.back() == '.' || name.back() == ' ')) name.pop_back();
  if (name.empty()) return "_";
  if (reserved_on_windows(name)) {
    const size_t dot = name.find('.');
    name.insert(dot == std::string::npos ? name.size() : dot, "_");
  }
  return name;
}

std::u32string caseless_name(const std::string& name) {
  std::u32string letters;
  for (size_t at = 0; at < name.size();) letters += folded(next_character(name, &at));
  return letters;
}

std::vector<std::string> class_folder_names(const std::vector<std::string>& labels) {
  std::vector<std::string> bases;
  // The folders given out, and those the labels' names would be, in any
  // case: a numbered folder takes neither.
  std::set<std::u32string> taken, named;
  for (const std::string& label : labels) {
    bases.push_back(folder_name(label));
    named.insert(caseless_name(bases.back()));
  }
  std::map<std::string, std::string> given;  // by base, for a label named twice
  std::vector<std::string> folders;
  for (const std::string& base : bases) {
    std::string& folder = given[base];
    if (folder.empty()) {
      folder = base;
      for (int number = 2; taken.count(caseless_name(folder)) != 0 ||
                           (folder != base && named.count(caseless_name(folder)) != 0);
           ++number) {
        folder = base + " (" + std::to_string(number) + ")";
      }
      taken.insert(caseless_name(folder));
    }
    folders.push_back(folder);
  }
  return folders;
}

std::string unsure_folder_name(const std::vector<std::string>& class_folders) {
  std::set<std::u32string> taken;
  for (const std::string& folder : class_folders) taken.insert(caseless_name(folder));
  std::string folder = "unsure";
  for (int number = 2; taken.count(caseless_name(folder)) != 0; ++number) {
    folder = "unsure (" + std::to_string(number) + ")";
  }
  return folder;
}

// Level by level: the folders of one level are named among those of their
// parent folder, so that "Dog" and "dog" under animal become two folders,
// while "dog" under animal and under toy stay "dog".
std::vector<std::string> category_folder_names(const std::vector<std::vector<std::string>>& paths) {
  const std::vector<std::string> no_path = {no_category_folder};
  const auto path_of = [&](size_t i) -> const std::vector<std::string>& {
    return paths[i].empty() ? no_path : paths[i];
  };
  std::vector<std::string> folders(paths.size());
  for (size_t depth = 0;; ++depth) {
    // The names of this level by the folder they are in, in the classes'
    // order.
    std::map<std::string, std::vector<std::string>> names_in;
    for (size_t i = 0; i < paths.size(); ++i) {
      if (depth < path_of(i).size()) names_in[folders[i]].push_back(path_of(i)[depth]);
    }
    if (names_in.empty()) return folders;
    std::map<std::pair<std::string, std::string>, std::string> named;  // by parent and name
    for (const auto& [parent, names] : names_in) {
      const std::vector<std::string> made = class_folder_names(names);
      for (size_t k = 0; k < names.size(); ++k) named[{parent, names[k]}] = made[k];
    }
    for (size_t i = 0; i < paths.size(); ++i) {
      if (depth >= path_of(i).size()) continue;
      const std::string& folder = named[{folders[i], path_of(i)[depth]}];
      folders[i] = folders[i].empty() ? folder : folders[i] + "/" + folder;
    }
  }
}

std::string given_folder_sorted_into(const std::string& sort_into,
                                     const std::vector<std::string>& given) {
  for (const std::string& path : given) {
    std::error_code failure;
    if (path != "-" && fs::is_directory(fs::u8path(path), failure) &&
        fs::equivalent(fs::u8path(path), fs::u8path(sort_into), failure) && !failure) {
      return path;
    }
  }
  return "";
}

std::set<std::u32string>* class_sorter::names_in(const std::string& folder, const fs::path& path) {
  const auto known = folders_.find(folder);
  if (known != folders_.end()) return &known->second;
  std::set<std::u32string>& names = folders_[folder];
  std::error_code failure;
  for (fs::directory_iterator it(path, failure), end; !failure && it != end;
       it.increment(failure)) {
    const std::string name = it->path().filename().u8string();
    if (is_partial_copy(name)) {
      remove_leftover(it->path());
    } else {
      names.insert(caseless_name(name));
    }
  }
  return &names;
}

result<sorted_photo> class_sorter::sort(const std::string& folder, const std::string& photo) {
  std::error_code code;
  const fs::path original = fs::absolute(fs::u8path(photo), code).lexically_normal();
  const fs::path into = fs::u8path(root_) / fs::u8path(folder);
  // A class folder that links elsewhere (another disk, the photographs'
  // own folder) is the user's; what is sorted stays under the folder given.
  // So is a category folder above it.
  const auto linked = [&]() -> std::optional<failure> {
    std::error_code ignored;
    fs::path level = fs::u8path(root_);
    for (const fs::path& name : fs::u8path(folder)) {
      level /= name;
      if (!fs::is_symlink(fs::symlink_status(level, ignored))) continue;
      return failure{level.u8string() + ": a symbolic link (to " +
                     fs::read_symlink(level, ignored).u8string() +
                     "), which nothing is written through; it is left as it is"};
    }
    return std::nullopt;
  };
  if (std::optional<failure> link = linked()) return *link;
  fs::create_directories(into, code);
  if (code) return failure{into.u8string() + ": cannot be made: " + code.message()};
  if (std::optional<failure> link = linked()) return *link;
  std::set<std::u32string>* taken = names_in(folder, into);
  const std::string name = original.filename().u8string();
  partial_copy copy;
  sorted_photo sorted;
  for (int number = 1; number < 100000; ++number) {
    const std::string candidate = numbered_name(name, number);
    const fs::path place = into / fs::u8path(candidate);
    sorted.place = place.u8string();
    if (already_there(place, original, mode_)) return sorted;
    // A name another has in another case is taken too: the two would be
    // one on many a disk the folder may be copied to.
    if (fs::exists(fs::symlink_status(place, code)) || taken->count(caseless_name(candidate))) {
      continue;
    }
    code = std::error_code();
    if (put(original, place, mode_, &copy, &sorted.copied, &code)) {
      taken->insert(caseless_name(candidate));
      return sorted;
    }
    // Another run took the name between the look and the link, for this
    // photograph maybe.
    if (code == std::errc::file_exists) {
      if (!already_there(place, original, mode_)) continue;
      return sorted;
    }
    return failure{place.u8string() + ": cannot be made: " + code.message()};
  }
  return failure{into.u8string() + ": no free name for " + name};
}

}  // namespace classify
