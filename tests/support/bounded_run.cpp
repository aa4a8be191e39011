#include "tests/support/bounded_run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace classify {

bounded_result run_bounded(const std::string& program, const std::vector<std::string>& args,
                           const std::string& cwd, std::chrono::milliseconds limit) {
  using clock = std::chrono::steady_clock;
  int out_pipe[2];
  int err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  const clock::time_point start = clock::now();
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    setpgid(0, 0);
    const int null_fd = open("/dev/null", O_RDONLY);
    dup2(null_fd, 0);
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    if (chdir(cwd.c_str()) != 0) _exit(126);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  setpgid(pid, pid);
  close(out_pipe[1]);
  close(err_pipe[1]);
  bounded_result result;
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open_count = 2;
  char chunk[65536];
  while (open_count > 0) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(start + limit - clock::now());
    if (left.count() <= 0 && !result.timed_out) {
      result.timed_out = true;
      kill(-pid, SIGKILL);
    }
    const int ready = poll(fds, 2, result.timed_out ? 1000 : static_cast<int>(left.count()) + 1);
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) {
      if (result.timed_out) break;  // a grandchild that keeps the pipes open
      continue;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
      if (n > 0) {
        sinks[i]->append(chunk, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
  for (const pollfd& fd : fds) {
    if (fd.fd >= 0) close(fd.fd);
  }
  int wait_status = 0;
  while (waitpid(pid, &wait_status, 0) < 0 && errno == EINTR) {
  }
  result.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
  result.seconds = std::chrono::duration<double>(clock::now() - start).count();
  return result;
}

}  // namespace classify
