#pragma once
// The model, checked and loaded once for the whole batch, and an interpreter
// of its own for each worker: the same set-up, input mapping, invocation and
// choice of the best score as classify, on prepared pixels in memory.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tensorflow/lite/c/c_api.h"

struct model_deleter {
  void operator()(TfLiteModel* model) const { TfLiteModelDelete(model); }
};
using model_ptr = std::unique_ptr<TfLiteModel, model_deleter>;

// The model at `path`, after the same checks classify makes, or null with
// `error` saying why. Its file stays mapped until the process ends.
model_ptr load_model(const std::string& path, std::string* error);

// The best class of one photograph.
struct best_class {
  int32_t index = -1;
  float score = -1.0f;
};

// One worker's interpreter over a shared model, created with default options
// exactly as classify creates its own. Not for use by two threads at once.
class classifier {
 public:
  explicit classifier(const TfLiteModel* model);
  ~classifier();
  classifier(const classifier&) = delete;
  classifier& operator=(const classifier&) = delete;

  // Empty when the interpreter is ready; otherwise why it is not (its tensors
  // cannot be allocated, a tensor is missing or of another type or shape).
  const std::string& problem() const { return problem_; }
  // The side of the square photograph the model takes: its input tensor is
  // [1, side, side, 3] single-precision values.
  int side() const { return side_; }

  // Maps `pixels` (side x side x 3 bytes) onto the input tensor as classify
  // maps input.bin, invokes the model once and finds the best of the scores;
  // false when the model fails to run.
  bool classify(const std::vector<unsigned char>& pixels, best_class* best);

 private:
  TfLiteInterpreterOptions* options_ = nullptr;
  TfLiteInterpreter* interpreter_ = nullptr;
  TfLiteTensor* input_ = nullptr;
  const TfLiteTensor* output_ = nullptr;
  int side_ = 0;
  std::string problem_;
};
