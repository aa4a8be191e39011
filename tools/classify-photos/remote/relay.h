#pragma once
// The relay form: how the machine that classifies a chunk sends each result
// back over its ssh session, one line a photograph. What comes back is read
// as untrusted input.

#include <cstddef>
#include <string>

#include "tools/classify-photos/batch/results.h"

namespace classify {

// The relay form of one result, as a machine that runs chunk `chunk` sends it
// back: "CHUNK TAB POSITION TAB ok (TAB INDEX TAB SCORE)..." or "CHUNK TAB
// POSITION TAB error TAB REASON" (tabs and line breaks in the reason become
// spaces), and a line feed.
std::string relay_line(long chunk, size_t position, const photo_result& result);

// Reads a line of the relay form (without its line feed); false when it is
// not one.
bool parse_relay_line(const std::string& line, long* chunk, size_t* position, photo_result* result);

}  // namespace classify
