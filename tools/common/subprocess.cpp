#include "tools/common/subprocess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace classify {

namespace {

// What the program is started with, made here beforehand: the child of
// posix_spawnp only applies it.
class spawn_setup {
 public:
  spawn_setup() {
    posix_spawn_file_actions_init(&actions_);
    posix_spawnattr_init(&attributes_);
  }
  ~spawn_setup() {
    posix_spawnattr_destroy(&attributes_);
    posix_spawn_file_actions_destroy(&actions_);
  }
  spawn_setup(const spawn_setup&) = delete;
  spawn_setup& operator=(const spawn_setup&) = delete;

  // `from` becomes the program's descriptor `to` (a negative `from` leaves
  // this process's).
  bool stream(int from, int to) {
    return from < 0 || posix_spawn_file_actions_adddup2(&actions_, from, to) == 0;
  }

  // This process ignores a broken pipe and notes the stop signals; what it
  // starts must not. The mask is the calling thread's otherwise.
  bool shell_signals() {
    sigset_t defaults, none;
    sigemptyset(&defaults);
    for (const int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP}) sigaddset(&defaults, sig);
    sigemptyset(&none);
    return posix_spawnattr_setsigdefault(&attributes_, &defaults) == 0 &&
           posix_spawnattr_setsigmask(&attributes_, &none) == 0 &&
           posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK) ==
               0;
  }

  pid_t start(char* const argv[], char* const envp[]) {
    pid_t pid = -1;
    return posix_spawnp(&pid, argv[0], &actions_, &attributes_, argv, envp) == 0 ? pid : -1;
  }

 private:
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attributes_;
};

// This process's environment with `added` in place of the settings of the
// same names.
std::vector<std::string> environment_with(
    const std::vector<std::pair<std::string, std::string>>& added) {
  std::vector<std::string> settings;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const char* equals = std::strchr(*entry, '=');
    const size_t name_length = equals != nullptr ? static_cast<size_t>(equals - *entry) : 0;
    bool replaced = false;
    for (const auto& setting : added) {
      replaced = replaced || (setting.first.size() == name_length &&
                              setting.first.compare(0, name_length, *entry, name_length) == 0);
    }
    if (!replaced) settings.emplace_back(*entry);
  }
  for (const auto& [name, value] : added) settings.push_back(name + "=" + value);
  return settings;
}

std::vector<char*> pointers(const std::vector<std::string>& words) {
  std::vector<char*> list;
  for (const std::string& word : words) list.push_back(const_cast<char*>(word.c_str()));
  list.push_back(nullptr);
  return list;
}

}  // namespace

pid_t spawn(const std::vector<std::string>& args, int in, int out, int err,
            const std::vector<std::pair<std::string, std::string>>& environment) {
  if (args.empty()) return -1;
  spawn_setup setup;
  if (!setup.stream(in, STDIN_FILENO) || !setup.stream(out, STDOUT_FILENO) ||
      !setup.stream(err, STDERR_FILENO) || !setup.shell_signals()) {
    return -1;
  }
  const std::vector<char*> argv = pointers(args);
  if (environment.empty()) return setup.start(argv.data(), environ);
  const std::vector<std::string> settings = environment_with(environment);
  const std::vector<char*> envp = pointers(settings);
  return setup.start(argv.data(), envp.data());
}

bool pipe_pair(int fds[2]) { return pipe2(fds, O_CLOEXEC) == 0; }

int wait_for(pid_t pid) {
  if (pid <= 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return status;
}

child_process::~child_process() {
  if (running()) wait();
}

void child_process::adopt(pid_t pid) {
  std::lock_guard<std::mutex> lock(mutex_);
  pid_ = pid > 0 ? pid : -1;
}

bool child_process::running() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pid_ > 0;
}

bool child_process::signal(int sig) {
  std::lock_guard<std::mutex> lock(mutex_);
  return pid_ > 0 && kill(pid_, sig) == 0;
}

int child_process::wait() {
  pid_t pid = -1;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    pid = pid_;
  }
  if (pid <= 0) return -1;
  // The program's end, leaving it a zombie whose id no one else can have
  // while a signal may still be sent to it.
  siginfo_t info{};
  while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
  }
  std::lock_guard<std::mutex> lock(mutex_);
  const int status = wait_for(pid);
  pid_ = -1;
  return status;
}

}  // namespace classify
