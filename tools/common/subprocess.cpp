#include "tools/common/subprocess.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace classify {

pid_t spawn(const std::vector<std::string>& args, int in, int out, int err,
            const std::vector<int>& to_close,
            const std::vector<std::pair<std::string, std::string>>& environment) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  dup2(in, STDIN_FILENO);
  dup2(out, STDOUT_FILENO);
  dup2(err, STDERR_FILENO);
  for (const int fd : to_close) close(fd);
  for (const auto& [name, value] : environment) setenv(name.c_str(), value.c_str(), 1);
  // This process ignores a broken pipe; what it starts must not.
  for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP}) signal(sig, SIG_DFL);
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  execvp(argv[0], argv.data());
  _exit(127);
}

int wait_for(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return status;
}

}  // namespace classify
