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

CLASSIFY_PHOTOS_IN_LAYER(remote);

namespace classify {

// How a chunk's job, or its far side's reading of it, ended: the process
// ends by it (only main ends the process).
struct chunk_end {
  int status = 0;  // 0 done, 1 failed
  // The signal that interrupted it (Ctrl-C, a polite kill, a connection
  // that has gone), which should end the process; 0 when none did.
  int interrupted_by = 0;
};

// The job of chunk options.send_chunk in slot options.job_slot, whose list
// of photographs is the file options.photos[0]. Where its login is this
// machine (":"), `photos` gets the chunk's photographs for this process to
// classify, and the result is nothing; otherwise the chunk goes over ssh, its
// relay lines are written to standard output, each photograph that got no
// result gets an error line that names the machine and why (unless a signal
// interrupted it), and the result says how it ended.
std::optional<chunk_end> send_chunk(const photos_options& options,
                                    std::vector<std::string>* photos);

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

// Reads a chunk from standard input, as send_chunk sends it: the photographs
// to classify go into `photos` (a scratch folder's copies, or the paths
// under --remote-root). Status 1, with `error`, when the input is not a
// chunk; a signal while the photographs come in interrupts it, and the
// process should then end by it (which removes their folder).
chunk_end receive_chunk(std::vector<std::string>* photos, std::string* error);

}  // namespace classify
