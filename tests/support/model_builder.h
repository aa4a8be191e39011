#pragma once
// Builds small TensorFlow Lite models for the tests with the flatbuffers API
// and TFLite's own schema, so that every case the program meets can be made
// on the spot instead of shipped as a binary file.

#include <cstdint>
#include <string>
#include <vector>

#include "tensorflow/lite/schema/schema_generated.h"

namespace classify {

struct tensor_def {
  std::string name;
  std::vector<int32_t> shape;
  tflite::TensorType type = tflite::TensorType_FLOAT32;
  std::vector<uint8_t> data = {};        // constant contents; empty for a runtime tensor
  std::vector<float> scale = {};         // quantization; none when empty
  std::vector<int64_t> zero_point = {};  // with `scale`; zeros when empty
};

struct op_def {
  tflite::BuiltinOperator code;
  std::vector<int32_t> inputs;
  std::vector<int32_t> outputs;
  int32_t axis = 0;  // GATHER's
  int32_t version = 1;
  std::string custom_code = {};  // a CUSTOM operator's name
};

struct model_def {
  std::vector<tensor_def> tensors;
  std::vector<op_def> ops;
  std::vector<int32_t> inputs;
  std::vector<int32_t> outputs;
  std::string metadata = {};  // a TFLITE_METADATA buffer's bytes; none when empty
};

// The model as .tflite bytes.
std::string serialize_model(const model_def& def);

// input [1,n] -> SOFTMAX -> output [1,n].
model_def softmax_model(int32_t n = 1001, const std::string& input_name = "input",
                        const std::string& output_name = "MobilenetV3/Predictions/Softmax");

// input [1,n] -> MUL by a constant -> output [1,n]: with factor 1 the scores
// are the input values themselves.
model_def scaling_model(float factor, int32_t n = 1001);

// input [1,n] -> POW with a constant exponent -> output [1,n]. Unlike MUL,
// POW does not clamp its result to the finite float range, so it can give
// infinities and NaN.
model_def power_model(float exponent, int32_t n = 1001);

// input [1,n] -> ADD of two differently shaped tensors: cannot be allocated.
model_def unallocatable_model();

// One float constant as bytes.
std::vector<uint8_t> float_bytes(float value);
// Little-endian int32 constants as bytes.
std::vector<uint8_t> int32_bytes(const std::vector<int32_t>& values);

// An image classifier whose scores can be worked out by hand: input
// [1,H,W,3] of `type` -> RESHAPE to one row -> GATHER of the constant
// `picks` -> output [1,N] (or [N] with `flat_output`), N = picks.size(): score
// j is input value picks[j], with the output's quantization equal to the
// input's (`scale` and `zero_point`; none for float).
model_def picking_model(tflite::TensorType type, int32_t height, int32_t width,
                        const std::vector<int32_t>& picks, float scale = 0.0f,
                        int64_t zero_point = 0, bool flat_output = false);

}  // namespace classify
