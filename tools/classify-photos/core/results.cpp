#include "tools/classify-photos/core/results.h"

namespace classify {

void result_board::post(size_t i, photo_result result) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (i >= results_.size() || results_[i].outcome != photo_result::state::pending) return;
    results_[i] = std::move(result);
    ++posted_;
  }
  posted_cv_.notify_all();
}

bool result_board::take(size_t i, std::chrono::milliseconds timeout, photo_result* result) {
  std::unique_lock<std::mutex> lock(mutex_);
  const bool ready = posted_cv_.wait_for(
      lock, timeout, [&] { return results_[i].outcome != photo_result::state::pending; });
  if (!ready) return false;
  // Moved out, leaving only the outcome: a long batch keeps no text it has
  // written.
  *result = std::move(results_[i]);
  results_[i] = photo_result{};
  results_[i].outcome = result->outcome;
  return true;
}

bool result_board::has(size_t i) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return i < results_.size() && results_[i].outcome != photo_result::state::pending;
}

size_t result_board::posted() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return posted_;
}

}  // namespace classify
