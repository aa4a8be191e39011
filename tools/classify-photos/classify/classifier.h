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

#include "model/interpreter.h"
#include "model/scores.h"
#include "model/tensors.h"
#include "photo/photo.h"
#include "tools/classify-photos/classify/kernels.h"
#include "tools/classify-photos/classify/selection.h"
#include "tools/classify-photos/layers.h"
#include "tools/common/result.h"

CLASSIFY_PHOTOS_IN_LAYER(classify);

namespace classify {

// What a float input takes: (byte - mean) / std, channel by channel.
struct normalization {
  float mean[3] = {127.5f, 127.5f, 127.5f};
  float std[3] = {127.5f, 127.5f, 127.5f};
};

// One worker's interpreter over a shared model. On the builtin kernels it is
// created with default options exactly as classify creates its own. Not for
// use by two threads at once.
class classifier {
 public:
  // A classifier over `model`, or why the model cannot be used: its
  // tensors cannot be allocated, or its input is not one image of [1,H,W,3]
  // float32, uint8 or int8 values, or its output not [1,N] or [N] scores of
  // those types. With `weights`, XNNPACK runs what it takes of the model,
  // its packed weights in `weights` (which must outlive the classifier);
  // where it refuses the model, the builtin kernels run it.
  static result<std::unique_ptr<classifier>> create(const TfLiteModel* model,
                                                    const normalization& norm,
                                                    const xnnpack_weights* weights);
  ~classifier();
  classifier(const classifier&) = delete;
  classifier& operator=(const classifier&) = delete;

  const tensor_facts& input() const { return input_facts_; }
  const tensor_facts& output() const { return output_facts_; }
  // The size of the photograph the model takes, and how its input holds it.
  photo_size input_size() const { return {image_.width, image_.height}; }
  const image_input& input_image() const { return image_; }
  // N, the number of scores.
  size_t classes() const { return scores_.size(); }
  // Which kernels run the model.
  const kernel_use& kernels() const { return kernels_; }

  // From now on a float input takes (byte - mean) / std by `norm`.
  void use_normalization(const normalization& norm);

  // Maps `pixels` (W x H x 3 bytes, R, G, B a pixel) onto the input tensor
  // in its layout (grey values by grey_of for one channel), invokes the model
  // once and writes its `count` best classes into `best`; false when the
  // model fails to run.
  bool classify(const std::vector<unsigned char>& pixels, size_t count,
                std::vector<ranked_class>* best);
  // The same, with the classes `selection` takes (the scores converted
  // first where it says so) in `best`.
  bool classify(const std::vector<unsigned char>& pixels, const class_selection& selection,
                std::vector<ranked_class>* best);

 private:
  classifier() = default;
  // Fails when the model cannot be used.
  outcome set_up(const TfLiteModel* model, const normalization& norm,
                 const xnnpack_weights* weights);
  // True when the interpreter is made and its tensors allocated with
  // XNNPACK; otherwise, with nothing left of the attempt, false and the
  // library's reason in kernels_.
  bool set_up_xnnpack(const TfLiteModel* model, const xnnpack_weights& weights);
  void release_interpreter();
  outcome choose_tensors();
  const float* read_scores();
  // Feeds `pixels` to the model and invokes it; false when it fails.
  bool run(const std::vector<unsigned char>& pixels);
  // Writes the values `map` gives each channel's byte of `pixels` into
  // `values` in the input's layout.
  template <typename T, typename Map>
  void feed(const std::vector<unsigned char>& pixels, T* values, Map map) const;

  // Declared before the interpreter that uses it: it is deleted after.
  std::unique_ptr<xnnpack_delegate> delegate_;
  kernel_use kernels_;
  std::string library_message_;  // the first the library reported with XNNPACK
  TfLiteInterpreterOptions* options_ = nullptr;
  TfLiteInterpreter* interpreter_ = nullptr;
  TfLiteTensor* input_ = nullptr;
  const TfLiteTensor* output_ = nullptr;
  tensor_facts input_facts_;
  tensor_facts output_facts_;
  image_input image_;
  float values_[3][256] = {};   // a float input's value of each byte, by channel
  std::vector<float> scores_;   // a quantized output's scores, dequantized, or converted ones
  std::vector<int32_t> order_;  // room to rank the classes a selection takes
};

}  // namespace classify
