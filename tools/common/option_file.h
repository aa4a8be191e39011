#pragma once
// Reading a file the user names for an option: a truth file, a category map,
// a list of classes.

#include <cstdint>
#include <string>

#include "tools/common/result.h"

namespace classify {

// The bytes of `file`, refused unread where it is missing, is not a regular
// file (a FIFO would keep the tool waiting for a writer, a device such as
// /dev/zero would never end) or is larger than `largest` bytes. Each failure
// starts with `named` ("--truth FILE: "); a file too large says `too_large`
// after the size.
result<std::string> read_option_file(const std::string& named, const std::string& file,
                                     uintmax_t largest, const std::string& too_large);

}  // namespace classify
