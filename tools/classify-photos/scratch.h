#pragma once
// Folders a batch makes for itself (the chunk lists here, a chunk's
// photographs on the machine that classifies them), removed however the
// batch ends: at its end, when a result cannot be written, or on Ctrl-C
// (or a polite kill, or a connection that has gone).

#include <string>

// A new, empty folder under `base` (by default $TMPDIR, else /tmp) whose
// name begins with `prefix`, removed by remove_scratch_folders; "" when none
// can be made.
std::string make_scratch_folder(const std::string& prefix, const std::string& base = "");

// Removes every folder made by make_scratch_folder, with what it holds.
void remove_scratch_folders();

// From here on, Ctrl-C, SIGTERM and SIGHUP are noted rather than ending the
// process at once, so that it can end after removing its folders. Where
// `interrupt_waits` (POSIX), a blocking wait returns early (EINTR) on one.
void catch_interruptions(bool interrupt_waits = false);

// The signal noted since catch_interruptions, or 0.
int interruption();

// Removes the folders and ends the process as the signal `sig` would have.
[[noreturn]] void end_by(int sig);
