#include "tools/classify-photos/classify/workers.h"

#include <algorithm>
#include <chrono>

#include "model/scores.h"
#include "photo/photo.h"

namespace classify {

std::string reason_for(const std::string& path, const std::string& message) {
  const std::string prefix = path + ": ";
  return message.compare(0, prefix.size(), prefix) == 0 ? message.substr(prefix.size()) : message;
}

photo_result classify_photo(classifier* model, const std::string& path, double crop,
                            const class_selection& selection, const picture_taker& pictures,
                            size_t i) {
  const auto start = std::chrono::steady_clock::now();
  photo_result result;
  result.outcome = photo_result::state::failed;
  result.started =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  // However it ends, the time it took goes with the result.
  struct timer {
    photo_result& result;
    std::chrono::steady_clock::time_point start;
    ~timer() {
      result.seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
  } clock{result, start};
  std::vector<unsigned char> pixels;
  std::string error;
  rgb_image upright;
  if (!prepare_photo(path, model->input_size(), crop, &pixels, &error,
                     pictures ? &upright : nullptr)) {
    result.reason = reason_for(path, error);
    return result;
  }
  if (pictures) {
    pictures(i, upright);
    upright = rgb_image{};
  }
  std::vector<ranked_class> best;
  if (!model->classify(pixels, selection, &best)) {
    result.reason = "the model failed to run";
    return result;
  }
  result.outcome = photo_result::state::classified;
  for (const ranked_class& c : best) result.classes.push_back({c.index, c.score});
  return result;
}

int default_jobs() { return static_cast<int>(std::max(1u, std::thread::hardware_concurrency())); }

worker_pool::worker_pool(const TfLiteModel* model, const normalization& norm,
                         const xnnpack_weights* weights, std::unique_ptr<classifier> first,
                         const std::vector<std::string>& photos, double crop,
                         const class_selection& selection, int jobs, result_board* board,
                         picture_taker pictures, std::vector<photo_result>* kept)
    : model_(model),
      norm_(norm),
      weights_(weights),
      photos_(photos),
      crop_(crop),
      selection_(selection),
      pictures_(std::move(pictures)),
      board_(board),
      kept_(kept) {
  const size_t count = std::max<size_t>(1, std::min<size_t>(jobs, photos.size()));
  threads_.emplace_back(&worker_pool::work, this, std::move(first));
  for (size_t i = 1; i < count; ++i) threads_.emplace_back(&worker_pool::work, this, nullptr);
}

worker_pool::~worker_pool() {
  for (std::thread& thread : threads_) thread.join();
}

void worker_pool::work(std::unique_ptr<classifier> own) {
  // Each worker but the first makes its interpreter in its own thread, so
  // that the workers set up side by side. One that cannot (no memory for its
  // tensors) leaves the photographs to the others.
  if (!own) {
    result<std::unique_ptr<classifier>> made = classifier::create(model_, norm_, weights_);
    if (!made) return;
    own = std::move(*made);
  }
  for (size_t i = next_++; i < photos_.size(); i = next_++) {
    if (kept_ != nullptr && (*kept_)[i].outcome == photo_result::state::classified) {
      post_kept(own.get(), i);
    } else {
      board_->post(i, classify_photo(own.get(), photos_[i], crop_, selection_, pictures_, i));
    }
  }
}

void worker_pool::post_kept(classifier* own, size_t i) {
  if (pictures_) {
    std::vector<unsigned char> pixels;
    std::string ignored;
    rgb_image upright;
    if (prepare_photo(photos_[i], own->input_size(), crop_, &pixels, &ignored, &upright)) {
      pictures_(i, upright);
    }
  }
  board_->post(i, std::move((*kept_)[i]));
}

}  // namespace classify
