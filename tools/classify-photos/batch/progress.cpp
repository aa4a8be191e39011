#include "tools/classify-photos/batch/progress.h"

#include <cmath>
#include <cstdio>

namespace classify {

std::string progress_text(size_t done, size_t total, double seconds) {
  char text[128];
  const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0.0;
  int length =
      std::snprintf(text, sizeof text, "%zu/%zu photographs, %.1f a second", done, total, rate);
  if (done < total && rate > 0) {
    const long left = std::lround(static_cast<double>(total - done) / rate);
    std::snprintf(text + length, sizeof text - static_cast<size_t>(length), ", %ld:%02ld left",
                  left / 60, left % 60);
  }
  return text;
}

progress_line::progress_line(std::FILE* terminal, size_t total, bool shown)
    : terminal_(terminal),
      total_(total),
      shown_(shown),
      start_(std::chrono::steady_clock::now()),
      last_draw_(start_) {}

void progress_line::draw(size_t done) {
  const auto now = std::chrono::steady_clock::now();
  last_draw_ = now;
  const double seconds = std::chrono::duration<double>(now - start_).count();
  // Back to the start of the line, the text, and the rest of the line cleared.
  std::fprintf(terminal_, "\r%s\033[K", progress_text(done, total_, seconds).c_str());
  std::fflush(terminal_);
  drawn_ = true;
}

void progress_line::update(size_t done) {
  if (!shown_) return;
  const auto now = std::chrono::steady_clock::now();
  if (drawn_ && now - last_draw_ < std::chrono::milliseconds(200)) return;
  draw(done);
}

void progress_line::clear() {
  if (!shown_ || !drawn_) return;
  std::fputs("\r\033[K", terminal_);
  drawn_ = false;
}

void progress_line::finish(size_t done) {
  if (!shown_) return;
  draw(done);
  std::fputc('\n', terminal_);
  std::fflush(terminal_);
  drawn_ = false;
}

}  // namespace classify
