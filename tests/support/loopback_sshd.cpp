#include "tests/support/loopback_sshd.h"

#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

namespace classify {

namespace {

// The sessions' settings in one SetEnv line (sshd takes the first of a
// keyword's lines only): `environment`, and this run's sanitizer settings,
// which a program started over ssh does not inherit otherwise (a sanitizer
// build of classify-photos would report, as leaks, what it keeps on purpose
// until exit).
std::string session_settings(const std::vector<std::string>& environment) {
  std::string variables;
  for (const std::string& setting : environment) variables += " " + setting;
  for (const char* name : {"ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS"}) {
    if (const char* value = std::getenv(name)) variables += std::string(" ") + name + "=" + value;
  }
  return variables.empty() ? "" : "SetEnv" + variables + "\n";
}

}  // namespace

loopback_sshd::loopback_sshd(const scratch_dir& dir, const std::vector<std::string>& environment)
    : dir(dir) {
  for (const char* key : {"host_key", "user_key"}) {
    run_program("/usr/bin/ssh-keygen", {"-q", "-t", "ed25519", "-N", "", "-f", dir.file(key)},
                dir.path);
  }
  std::filesystem::copy_file(dir.file("user_key.pub"), dir.file("authorized_keys"));
  std::mt19937 random(static_cast<unsigned>(getpid()));
  if (geteuid() == 0) std::filesystem::create_directories("/run/sshd");
  for (int attempt = 0; attempt < 10 && !running; ++attempt) {
    port = 20000 + static_cast<int>(random() % 30000);
    dir.write("sshd_config", "Port " + std::to_string(port) +
                                 "\nListenAddress 127.0.0.1\nHostKey " + dir.file("host_key") +
                                 "\nAuthorizedKeysFile " + dir.file("authorized_keys") +
                                 "\nPidFile " + dir.file("sshd.pid") +
                                 "\nPasswordAuthentication no\nKbdInteractiveAuthentication no"
                                 "\nStrictModes no\nUsePAM no\nPermitRootLogin "
                                 "prohibit-password\nMaxStartups 100\n" +
                                 session_settings(environment));
    running = run_program("/usr/sbin/sshd", {"-f", dir.file("sshd_config")}, dir.path).status == 0;
    for (int i = 0; running && i < 100 && !std::filesystem::exists(dir.file("sshd.pid")); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
}

loopback_sshd::~loopback_sshd() {
  std::ifstream pid_file(dir.file("sshd.pid"));
  pid_t pid = 0;
  if (pid_file >> pid && pid > 0) kill(pid, SIGTERM);
}

std::string loopback_sshd::login(int other_port) const {
  const passwd* user = getpwuid(geteuid());
  return "ssh -p " + std::to_string(other_port != 0 ? other_port : port) + " -i " +
         dir.file("user_key") +
         " -o BatchMode=yes -o StrictHostKeyChecking=no -o UserKnownHostsFile=" +
         dir.file("known_hosts") + " -o GSSAPIAuthentication=no " +
         (user != nullptr ? user->pw_name : "root") + "@127.0.0.1";
}

}  // namespace classify
