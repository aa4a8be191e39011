#pragma once
// The helper programs classify-photos starts on POSIX systems (GNU parallel,
// ssh, tar), each with the signals a shell would give it. Not built on
// Windows, where --sshlogin is refused.

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace classify {

// Starts `args` (found on PATH) with `in`, `out` and `err` as its standard
// streams, `to_close` closed and `environment` added to this process's; its
// id, or -1 when it cannot be started. A program that cannot be run ends
// with status 127.
pid_t spawn(const std::vector<std::string>& args, int in, int out, int err,
            const std::vector<int>& to_close = {},
            const std::vector<std::pair<std::string, std::string>>& environment = {});

// Waits for `pid` to end; its wait status, or -1.
int wait_for(pid_t pid);

}  // namespace classify
