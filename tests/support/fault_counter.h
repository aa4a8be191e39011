#pragma once
// Counts the page faults of a child process from its exec on, its threads
// and children included, as `perf stat -e page-faults` counts them: the
// figure a program's start-up is judged by on machines where faults are dear.
// Shared by the process benchmark and the tests that guard the fault budget.

#include <linux/perf_event.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdint>

namespace classify {

// A counter for `pid`, enabled when it next calls exec; -1 where the kernel
// does not allow one (perf_event_paranoid, a container).
inline int open_fault_counter(pid_t pid) {
  perf_event_attr attr{};
  attr.size = sizeof attr;
  attr.type = PERF_TYPE_SOFTWARE;
  attr.config = PERF_COUNT_SW_PAGE_FAULTS;
  attr.disabled = 1;
  attr.enable_on_exec = 1;
  attr.inherit = 1;
  return static_cast<int>(syscall(SYS_perf_event_open, &attr, pid, -1, -1, PERF_FLAG_FD_CLOEXEC));
}

// The count of a counter from open_fault_counter, which it closes; -1 when
// there is none.
inline int64_t read_fault_counter(int fd) {
  if (fd < 0) return -1;
  uint64_t count = 0;
  const bool read_all = read(fd, &count, sizeof count) == static_cast<ssize_t>(sizeof count);
  close(fd);
  return read_all ? static_cast<int64_t>(count) : -1;
}

}  // namespace classify
