#include "tools/classify-photos/remote/chunk.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/platform.h"
#include "tools/classify-photos/remote/remote.h"
#include "tools/common/interruptions.h"
#include "tools/common/scratch_folder.h"
#include "tools/common/shell_words.h"
#include "tools/common/subprocess.h"

namespace classify {

namespace {

std::vector<std::string> read_lines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> read_list(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::string> paths;
  for (std::string path_text; std::getline(in, path_text, '\0');) paths.push_back(path_text);
  return paths;
}

// The machine a login names, for messages: its last word (user@host).
std::string machine_of(const std::string& login) {
  const size_t last = login.find_last_of(" \t");
  return last == std::string::npos ? login : login.substr(last + 1);
}

std::vector<std::string> ssh_command(const std::string& login, const std::string& control,
                                     const std::string& remote) {
  return {"/bin/sh", "-c", ssh_prefix(login, control) + " \"$@\"", "sh", remote};
}

// ssh's options for a connection shared through a socket in `control`:
// "auto" takes the connection there is or makes one, which then waits a
// little for the next chunk when it has lost its last session.
std::string sharing_options(const std::string& control, const char* master = "auto") {
  return control.empty()
             ? ""
             : std::string(" -o ControlMaster=") + master + " -o ControlPersist=10 -o " +
                   shell_quoted("ControlPath=" + control + "/%C");
}

// ssh to `login` with `extra` options: the sharing and the extra go right
// after "ssh" in a login that is an ssh command of the user's own; a command
// that is not ssh is taken as it is.
std::string ssh_words(const std::string& login, const std::string& control,
                      const std::string& extra, const char* master = "auto") {
  const size_t first_end = login.find_first_of(" \t");
  if (first_end == std::string::npos) {
    return "ssh -o BatchMode=yes" + sharing_options(control, master) + extra + " " +
           shell_quoted(login);
  }
  const std::string program = login.substr(0, first_end);
  const bool is_ssh = program == "ssh" ||
                      (program.size() > 4 && program.compare(program.size() - 4, 4, "/ssh") == 0);
  return is_ssh ? program + sharing_options(control, master) + extra + login.substr(first_end)
                : login;
}

// What the machine that classifies a chunk is told to run.
std::string remote_command(const photos_options& options) {
  std::vector<std::string> words = {
      installed_program_path(),           "--receive", "--relay-chunk",
      std::to_string(options.send_chunk), "--model",   options.model};
  const std::vector<std::string> passed = classifying_options(options);
  words.insert(words.end(), passed.begin(), passed.end());
  std::string command = "exec";
  for (const std::string& word : words) command += " " + shell_quoted(word);
  return command;
}

bool write_all(int fd, const std::string& text) {
  for (size_t done = 0; done < text.size();) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// The last line of what a program said on standard error.
std::string last_line(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  const size_t start = text.find_last_of('\n');
  return start == std::string::npos ? text : text.substr(start + 1);
}

// The relay lines of the connection, passed on as they come, and what ssh
// and tar say on standard error, kept for a failure. Ends when ssh has
// closed both, or on a stop signal.
void relay(int out, int err, long chunk, std::vector<bool>* got, std::string* said) {
  std::string pending;
  std::vector<pollfd> fds = {{out, POLLIN, 0}, {err, POLLIN, 0}};
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
    if (interruption() != 0) return;
    if (poll(fds.data(), fds.size(), 200) < 0 && errno != EINTR) return;
    for (pollfd& p : fds) {
      if (p.fd < 0 || (p.revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      char buffer[65536];
      const ssize_t n = read(p.fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        close(p.fd);
        p.fd = -1;
        continue;
      }
      if (&p == &fds[1]) {
        said->append(buffer, static_cast<size_t>(n));
        if (said->size() > 65536) said->erase(0, said->size() - 65536);
        continue;
      }
      pending.append(buffer, static_cast<size_t>(n));
      for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
        const std::string line = pending.substr(0, end);
        pending.erase(0, end + 1);
        long line_chunk = 0;
        size_t position = 0;
        photo_result result;
        if (!parse_relay_line(line, &line_chunk, &position, &result) || line_chunk != chunk ||
            position >= got->size()) {
          continue;
        }
        (*got)[position] = true;
        const std::string whole = line + '\n';
        if (std::fwrite(whole.data(), 1, whole.size(), stdout) != whole.size()) return;
        std::fflush(stdout);
      }
    }
  }
}

}  // namespace

std::string ssh_prefix(const std::string& login, const std::string& control) {
  return ssh_words(login, control, "");
}

pid_t open_shared_connection(const std::string& login, const std::string& control) {
  if (control.empty() || ssh_prefix(login, control) == login) return -1;
  const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
  const pid_t pid =
      spawn({"/bin/sh", "-c", "exec " + ssh_words(login, control, " -N", "yes")}, null, null, null);
  if (null >= 0) close(null);
  return pid;
}

void close_shared_connection(const std::string& login, const std::string& control) {
  if (control.empty() || ssh_prefix(login, control) == login) return;
  // "-O exit" asks the master to end; it goes where options go.
  const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
  const pid_t pid =
      spawn({"/bin/sh", "-c", ssh_words(login, control, " -O exit")}, null, null, null);
  if (null >= 0) close(null);
  wait_for(pid);
}

std::optional<outcome> send_chunk(const photos_options& options, std::vector<std::string>* photos) {
  const std::vector<std::string> logins = read_lines(options.logins);
  const std::vector<std::string> list =
      options.photos.empty() ? std::vector<std::string>{} : read_list(options.photos.front());
  if (logins.empty() || options.job_slot < 1) return outcome(failure{});
  const std::string login = logins[static_cast<size_t>(options.job_slot - 1) % logins.size()];
  if (login == ":") {
    *photos = list;
    return std::nullopt;
  }
  catch_interruptions();

  const bool copy = options.remote_root.empty();
  std::vector<std::string> names;
  for (const std::string& path : list) {
    names.push_back(copy ? path.substr(1)
                         : (options.remote_root == "/" ? "" : options.remote_root) + path);
  }
  const std::string header = chunk_head(copy, names);
  const std::string names_file = options.photos.front() + ".names";
  if (copy) std::ofstream(names_file, std::ios::binary) << header.substr(header.find('\n') + 1);

  int in[2], out[2], err[2];
  if (!pipe_pair(in) || !pipe_pair(out) || !pipe_pair(err)) return outcome(failure{});
  const pid_t ssh = spawn(ssh_command(login, options.ssh_control, remote_command(options)), in[0],
                          out[1], err[1]);
  close(in[0]);
  close(out[1]);
  pid_t tar = -1;
  if (ssh > 0 && write_all(in[1], header) && copy) {
    tar = spawn({"tar", "-cf", "-", "--dereference", "-C", "/", "--null", "--no-recursion", "-T",
                 names_file},
                STDIN_FILENO, in[1], err[1]);
  }
  close(in[1]);
  close(err[1]);

  std::vector<bool> got(list.size(), false);
  std::string said;
  relay(out[0], err[0], options.send_chunk, &got, &said);
  if (interruption() != 0) {
    for (const pid_t child : {ssh, tar}) {
      if (child > 0) kill(child, SIGTERM);
    }
  }
  wait_for(tar);
  const int status = wait_for(ssh);
  if (interruption() != 0) return outcome(interrupted_by(interruption()));
  std::string why = last_line(said);
  if (why.empty() && ssh < 0) why = "ssh cannot be started";
  if (why.empty()) {
    why = WIFEXITED(status) ? "ssh ended with status " + std::to_string(WEXITSTATUS(status))
                            : "ssh was ended by a signal";
  }
  bool all = true;
  for (size_t i = 0; i < got.size(); ++i) {
    if (got[i]) continue;
    all = false;
    photo_result failed;
    failed.outcome = photo_result::state::failed;
    failed.reason = "no result from " + machine_of(login) + ": " + why;
    std::fputs(relay_line(options.send_chunk, i, failed).c_str(), stdout);
  }
  if (std::fflush(stdout) == 0 && all) return outcome();
  return outcome(failure{});
}

result<std::vector<std::string>> receive_chunk() {
  // The header, read a byte at a time so that nothing of what follows it is
  // taken from tar.
  std::string line;
  for (char c; line.size() < 256;) {
    const ssize_t n = read(STDIN_FILENO, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || c == '\n') break;
    line += c;
  }
  chunk_header header;
  if (!parse_chunk_header(line, &header)) {
    return failure{"standard input is not a chunk of photographs"};
  }
  const size_t length = header.length;
  std::string names(length, '\0');
  for (size_t done = 0; done < length;) {
    const ssize_t n = read(STDIN_FILENO, &names[done], length - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return failure{"the chunk's list of photographs ends early"};
    done += static_cast<size_t>(n);
  }
  std::vector<std::string> paths;
  if (!parse_chunk_list(names, header.count, &paths)) {
    return failure{"the chunk's list of photographs is damaged"};
  }
  if (!header.copy) return paths;
  // A connection that goes away while the photographs come in must not
  // leave them here: from the folder on, its signal ends tar, and the
  // process ends by it, with the folder removed.
  catch_interruptions(true);
  const std::string folder = make_scratch_folder("classify-photos-chunk");
  if (folder.empty()) {
    return failure{"no scratch folder for the chunk: " + std::string(std::strerror(errno))};
  }
  const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  const pid_t tar =
      spawn({"tar", "-xf", "-", "-C", folder, "--no-same-owner"}, STDIN_FILENO, null, null);
  if (null >= 0) close(null);
  while (tar > 0 && waitpid(tar, nullptr, 0) < 0 && errno == EINTR) {
    if (interruption() == 0) continue;
    kill(tar, SIGTERM);
    wait_for(tar);
    return interrupted_by(interruption());
  }
  if (interruption() != 0) return interrupted_by(interruption());
  std::vector<std::string> photos;
  for (const std::string& path : paths) photos.push_back(folder + "/" + path);
  return photos;
}

}  // namespace classify
