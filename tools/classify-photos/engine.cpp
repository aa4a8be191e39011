#include "engine.h"

#include <sstream>

#include "inference.h"
#include "input_loader.h"

model_ptr load_model(const std::string& path, std::string* error) {
  size_t size = 0;
  const uint8_t* data = map_model_file(path, &size);
  if (data == nullptr) {
    *error = path + ": not a readable, non-empty model file";
    return nullptr;
  }
  model_ptr model(create_model(data, size));
  if (!model) {
    *error = path +
             ": not a TensorFlow Lite model that this program can run (Failed to create "
             "interpreter)";
  }
  return model;
}

namespace {

std::string shape_of(const TfLiteTensor* tensor) {
  std::ostringstream text;
  text << TfLiteTypeGetName(TfLiteTensorType(tensor)) << " [";
  for (int32_t d = 0; d < TfLiteTensorNumDims(tensor); ++d) {
    text << (d > 0 ? "," : "") << TfLiteTensorDim(tensor, d);
  }
  text << "]";
  return text.str();
}

// The side N of an input tensor of [1, N, N, 3] single-precision values, or 0.
int square_side(const TfLiteTensor* tensor) {
  if (TfLiteTensorType(tensor) != kTfLiteFloat32 || TfLiteTensorNumDims(tensor) != 4) return 0;
  const int32_t side = TfLiteTensorDim(tensor, 1);
  const bool square = TfLiteTensorDim(tensor, 0) == 1 && side > 0 &&
                      TfLiteTensorDim(tensor, 2) == side && TfLiteTensorDim(tensor, 3) == 3;
  return square ? side : 0;
}

}  // namespace

classifier::classifier(const TfLiteModel* model) {
  options_ = TfLiteInterpreterOptionsCreate();
  interpreter_ = create_interpreter(model, options_);
  if (interpreter_ == nullptr) {
    problem_ = "Failed to create interpreter";
    return;
  }
  if (allocate_tensors(interpreter_) != kTfLiteOk) {
    problem_ = "Failed to allocate tensors!";
    return;
  }
  input_ = find_input_tensor(interpreter_, input_tensor_name);
  output_ = find_output_tensor(interpreter_, output_tensor_name);
  if (input_ == nullptr || output_ == nullptr) {
    problem_ = std::string("the model has no ") + (input_ == nullptr ? "input" : "output") +
               " tensor named \"" + (input_ == nullptr ? input_tensor_name : output_tensor_name) +
               "\"";
    return;
  }
  side_ = square_side(input_);
  if (side_ == 0) {
    problem_ = std::string("the model's input tensor \"") + input_tensor_name + "\" is " +
               shape_of(input_) + ", not FLOAT32 [1,N,N,3]";
    return;
  }
  if (TfLiteTensorType(output_) != kTfLiteFloat32 ||
      TfLiteTensorByteSize(output_) != score_count * sizeof(float)) {
    problem_ = std::string("the model's output tensor \"") + output_tensor_name + "\" is " +
               shape_of(output_) + ", not " + std::to_string(score_count) + " FLOAT32 scores";
  }
}

classifier::~classifier() {
  if (interpreter_ != nullptr) TfLiteInterpreterDelete(interpreter_);
  if (options_ != nullptr) TfLiteInterpreterOptionsDelete(options_);
}

bool classifier::classify(const std::vector<unsigned char>& pixels, best_class* best) {
  if (pixels.size() * sizeof(float) != TfLiteTensorByteSize(input_)) return false;
  // The values go straight into the tensor: the same numbers classify
  // copies in from its buffer.
  bytes_to_values(pixels.data(), pixels.size(), static_cast<float*>(TfLiteTensorData(input_)));
  if (invoke(interpreter_) != kTfLiteOk) return false;
  find_best_score(static_cast<const float*>(TfLiteTensorData(output_)), score_count, &best->index,
                  &best->score);
  return true;
}
