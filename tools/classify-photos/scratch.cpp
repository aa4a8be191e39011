#include "scratch.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <random>
#include <vector>

#if !defined(_WIN32)
#include <signal.h>
#endif

namespace {

std::atomic<int> noted_signal{0};
extern "C" void note_signal(int sig) { noted_signal = sig; }

std::mutex folders_mutex;
std::vector<std::string>& folders() {
  static std::vector<std::string> made;
  return made;
}

}  // namespace

std::string make_scratch_folder(const std::string& prefix, const std::string& base) {
  std::string folder = base;
  if (folder.empty()) {
#if defined(_WIN32)
    std::error_code ignored;
    folder = std::filesystem::temp_directory_path(ignored).u8string();
#else
    const char* tmp = std::getenv("TMPDIR");
    folder = tmp != nullptr && *tmp != '\0' ? std::string(tmp) : "/tmp";
#endif
  }
  // A name no one else has taken: creating the folder is the test.
  static const char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = folder + "/" + prefix + ".";
    for (int i = 0; i < 6; ++i) name += letters[random() % (sizeof letters - 1)];
    std::error_code error;
    if (std::filesystem::create_directory(std::filesystem::u8path(name), error)) {
      // Others' photographs may go in: for this user alone.
      std::filesystem::permissions(std::filesystem::u8path(name), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::replace, error);
      std::lock_guard<std::mutex> lock(folders_mutex);
      folders().push_back(name);
      return name;
    }
    if (error) return "";
  }
  return "";
}

void remove_scratch_folders() {
  std::lock_guard<std::mutex> lock(folders_mutex);
  for (const std::string& folder : folders()) {
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::u8path(folder), ignored);
  }
  folders().clear();
}

void catch_interruptions(bool interrupt_waits) {
#if defined(_WIN32)
  (void)interrupt_waits;
  std::signal(SIGINT, note_signal);
  std::signal(SIGTERM, note_signal);
#else
  struct sigaction action {};
  action.sa_handler = note_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = interrupt_waits ? 0 : SA_RESTART;
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &action, nullptr);
#endif
}

int interruption() { return noted_signal; }

void end_by(int sig) {
  remove_scratch_folders();
  std::signal(sig, SIG_DFL);
  std::raise(sig);
  std::_Exit(128 + sig);
}
