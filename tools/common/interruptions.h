#pragma once
// Ctrl-C, SIGTERM and SIGHUP noted instead of ending the process at once, so
// that a batch ends after the lines already written, with its scratch folders
// removed.

namespace classify {

// From here on, those signals are noted rather than ending the process.
// Where `interrupt_waits` (POSIX), a blocking wait returns early (EINTR) on
// one.
void catch_interruptions(bool interrupt_waits = false);

// The signal noted since catch_interruptions, or 0.
int interruption();

// Removes the scratch folders and ends the process as the signal `sig` would
// have. Only a program's main calls it: what main calls returns how it ended
// instead (a failure that names the signal, result.h), so that the threads
// and programs it started are ended and waited for first.
[[noreturn]] void end_by(int sig);

}  // namespace classify
