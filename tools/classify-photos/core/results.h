#pragma once
// The results of a batch, posted by the workers in whatever order they finish
// and taken by the writer in the order the photographs were given.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "tools/classify-photos/layers.h"

CLASSIFY_PHOTOS_IN_LAYER(core);

namespace classify {

// A class of a photograph and its score: the float the model gave, which
// only the output makes text (score_text, as classify prints its
// probability), and which the relay and the cache pass on exactly
// (class_encoding.h).
struct class_score {
  int32_t index = -1;
  float score = 0.0f;
};

struct photo_result {
  enum class state { pending, classified, failed };
  state outcome = state::pending;
  std::vector<class_score> classes;  // the best first
  std::string reason;                // why it failed, without the path
  bool from_cache = false;           // taken from --cache, not classified now
  double started = 0;                // when its work began, in seconds since the epoch
  double seconds = 0;                // how long it took
};

class result_board {
 public:
  explicit result_board(size_t count) : results_(count) {}

  size_t size() const { return results_.size(); }

  // Posts the result of photograph `i`; any thread.
  void post(size_t i, photo_result result);

  // Takes the result of photograph `i` once it is posted, waiting at most
  // `timeout`; false when it has not come by then.
  bool take(size_t i, std::chrono::milliseconds timeout, photo_result* result);

  // Whether the result of photograph `i` has been posted.
  bool has(size_t i) const;

  // How many results have been posted so far.
  size_t posted() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable posted_cv_;
  std::vector<photo_result> results_;
  size_t posted_ = 0;
};

}  // namespace classify
