#include <fcntl.h>
#include <link.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "platform/platform.h"

namespace classify {

std::FILE* open_for_reading(const std::string& path) { return std::fopen(path.c_str(), "rb"); }

std::vector<std::string> program_arguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

const uint8_t* map_file_readonly(const std::string& path, size_t* size) {
  // Opening a FIFO would block and a directory cannot be mapped: only a
  // non-empty regular file is taken.
  struct stat info {};
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size <= 0) {
    return nullptr;
  }
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  // Populated at once: the check, the library's own verification and the
  // first invocation's reads of the weights then take no page fault each.
  void* mapped = mmap(nullptr, static_cast<size_t>(info.st_size), PROT_READ,
                      MAP_PRIVATE | MAP_POPULATE, fd, 0);
  close(fd);
  if (mapped == MAP_FAILED) return nullptr;
  *size = static_cast<size_t>(info.st_size);
  return static_cast<const uint8_t*>(mapped);
}

namespace {

int populate_read_only_segments(dl_phdr_info* info, size_t, void* done) {
  // The first object is the program itself.
  if (*static_cast<bool*>(done)) return 1;
  *static_cast<bool*>(done) = true;
#if defined(MADV_POPULATE_READ)
  const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& segment = info->dlpi_phdr[i];
    if (segment.p_type != PT_LOAD || (segment.p_flags & PF_W) != 0) continue;
    const uintptr_t start = (info->dlpi_addr + segment.p_vaddr) & ~(page - 1);
    const uintptr_t end =
        (info->dlpi_addr + segment.p_vaddr + segment.p_memsz + page - 1) & ~(page - 1);
    // A kernel older than 5.14 refuses the advice: nothing is lost.
    madvise(reinterpret_cast<void*>(start), end - start, MADV_POPULATE_READ);
  }
#endif
  return 1;
}

}  // namespace

void map_program_image() {
  bool done = false;
  dl_iterate_phdr(populate_read_only_segments, &done);
}

void grow_heap(size_t bytes) {
#if defined(__GLIBC__)
  constexpr uintptr_t huge_page = uintptr_t{2} << 20;
  // Keep large buffers on this heap instead of in mappings of their own, and
  // keep the heap from being trimmed back mid-run.
  mallopt(M_MMAP_THRESHOLD, static_cast<int>(bytes * 2));
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  // Threads allocate here too, instead of in arenas of their own whose every
  // page is a fresh fault.
  mallopt(M_ARENA_MAX, 1);
  // A block this large comes from the top of the heap, so it shows where the
  // free space begins; freed, it leaves the heap grown by that much.
  // Through a volatile pointer, so that the compiler keeps the pair.
  void* volatile probe = malloc(bytes);
  const auto first = reinterpret_cast<uintptr_t>(probe);
  free(probe);
  const auto end = reinterpret_cast<uintptr_t>(sbrk(0));
  const uintptr_t aligned = (first + huge_page - 1) & ~(huge_page - 1);
  if (first == 0 || end <= aligned) return;
  madvise(reinterpret_cast<void*>(aligned), end - aligned, MADV_HUGEPAGE);
  // The space below the first huge page would be handed out first, in 4 KiB
  // pages that take a fault each: a block that fills it exactly (a chunk's
  // size is the request plus its 8-byte header, rounded up to 16) is taken
  // and kept untouched, so that what the run allocates next starts on the
  // huge page.
  if (aligned - first >= 1024) {
    void* volatile filler = malloc(aligned - first + 8);
    (void)filler;
  }
#else
  (void)bytes;
#endif
}

int divert_standard_error() {
  std::fflush(stderr);
  const int saved = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
  const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (saved >= 0 && null >= 0) dup2(null, STDERR_FILENO);
  if (null >= 0) close(null);
  return saved;
}

void restore_standard_error(int saved) {
  if (saved < 0) return;
  std::fflush(stderr);
  dup2(saved, STDERR_FILENO);
  close(saved);
}

bool is_terminal(int fd) { return isatty(fd) == 1; }

void ignore_broken_pipe() { signal(SIGPIPE, SIG_IGN); }

std::FILE* write_stream(int fd) { return fdopen(fd, "w"); }

std::string program_path() {
  char path[4096];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  return length > 0 ? std::string(path, static_cast<size_t>(length)) : std::string();
}

std::string installed_program_path() {
  const std::string self = program_path();
  const std::string portable = "/libexec/classify/x86-64/";
  const size_t at = self.rfind(portable);
  if (at == std::string::npos || self.find('/', at + portable.size()) != std::string::npos) {
    return self;
  }
  return self.substr(0, at) + "/bin/" + self.substr(at + portable.size());
}

std::string private_module_path(const std::string& file_name) {
  std::string dir = installed_program_path();
  if (dir.find('/') == std::string::npos) return file_name;
  dir.erase(dir.rfind('/'));
  const std::string beside = dir + "/" + file_name;
  if (access(beside.c_str(), R_OK) == 0) return beside;
  return dir + "/" CLASSIFY_MODULE_FROM_BINDIR "/" + file_name;
}

}  // namespace classify
