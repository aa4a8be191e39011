#pragma once
// The progress line of a long batch on standard error: done/total,
// photographs a second and the time left, redrawn in place. Shown only where
// standard error is a terminal; elsewhere every call does nothing.

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <string>

#include "tools/classify-photos/layers.h"

CLASSIFY_PHOTOS_IN_LAYER(batch);

namespace classify {

class progress_line {
 public:
  progress_line(std::FILE* terminal, size_t total, bool shown);

  // Redraws the line for `done` photographs, at most five times a second.
  void update(size_t done);
  // Takes the line away, so that a message can be written in its place; the
  // next update draws it again.
  void clear();
  // Draws the line a last time for `done` and ends it.
  void finish(size_t done);

 private:
  void draw(size_t done);

  std::FILE* terminal_;
  size_t total_;
  bool shown_;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_draw_;
};

// The text of the line: "DONE/TOTAL photographs, R a second, M:SS left".
std::string progress_text(size_t done, size_t total, double seconds);

}  // namespace classify
