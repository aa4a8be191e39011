#pragma once
// The model, checked and loaded once for the whole batch, and an interpreter
// of its own for each worker: the model's image input fed from prepared
// pixels (float, uint8 or int8, as label_image and the task library feed
// them), one invocation, and the best of its scores (dequantized where the
// output is quantized).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "photo.h"
#include "tensorflow/lite/c/c_api.h"

struct model_deleter {
  void operator()(TfLiteModel* model) const { TfLiteModelDelete(model); }
};
using model_ptr = std::unique_ptr<TfLiteModel, model_deleter>;

// A model and the bytes it was made from (its file, mapped until the process
// ends), which also hold its metadata.
struct loaded_model {
  model_ptr model;
  const uint8_t* bytes = nullptr;
  size_t size = 0;
};

// The model at `path`, after the same checks classify makes; a null model,
// with `error` saying why, when it cannot be used.
loaded_model load_model(const std::string& path, std::string* error);

// What a float input takes: (byte - mean) / std, channel by channel.
struct normalization {
  float mean[3] = {127.5f, 127.5f, 127.5f};
  float std[3] = {127.5f, 127.5f, 127.5f};
};

// One of the model's two tensors the tool uses, as it found it.
struct tensor_facts {
  std::string name;
  int position = 0;  // among the model's inputs (outputs)
  TfLiteType type = kTfLiteNoType;
  std::vector<int32_t> shape;
  float scale = 0.0f;  // quantization; 0 when there is none
  int32_t zero_point = 0;
};

// "[1,224,224,3]".
std::string shape_text(const std::vector<int32_t>& shape);
// "float32", "uint8", "int8" or the library's name of another type.
std::string type_text(TfLiteType type);

// A class and its score, the output value as the model means it.
struct ranked_class {
  int32_t index = -1;
  float score = 0.0f;
};

// The `count` best of `scores`, best first; a tie goes to the lower index,
// and NaN ranks below every number.
std::vector<ranked_class> best_classes(const float* scores, size_t size, size_t count);

// One worker's interpreter over a shared model, created with default options
// exactly as classify creates its own. Not for use by two threads at once.
class classifier {
 public:
  classifier(const TfLiteModel* model, const normalization& norm);
  ~classifier();
  classifier(const classifier&) = delete;
  classifier& operator=(const classifier&) = delete;

  // Empty when the interpreter is ready; otherwise why the model cannot be
  // used: its tensors cannot be allocated, or its input is not one image of
  // [1,H,W,3] float32, uint8 or int8 values, or its output not [1,N] or [N]
  // scores of those types.
  const std::string& problem() const { return problem_; }
  const tensor_facts& input() const { return input_facts_; }
  const tensor_facts& output() const { return output_facts_; }
  // The size of the photograph the model takes: W x H from its [1,H,W,3].
  photo_size input_size() const { return size_; }
  // N, the number of scores.
  size_t classes() const { return scores_.size(); }

  // From now on a float input takes (byte - mean) / std by `norm`.
  void use_normalization(const normalization& norm);

  // Maps `pixels` (W x H x 3 bytes) onto the input tensor, invokes the model
  // once and writes its `count` best classes into `best`; false when the
  // model fails to run.
  bool classify(const std::vector<unsigned char>& pixels, size_t count,
                std::vector<ranked_class>* best);

 private:
  bool choose_tensors();
  const float* read_scores();

  TfLiteInterpreterOptions* options_ = nullptr;
  TfLiteInterpreter* interpreter_ = nullptr;
  TfLiteTensor* input_ = nullptr;
  const TfLiteTensor* output_ = nullptr;
  tensor_facts input_facts_;
  tensor_facts output_facts_;
  photo_size size_;
  float values_[3][256] = {};  // a float input's value of each byte, by channel
  std::vector<float> scores_;  // a quantized output's scores, dequantized
  std::string problem_;
};
