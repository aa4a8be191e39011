#pragma once
// Runs a program as run_program does, but for at most a given time: one that
// hangs (blocked on a FIFO, say) is killed with its process group, and the
// test goes on with what it had written.

#include <chrono>
#include <string>
#include <vector>

#include "tests/support/run_support.h"

namespace classify {

struct bounded_result : run_result {
  bool timed_out = false;
  double seconds = 0;  // how long it ran
};

bounded_result run_bounded(const std::string& program, const std::vector<std::string>& args,
                           const std::string& cwd, std::chrono::milliseconds limit);

}  // namespace classify
