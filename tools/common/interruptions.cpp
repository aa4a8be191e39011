#include "tools/common/interruptions.h"

#include <atomic>
#include <csignal>
#include <cstdlib>

#if !defined(_WIN32)
#include <signal.h>
#endif

#include "tools/common/scratch_folder.h"

namespace classify {

namespace {

std::atomic<int> noted_signal{0};
extern "C" void note_signal(int sig) { noted_signal = sig; }

}  // namespace

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

}  // namespace classify
