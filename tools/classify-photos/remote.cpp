#include "remote.h"

#if !defined(_WIN32)
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "photo.h"
#include "platform.h"
#include "workers.h"

std::string relay_line(long chunk, size_t position, const photo_result& result) {
  std::string line = std::to_string(chunk) + '\t' + std::to_string(position) + '\t';
  if (result.outcome == photo_result::state::classified) {
    line += "ok";
    for (const class_score& c : result.classes) {
      line += '\t' + std::to_string(c.index) + '\t' + c.score;
    }
  } else {
    std::string reason = result.reason;
    std::replace_if(
        reason.begin(), reason.end(), [](char c) { return c == '\t' || c == '\n' || c == '\r'; },
        ' ');
    line += "error\t" + reason;
  }
  return line + '\n';
}

std::string relayed_path(const std::string& given) {
  if (given.compare(0, 3, "/./") != 0) return given;
  const std::string copied = given.substr(3);
  std::error_code ignored;
  return std::filesystem::exists(std::filesystem::u8path(copied), ignored) ? copied : given;
}

#if defined(_WIN32)

// GNU parallel and ssh are not there to run: --sshlogin is refused before a
// batch starts, and a batch given one anyway fails every photograph.
bool parallel_installed(std::string* why) {
  *why = "--sshlogin needs GNU parallel, which this Windows build cannot run";
  return false;
}

remote_batch::remote_batch(const photos_options&, const std::vector<std::string>& photos, int,
                           result_board* board)
    : board_(board) {
  for (size_t i = 0; i < photos.size(); ++i) {
    board->post(i, {photo_result::state::failed, {}, "--sshlogin is not available here"});
  }
}

void remote_batch::read_results(int) {}
void remote_batch::fail_the_rest(const std::string&) {}
void remote_batch::stop() {}
remote_batch::~remote_batch() = default;

#else

bool parallel_installed(std::string* why) {
  *why = "--sshlogin needs GNU parallel, which is not installed (Debian: parallel)";
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
  for (size_t start = 0; start <= dirs.size();) {
    const size_t end = std::min(dirs.find(':', start), dirs.size());
    const std::string candidate = dirs.substr(start, end - start) + "/parallel";
    if (access(candidate.c_str(), X_OK) == 0) return true;
    start = end + 1;
  }
  return false;
}

namespace {

std::string absolute(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  char here[PATH_MAX];
  return getcwd(here, sizeof here) != nullptr ? std::string(here) + "/" + path : path;
}

std::string resolved(const std::string& path) {
  char full[PATH_MAX];
  return realpath(path.c_str(), full) != nullptr ? std::string(full) : absolute(path);
}

// Writes all of `text` to `fd`; false when the reader has gone.
bool write_all(int fd, const std::string& text) {
  for (size_t done = 0; done < text.size();) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

remote_batch::remote_batch(const photos_options& options, const std::vector<std::string>& photos,
                           int error_fd, result_board* board)
    : board_(board) {
  // What cannot be read here is reported here, in its place.
  for (size_t i = 0; i < photos.size(); ++i) {
    std::string error;
    if (check_readable_file(photos[i], &error)) {
      sent_.push_back(i);
    } else {
      board->post(i, {photo_result::state::failed, {}, reason_for(photos[i], error)});
    }
  }
  if (sent_.empty()) return;
  // A job over ssh costs several connections (folder, copy, run, clean-up),
  // worth dozens of photographs, so chunks are large: four a machine in a
  // small batch, up to 256 photographs each in a large one. Each machine
  // takes two chunks at a time, so that one is copied while the other is
  // classified on all its cores (or on --jobs).
  const size_t spread = 4 * options.sshlogins.size();
  chunk_size_ = std::clamp<size_t>((sent_.size() + spread - 1) / spread, 1, 256);

  std::vector<std::string> args = {
      "parallel", "--will-cite", "-0", "--keep-order", "-N", std::to_string(chunk_size_), "--jobs",
      "2"};
  for (const std::string& login : options.sshlogins) {
    args.insert(args.end(), {"--sshlogin", login});
  }
  // Every photograph of a chunk is copied into the job's own folder over
  // there and removed with it.
  args.insert(args.end(), {"--transferfile", "{}", "--cleanup", "--wd", "..."});
  if (!options.joblog.empty()) args.insert(args.end(), {"--joblog", options.joblog});
  args.insert(args.end(),
              {"-q", program_path(), "--relay-chunk", "{#}", "--model", resolved(options.model)});
  if (options.jobs > 0) args.insert(args.end(), {"--jobs", std::to_string(options.jobs)});
  args.insert(args.end(), {"--top", std::to_string(options.top)});
  const auto values = [](const std::vector<float>& numbers) {
    std::string text;
    for (const float n : numbers) {
      char value[32];
      std::snprintf(value, sizeof value, "%.9g", n);
      text += (text.empty() ? "" : ",") + std::string(value);
    }
    return text;
  };
  if (!options.mean.empty()) args.insert(args.end(), {"--mean", values(options.mean)});
  if (!options.std.empty()) args.insert(args.end(), {"--std", values(options.std)});
  if (options.crop_given) {
    char crop[32];
    std::snprintf(crop, sizeof crop, "%.17g", options.crop);
    args.insert(args.end(), {"--crop", crop});
  }
  args.insert(args.end(), {"--", "{}"});

  int to_child[2], from_child[2];
  if (pipe(to_child) != 0) {
    fail_the_rest("GNU parallel cannot be started");
    return;
  }
  if (pipe(from_child) != 0) {
    close(to_child[0]);
    close(to_child[1]);
    fail_the_rest("GNU parallel cannot be started");
    return;
  }
  child_ = fork();
  if (child_ == 0) {
    dup2(to_child[0], STDIN_FILENO);
    dup2(from_child[1], STDOUT_FILENO);
    if (error_fd >= 0) dup2(error_fd, STDERR_FILENO);
    for (int fd : {to_child[0], to_child[1], from_child[0], from_child[1]}) close(fd);
    // GNU parallel and ssh get the signals as a shell would give them.
    for (int sig : {SIGPIPE, SIGINT, SIGTERM}) signal(sig, SIG_DFL);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(to_child[0]);
  close(from_child[1]);
  if (child_ < 0) {
    close(to_child[1]);
    close(from_child[0]);
    fail_the_rest("GNU parallel cannot be started");
    return;
  }
  // Absolute paths behind "/./": GNU parallel copies each under the job's
  // folder at its whole path, so that two photographs of one name in
  // different folders stay apart, and the originals are never written.
  writer_ = std::thread([this, &photos, fd = to_child[1]] {
    for (const size_t i : sent_) {
      if (!write_all(fd, "/." + absolute(photos[i]) + std::string(1, '\0'))) break;
    }
    close(fd);
  });
  reader_ = std::thread(&remote_batch::read_results, this, from_child[0]);
}

void remote_batch::read_results(int fd) {
  std::FILE* in = fdopen(fd, "r");
  if (in == nullptr) {
    close(fd);
    return;
  }
  char* line = nullptr;
  size_t capacity = 0;
  for (ssize_t length; (length = getline(&line, &capacity, in)) > 0;) {
    std::string text(line, static_cast<size_t>(length));
    if (text.back() == '\n') text.pop_back();
    // CHUNK TAB POSITION TAB ok TAB INDEX TAB PROBABILITY, or ... error TAB REASON.
    std::vector<std::string> fields;
    for (size_t start = 0;;) {
      const size_t tab = text.find('\t', start);
      if (tab == std::string::npos || fields.size() == 3) {
        fields.push_back(text.substr(start));
        break;
      }
      fields.push_back(text.substr(start, tab - start));
      start = tab + 1;
    }
    if (fields.size() != 4) continue;
    const long chunk = std::strtol(fields[0].c_str(), nullptr, 10);
    const long position = std::strtol(fields[1].c_str(), nullptr, 10);
    if (chunk < 1 || position < 0) continue;
    const size_t at = static_cast<size_t>(chunk - 1) * chunk_size_ + static_cast<size_t>(position);
    if (at >= sent_.size()) continue;
    photo_result result;
    if (fields[2] == "ok") {
      // INDEX TAB SCORE, once for each class.
      std::istringstream pairs(fields[3]);
      for (std::string index, score;
           std::getline(pairs, index, '\t') && std::getline(pairs, score, '\t');) {
        result.classes.push_back(
            {static_cast<int32_t>(std::strtol(index.c_str(), nullptr, 10)), score});
      }
      if (result.classes.empty()) continue;
      result.outcome = photo_result::state::classified;
    } else {
      result.outcome = photo_result::state::failed;
      result.reason = fields[3];
    }
    board_->post(sent_[at], std::move(result));
  }
  std::free(line);
  std::fclose(in);
  int status = 0;
  while (waitpid(child_, &status, 0) < 0 && errno == EINTR) {
  }
  child_ = -1;
  fail_the_rest("no result (its job did not finish)");
}

void remote_batch::fail_the_rest(const std::string& reason) {
  for (const size_t i : sent_) board_->post(i, {photo_result::state::failed, {}, reason});
}

void remote_batch::stop() {
  if (child_ > 0) kill(child_, SIGINT);
}

remote_batch::~remote_batch() {
  if (writer_.joinable()) writer_.join();
  if (reader_.joinable()) reader_.join();
}

#endif
