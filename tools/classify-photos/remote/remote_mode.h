#pragma once
// What main asks of a batch spread over machines (--sshlogin), on every
// system. Windows, which cannot run GNU parallel, has none of it
// (remote_absent.cpp): there the machines are refused, and the hidden options
// of a chunk's job do not exist.

#include <optional>
#include <string>
#include <vector>

#include "tools/classify-photos/cli/options.h"
#include "tools/classify-photos/layers.h"
#include "tools/common/result.h"

CLASSIFY_PHOTOS_IN_LAYER(remote);

namespace classify {

// Done when the machines of --sshlogin can be used: this machine alone, or
// others through GNU parallel, which is installed. Otherwise the failure
// says what is missing.
outcome machines_usable(const photos_options& options);

// The job of chunk options.send_chunk in slot options.job_slot, whose list
// of photographs is the file options.photos[0]. Where its login is this
// machine (":"), `photos` gets the chunk's photographs for this process to
// classify, and the result is nothing; otherwise the chunk goes over ssh, its
// relay lines are written to standard output, each photograph that got no
// result gets an error line that names the machine and why (unless a signal
// interrupted it), and the result says how it ended: a failure said already
// (its message empty), or interrupted, when the process should end by the
// signal (only main ends the process).
std::optional<outcome> send_chunk(const photos_options& options, std::vector<std::string>* photos);

// Reads a chunk from standard input, as send_chunk sends it: the photographs
// to classify (a scratch folder's copies, or the paths under --remote-root).
// A failure when the input is not a chunk; a signal while the photographs
// come in interrupts it, and the process should then end by it (which
// removes their folder).
result<std::vector<std::string>> receive_chunk();

}  // namespace classify
