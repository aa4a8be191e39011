#pragma once
// The workers of a batch on this machine: threads that each prepare a
// photograph in process, classify it with an interpreter of their own and
// post the result, taking the next photograph as soon as they are free.

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tools/classify-photos/classify/classifier.h"
#include "tools/classify-photos/core/results.h"
#include "tools/classify-photos/layers.h"

CLASSIFY_PHOTOS_IN_LAYER(classify);

namespace classify {

// Takes the picture of photograph `i` as decoded and turned upright, before
// its result is posted (the contact sheet makes its thumbnail of it); from
// any worker, once for each photograph.
using picture_taker = std::function<void(size_t i, const rgb_image& picture)>;

// The pipeline's message for `path` without the path it begins with.
std::string reason_for(const std::string& path, const std::string& message);

// Prepares and classifies the photograph at `path` for `model`: the centre
// crop keeping `crop` of each side, resized to the model's input size; the
// classes `selection` takes (none where it is unsure of every one). Where there is a `pictures`
// taker, it takes the picture, as photograph `i`.
photo_result classify_photo(classifier* model, const std::string& path, double crop,
                            const class_selection& selection, const picture_taker& pictures = {},
                            size_t i = 0);

// One worker per core.
int default_jobs();

class worker_pool {
 public:
  // Starts `jobs` workers (no more than there are photographs) over
  // `photos`; the first takes `first`, the others make their own
  // classifiers over `model` with `norm` (and XNNPACK with `weights`). Every photograph's result,
  // the classes `selection` takes, goes to `board`, and its picture to `pictures`,
  // if there is one. The results in `kept` (from the cache; null or pending
  // where there is none) are posted as they are, without classifying the
  // photograph, and where there is a taker after its picture.
  worker_pool(const TfLiteModel* model, const normalization& norm, const xnnpack_weights* weights,
              std::unique_ptr<classifier> first, const std::vector<std::string>& photos,
              double crop, const class_selection& selection, int jobs, result_board* board,
              picture_taker pictures, std::vector<photo_result>* kept = nullptr);
  // Waits for the workers.
  ~worker_pool();
  // The workers take no more photographs after the ones they have in hand.
  void stop() { next_ = photos_.size(); }
  worker_pool(const worker_pool&) = delete;
  worker_pool& operator=(const worker_pool&) = delete;

 private:
  void work(std::unique_ptr<classifier> own);
  // Posts the kept result of photograph `i`, after its picture.
  void post_kept(classifier* own, size_t i);

  const TfLiteModel* model_;
  normalization norm_;
  const xnnpack_weights* weights_;
  const std::vector<std::string>& photos_;
  double crop_;
  class_selection selection_;
  picture_taker pictures_;
  result_board* board_;
  std::vector<photo_result>* kept_;
  std::atomic<size_t> next_{0};
  std::vector<std::thread> threads_;
};

}  // namespace classify
