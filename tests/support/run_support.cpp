#include "tests/support/run_support.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace classify {

#ifndef CLASSIFY_EXE
#error "CLASSIFY_EXE must name the classify program under test"
#endif

scratch_dir::scratch_dir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "classify-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path = pattern;
}

scratch_dir::~scratch_dir() {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

void scratch_dir::write(const std::string& name, const std::string& bytes) const {
  std::ofstream out(file(name), std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + file(name));
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

namespace {

// Reads both pipes until the child closes them, so that neither can fill up
// and stall the child.
void drain(int out_fd, int err_fd, std::string* out, std::string* err) {
  pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  std::string* sinks[2] = {out, err};
  int open_count = 2;
  char chunk[65536];
  while (open_count > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
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
}

}  // namespace

run_result run_program(const std::string& program, const std::vector<std::string>& args,
                       const std::string& cwd) {
  int out_pipe[2];
  int err_pipe[2];
  if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) throw std::runtime_error("pipe failed");
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    const int null_fd = open("/dev/null", O_RDONLY);
    dup2(null_fd, 0);
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    close(out_pipe[0]);
    close(err_pipe[0]);
    if (chdir(cwd.c_str()) != 0) _exit(126);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  run_result result;
  drain(out_pipe[0], err_pipe[0], &result.out, &result.err);
  int wait_status = 0;
  while (waitpid(pid, &wait_status, 0) < 0 && errno == EINTR) {
  }
  result.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
  return result;
}

std::vector<std::string> classify_command() {
  const char* exe = std::getenv("CLASSIFY_TEST_EXE");
  if (exe == nullptr || *exe == '\0') return {CLASSIFY_EXE};
  const char* runner = std::getenv("CLASSIFY_TEST_RUNNER");
  if (runner == nullptr || *runner == '\0') return {exe};
  return {runner, exe};
}

run_result run_classify(const std::string& cwd, const std::vector<std::string>& args) {
  std::vector<std::string> command = classify_command();
  command.insert(command.end(), args.begin(), args.end());
  return run_program(command.front(), {command.begin() + 1, command.end()}, cwd);
}

std::string eol() {
  const char* eol = std::getenv("CLASSIFY_TEST_EOL");
  return eol != nullptr && std::string(eol) == "crlf" ? "\r\n" : "\n";
}

std::string result_line(const std::string& index, const std::string& score) {
  return class_label + index + probability_label + score + eol();
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

pid_t start_program(std::vector<std::string> args, const std::string& cwd, const std::string& out,
                    const std::vector<std::pair<std::string, std::string>>& environment,
                    bool own_group) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  if (own_group) setpgid(0, 0);
  if (chdir(cwd.c_str()) != 0) _exit(126);
  for (const auto& [name, value] : environment) setenv(name.c_str(), value.c_str(), 1);
  if (std::freopen(out.c_str(), "w", stdout) == nullptr) _exit(126);
  if (std::freopen("/dev/null", "w", stderr) == nullptr) _exit(126);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  execv(argv[0], argv.data());
  _exit(127);
}

}  // namespace classify
