#pragma once
// Folders a batch makes for itself (the chunk lists here, a chunk's
// photographs on the machine that classifies them), removed however the
// batch ends: at its end, when a result cannot be written, or on an
// interruption (interruptions.h).

#include <string>

namespace classify {

// A new, empty folder under `base` (by default $TMPDIR, else /tmp), for this
// user alone, whose name begins with `prefix`, removed by
// remove_scratch_folders; "" when none can be made.
std::string make_scratch_folder(const std::string& prefix, const std::string& base = "");

// Removes every folder made by make_scratch_folder, with what it holds.
void remove_scratch_folders();

}  // namespace classify
