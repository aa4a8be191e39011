#pragma once
// A real sshd on 127.0.0.1 for the tests of batches spread over machines,
// started with its own host key and authorized-keys file in a scratch folder
// and stopped with the object: the user's ~/.ssh is not touched, and the
// traffic stays on the loopback address.

#include <string>
#include <vector>

#include "tests/support/run_support.h"

namespace classify {

struct loopback_sshd {
  // `environment`: NAME=VALUE settings for the sessions (a far side's
  // TMPDIR, for one), beside this run's sanitizer settings.
  explicit loopback_sshd(const scratch_dir& dir, const std::vector<std::string>& environment = {});
  ~loopback_sshd();
  loopback_sshd(const loopback_sshd&) = delete;
  loopback_sshd& operator=(const loopback_sshd&) = delete;

  // An ssh command that logs in as this user, for --sshlogin; `port` another
  // than the sshd's gives a login that is refused.
  std::string login(int port = 0) const;

  const scratch_dir& dir;
  int port = 0;
  bool running = false;
};

}  // namespace classify
