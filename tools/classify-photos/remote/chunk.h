#pragma once
// One chunk of a batch spread over machines, as the job GNU parallel runs for
// it here (send_chunk) and as the machine that classifies it takes it
// (receive_chunk). One ssh connection carries it: a header that lists the
// chunk's photographs, then (unless they are already there, --remote-root)
// the photographs themselves as one tar stream, each under its whole path so
// that two of one name stay apart; the relay lines come back on the same
// connection, and the far side removes its copy before it ends, however it
// ends.

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "tools/classify-photos/cli/options.h"
#include "tools/classify-photos/layers.h"
#include "tools/classify-photos/remote/remote_mode.h"

CLASSIFY_PHOTOS_IN_LAYER(remote);

namespace classify {

// The shell command that runs ssh to `login`, followed by what it should
// run there: the login itself where it is an ssh command of its own, else ssh
// to it, which must not ask for a password (the photographs are on its
// standard input). With a `control` folder, the connections to each machine
// share one: its first ssh session sets it up, and the later ones only open
// a session on it.
std::string ssh_prefix(const std::string& login, const std::string& control);

// Starts the connection to `login` that the chunks' ssh sessions share, in
// a process of its own (its id, or -1): it is set up while GNU parallel
// starts, instead of by the first chunks.
pid_t open_shared_connection(const std::string& login, const std::string& control);

// Ends the shared connection to `login`, if there is one.
void close_shared_connection(const std::string& login, const std::string& control);

}  // namespace classify
