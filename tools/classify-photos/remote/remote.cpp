#include "tools/classify-photos/remote/remote.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "photo/photo.h"
#include "platform/platform.h"
#include "tools/classify-photos/classify/workers.h"
#include "tools/classify-photos/remote/chunk.h"
#include "tools/common/command_line.h"
#include "tools/common/scratch_folder.h"
#include "tools/common/subprocess.h"

namespace classify {

std::vector<std::string> classifying_options(const photos_options& options) {
  const auto numbers = [](const std::vector<float>& values) {
    std::string text;
    for (const float v : values) text += (text.empty() ? "" : ",") + exact_text(v);
    return text;
  };
  // --top only where given: a multi-label model takes every class that
  // counts otherwise.
  std::vector<std::string> args;
  if (options.top_given) args.insert(args.end(), {"--top", std::to_string(options.top)});
  if (options.jobs > 0) args.insert(args.end(), {"--jobs", std::to_string(options.jobs)});
  if (options.crop_given) args.insert(args.end(), {"--crop", exact_text(options.crop)});
  if (options.kernels == kernel_choice::builtin) args.insert(args.end(), {"--kernels", "builtin"});
  if (!options.mean.empty()) args.insert(args.end(), {"--mean", numbers(options.mean)});
  if (!options.std.empty()) args.insert(args.end(), {"--std", numbers(options.std)});
  if (options.threshold_given) {
    args.insert(args.end(), {"--threshold", exact_text(options.threshold)});
  }
  if (options.multi_label) args.push_back("--multi-label");
  if (options.scores != score_conversion::as_given) {
    args.insert(args.end(),
                {"--scores", options.scores == score_conversion::softmax ? "softmax" : "sigmoid"});
  }
  if (!options.only_indices.empty()) {
    args.insert(args.end(), {"--only-indices", options.only_indices});
  }
  if (!options.except_indices.empty()) {
    args.insert(args.end(), {"--except-indices", options.except_indices});
  }
  return args;
}

photos_options with_class_indices(const photos_options& options, const class_selection& selection) {
  photos_options resolved = options;
  if (selection.allowed.empty()) return resolved;
  (selection.allow_list ? resolved.only_indices : resolved.except_indices) =
      index_list(selection.listed);
  return resolved;
}

size_t chunk_size(size_t count, size_t logins) {
  // Four chunks a login, two at a time: while one is copied the other is
  // classified, and each chunk's ssh session (a tenth of a second even on a
  // shared connection) and start on the far side are shared by a quarter of
  // the login's photographs, at most 256.
  const size_t spread = 4 * std::max<size_t>(logins, 1);
  return std::clamp<size_t>((count + spread - 1) / spread, 1, 256);
}

outcome machines_usable(const photos_options& options) {
  if (only_this_machine(options.sshlogins)) return {};
  return parallel_installed();
}

outcome parallel_installed() {
  // The shell's own search of PATH, as it will find the program later.
  const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
  const pid_t shell = spawn({"/bin/sh", "-c", "command -v parallel"}, null, null, null);
  if (null >= 0) close(null);
  const int status = wait_for(shell);
  if (status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0) return {};
  return failure{"--sshlogin needs GNU parallel, which is not installed (Debian: parallel)"};
}

namespace {

// The whole path of `path` here, links resolved where it exists: the far
// side finds it at the same path.
std::string resolved(const std::string& path) {
  std::error_code error;
  const std::filesystem::path full = std::filesystem::canonical(path, error);
  if (!error) return full.string();
  const std::filesystem::path here = std::filesystem::absolute(path, error);
  return error ? path : here.string();
}

// The options a chunk's job passes on to the machine that classifies it.
std::vector<std::string> job_options(const photos_options& options) {
  std::vector<std::string> args = {"--model", resolved(options.model)};
  const std::vector<std::string> passed = classifying_options(options);
  args.insert(args.end(), passed.begin(), passed.end());
  if (!options.remote_root.empty()) args.insert(args.end(), {"--remote-root", options.remote_root});
  return args;
}

std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

remote_batch::remote_batch(const photos_options& options, const std::vector<std::string>& photos,
                           int error_fd, result_board* board)
    : board_(board) {
  if (!choose_readable(photos)) return;
  if (!write_chunks(options, photos)) {
    fail_the_rest("the chunk lists cannot be written");
    return;
  }
  open_connections();
  start_parallel(parallel_command(options), error_fd);
  // Without a reader, the connections are still this thread's to close.
  if (!reader_.joinable()) close_connections();
}

bool remote_batch::choose_readable(const std::vector<std::string>& photos) {
  // What cannot be read here is reported here, in its place.
  for (size_t i = 0; i < photos.size(); ++i) {
    std::string error;
    if (board_->has(i)) continue;  // taken from the cache
    if (check_readable_file(photos[i], &error)) {
      sent_.push_back(i);
    } else {
      board_->post(i, {photo_result::state::failed, {}, reason_for(photos[i], error)});
    }
  }
  return !sent_.empty();
}

void remote_batch::open_connections() {
  // A socket's path is short (about 100 bytes): the sockets go to a folder
  // of their own in /tmp, whatever TMPDIR is.
  control_ = make_scratch_folder("classify-ssh", "/tmp");
  std::set<std::string> opened;
  for (const std::string& login : logins_) {
    if (login == ":" || !opened.insert(login).second) continue;
    const pid_t master = open_shared_connection(login, control_);
    if (master > 0) masters_.push_back(master);
  }
}

std::vector<std::string> remote_batch::parallel_command(const photos_options& options) const {
  // Two job slots a login: slot s stands for login (s - 1) mod L.
  std::vector<std::string> args = {"parallel", "--will-cite", "--line-buffer", "--jobs",
                                   std::to_string(2 * options.sshlogins.size())};
  if (!options.joblog.empty()) args.insert(args.end(), {"--joblog", options.joblog});
  args.insert(args.end(), {"-q", program_path(), "--send-chunk", "{#}", "--job-slot", "{%}",
                           "--logins", folder_ + "/logins"});
  if (!control_.empty()) args.insert(args.end(), {"--ssh-control", control_});
  const std::vector<std::string> passed = job_options(options);
  args.insert(args.end(), passed.begin(), passed.end());
  args.insert(args.end(), {"--", "{}", "::::", folder_ + "/chunks"});
  return args;
}

void remote_batch::start_parallel(const std::vector<std::string>& args, int error_fd) {
  int from_child[2];
  if (!pipe_pair(from_child)) {
    fail_the_rest("GNU parallel cannot be started");
    return;
  }
  // GNU parallel's own messages are kept for its failure, and its own
  // folder goes with the batch's, not into ~/.parallel.
  const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
  const int messages =
      open((folder_ + "/parallel.err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  parallel_.adopt(spawn(args, null, from_child[1], messages >= 0 ? messages : STDERR_FILENO,
                        {{"PARALLEL_HOME", folder_ + "/parallel"}}));
  if (null >= 0) close(null);
  if (messages >= 0) close(messages);
  close(from_child[1]);
  if (!parallel_.running()) {
    close(from_child[0]);
    fail_the_rest("GNU parallel cannot be started");
    return;
  }
  // stop() never waits on the reader: one byte is all it has to say.
  if (pipe_pair(wake_)) fcntl(wake_[1], F_SETFL, O_NONBLOCK);
  reader_ = std::thread(&remote_batch::read_results, this, from_child[0], error_fd);
}

bool remote_batch::write_chunks(const photos_options& options,
                                const std::vector<std::string>& photos) {
  folder_ = make_scratch_folder("classify-photos");
  if (folder_.empty()) return false;
  logins_ = options.sshlogins;
  std::ofstream logins(folder_ + "/logins");
  for (const std::string& login : options.sshlogins) logins << login << '\n';
  chunk_size_ = chunk_size(sent_.size(), options.sshlogins.size());
  // A chunk's list: the photographs' whole paths, each ended by a NUL.
  std::ofstream chunks(folder_ + "/chunks");
  for (size_t first = 0, number = 1; first < sent_.size(); first += chunk_size_, ++number) {
    const std::string list = folder_ + "/" + std::to_string(number);
    std::ofstream out(list, std::ios::binary);
    for (size_t k = first; k < std::min(first + chunk_size_, sent_.size()); ++k) {
      out << resolved(photos[sent_[k]]) << '\0';
    }
    chunks << list << '\n';
    if (!out) return false;
  }
  return static_cast<bool>(logins) && static_cast<bool>(chunks);
}

void remote_batch::read_results(int fd, int error_fd) {
  // GNU parallel's lines until it closes its output, and the connections
  // closed as soon as stop() asks.
  std::string pending;
  pollfd fds[2] = {{fd, POLLIN, 0}, {wake_[0], POLLIN, 0}};
  for (;;) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents != 0) {
      close_connections();
      fds[1].fd = -1;
    }
    if (fds[0].revents == 0) continue;
    char buffer[65536];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    pending.append(buffer, static_cast<size_t>(n));
    post_lines(&pending);
  }
  close(fd);
  // A last line without its line feed counts too.
  if (!pending.empty()) pending += '\n';
  post_lines(&pending);
  const int status = parallel_.wait();
  close_connections();
  // GNU parallel's exit status counts the jobs that failed, which have said
  // why in their lines; only its own failure shows its messages.
  const bool failed_itself = !WIFEXITED(status) || WEXITSTATUS(status) > 100;
  if (failed_itself && error_fd >= 0) {
    const std::string messages = read_all(folder_ + "/parallel.err");
    if (write(error_fd, messages.data(), messages.size()) < 0) {
      // Nothing more can be told.
    }
  }
  fail_the_rest("no result (its job did not finish)");
}

void remote_batch::post_lines(std::string* text) {
  size_t start = 0;
  for (size_t end; (end = text->find('\n', start)) != std::string::npos; start = end + 1) {
    long chunk = 0;
    size_t position = 0;
    photo_result result;
    if (!parse_relay_line(text->substr(start, end - start), &chunk, &position, &result)) continue;
    const size_t at = static_cast<size_t>(chunk - 1) * chunk_size_ + position;
    if (at < sent_.size()) board_->post(sent_[at], std::move(result));
  }
  text->erase(0, start);
}

void remote_batch::fail_the_rest(const std::string& reason) {
  for (const size_t i : sent_) board_->post(i, {photo_result::state::failed, {}, reason});
}

void remote_batch::close_connections() {
  if (connections_closed_) return;
  connections_closed_ = true;
  for (const std::string& login : logins_) {
    if (login != ":") close_shared_connection(login, control_);
  }
  for (const pid_t master : masters_) {
    kill(master, SIGTERM);
    wait_for(master);
  }
  masters_.clear();
}

void remote_batch::stop() {
  parallel_.signal(SIGINT);
  if (wake_[1] >= 0 && write(wake_[1], "", 1) < 0) {
    // Already asked: the pipe holds a byte the reader has not taken.
  }
}

remote_batch::~remote_batch() {
  if (reader_.joinable()) reader_.join();
  for (const int fd : wake_) {
    if (fd >= 0) close(fd);
  }
}

}  // namespace classify
