#pragma once
// The helper programs classify-photos starts on POSIX systems (GNU parallel,
// ssh, tar), each with the signals a shell would give it. Not built on
// Windows, where --sshlogin is refused.

#include <sys/types.h>

#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace classify {

// Starts `args` (found on PATH) with `in`, `out` and `err` as its standard
// streams and `environment` added to this process's; its id, or -1 when it
// cannot be started (a program that is not there among them). It is started
// with posix_spawnp, so that a thread of this process may start it: nothing
// runs between the fork and the program. Every other descriptor of this
// process that the program should not keep must be close-on-exec (pipe_pair
// makes them so). The program starts with no signal blocked and the signals
// this process ignores or notes (a broken pipe, Ctrl-C, SIGTERM, SIGHUP) at
// their defaults.
pid_t spawn(const std::vector<std::string>& args, int in, int out, int err,
            const std::vector<std::pair<std::string, std::string>>& environment = {});

// A pipe whose two ends are close-on-exec, so that no program started by
// another thread keeps one; false when there is none.
bool pipe_pair(int fds[2]);

// Waits for `pid` to end; its wait status, or -1 (at once where `pid` is not
// a process's id: a wait for -1 would take any child).
int wait_for(pid_t pid);

// A started program that one thread waits for while another may signal it.
// Its id is signalled only until it is reaped, never after, when the system
// may have given it to another process: the wait waits for the end without
// reaping, then reaps under the lock that the signal takes.
class child_process {
 public:
  child_process() = default;
  // Waits for the program, where there is one.
  ~child_process();
  child_process(const child_process&) = delete;
  child_process& operator=(const child_process&) = delete;

  // Takes the program `pid` (from spawn; -1 for none) to wait for.
  void adopt(pid_t pid);
  // True from adopt until the wait has reaped it.
  bool running() const;
  // Sends `sig` to the program unless it has been reaped; true when sent.
  // Any thread.
  bool signal(int sig);
  // Waits for the program to end and reaps it: its wait status, or -1 where
  // there is none. One thread at a time.
  int wait();

 private:
  mutable std::mutex mutex_;
  pid_t pid_ = -1;
};

}  // namespace classify
