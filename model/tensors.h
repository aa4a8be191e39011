#pragma once
// A model's tensors as the programs see them: the names the shipped model
// gives its two, what a tensor is (name, type, shape, quantization), which
// one a program takes, and why one is not an image input or a classifier's
// scores.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tensorflow/lite/c/c_api.h"
#include "tensorflow/lite/c/common.h"

namespace classify {

// The name of the shipped model's input tensor and of its output tensor of
// scores: classify looks them up, and the batch tool takes them where a model
// has several inputs or outputs.
inline constexpr char input_tensor_name[] = "input";
inline constexpr char output_tensor_name[] = "MobilenetV3/Predictions/Softmax";

// One of the model's two tensors the tool uses, as it found it.
struct tensor_facts {
  std::string name;
  int position = 0;  // among the model's inputs (outputs)
  TfLiteType type = kTfLiteNoType;
  std::vector<int32_t> shape;
  float scale = 0.0f;  // quantization; 0 when there is none
  int32_t zero_point = 0;
};

// The facts of `tensor`, which is at `position` among its inputs (outputs).
tensor_facts facts_of(const TfLiteTensor* tensor, int position);

// The number of scores a classifier's output of `shape` holds: N for [N],
// [1,N] or any shape whose dimensions are all 1 but the last; 0 for another.
size_t scores_in(const std::vector<int32_t>& shape);

// "[1,224,224,3]".
std::string shape_text(const std::vector<int32_t>& shape);
// "float32", "uint8", "int8" or the library's name of another type.
std::string type_text(TfLiteType type);

// The position of the interpreter's one input (output), or, where it has
// several, of the first named `wanted`; -1 with `error` saying why when there
// is none (and, for outputs that hold boxes, that the model looks like a
// detector).
int choose_input(const TfLiteInterpreter* interp, const char* wanted, std::string* error);
int choose_output(const TfLiteInterpreter* interp, const char* wanted, std::string* error);

// How an image input holds a photograph's pixels: R, G, B a pixel
// ([1,H,W,3], channels last), one grey value a pixel ([1,H,W,1]), or a plane
// of R, then of G, then of B ([1,3,H,W], channels first, as models exported
// from PyTorch take them).
enum class pixel_layout { rgb, grey, planes };

struct image_input {
  pixel_layout layout = pixel_layout::rgb;
  int32_t height = 0, width = 0;
  // [1,3,W,3]: channels first and channels last alike; read as channels last.
  bool ambiguous = false;
};

// Why an input of these facts is not one image of float32, uint8 or int8
// values in one of the layouts above, with H and W from 1 to `max_side`;
// empty when it is, with `image` its layout and size.
std::string input_problem(const tensor_facts& in, int max_side, image_input* image);

// Why an output of these facts is not N float32, uint8 or int8 scores (see
// score_count); empty when it is.
std::string output_problem(const tensor_facts& out);

}  // namespace classify
