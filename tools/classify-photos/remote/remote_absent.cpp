// Windows: no batch over other machines (remote_mode.h). The hidden options
// of a chunk's job are not taken there, so that only --sshlogin can ask for
// one, and it is refused.
#include "tools/classify-photos/remote/remote_mode.h"

namespace classify {

namespace {

const char cannot[] = "--sshlogin needs GNU parallel, which this Windows build cannot run";

}  // namespace

outcome machines_usable(const photos_options& options) {
  if (only_this_machine(options.sshlogins)) return {};
  return failure{cannot};
}

std::optional<outcome> send_chunk(const photos_options&, std::vector<std::string>*) {
  return outcome(failure{});
}

result<std::vector<std::string>> receive_chunk() { return failure{cannot}; }

}  // namespace classify
