// Windows: no batch over other machines (remote_mode.h). The hidden options
// of a chunk's job are not taken there, so that only --sshlogin can ask for
// one, and it is refused.
#include "tools/classify-photos/remote/remote_mode.h"

namespace classify {

namespace {

const char cannot[] = "--sshlogin needs GNU parallel, which this Windows build cannot run";

}  // namespace

bool machines_usable(const photos_options& options, std::string* why) {
  if (only_this_machine(options.sshlogins)) return true;
  *why = cannot;
  return false;
}

std::optional<chunk_end> send_chunk(const photos_options&, std::vector<std::string>*) {
  return chunk_end{1, 0};
}

chunk_end receive_chunk(std::vector<std::string>*, std::string* error) {
  *error = cannot;
  return {1, 0};
}

}  // namespace classify
