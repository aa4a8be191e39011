#include "engine.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>

#include "inference.h"
#include "input_loader.h"

loaded_model load_model(const std::string& path, std::string* error) {
  loaded_model loaded;
  loaded.bytes = map_model_file(path, &loaded.size);
  if (loaded.bytes == nullptr) {
    *error = path + ": not a readable, non-empty model file";
    return loaded;
  }
  loaded.model.reset(create_model(loaded.bytes, loaded.size));
  if (!loaded.model) {
    *error = path +
             ": not a TensorFlow Lite model that this program can run (Failed to create "
             "interpreter)";
  }
  return loaded;
}

std::string shape_text(const std::vector<int32_t>& shape) {
  std::string text = "[";
  for (size_t d = 0; d < shape.size(); ++d) text += (d > 0 ? "," : "") + std::to_string(shape[d]);
  return text + "]";
}

std::string type_text(TfLiteType type) {
  switch (type) {
    case kTfLiteFloat32:
      return "float32";
    case kTfLiteUInt8:
      return "uint8";
    case kTfLiteInt8:
      return "int8";
    default: {
      std::string name = TfLiteTypeGetName(type);
      std::transform(name.begin(), name.end(), name.begin(),
                     [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
      return name;
    }
  }
}

std::vector<ranked_class> best_classes(const float* scores, size_t size, size_t count) {
  std::vector<int32_t> order(size);
  std::iota(order.begin(), order.end(), 0);
  const auto better = [scores](int32_t a, int32_t b) {
    const bool a_nan = std::isnan(scores[a]), b_nan = std::isnan(scores[b]);
    if (a_nan != b_nan) return b_nan;
    if (!a_nan && scores[a] != scores[b]) return scores[a] > scores[b];
    return a < b;
  };
  count = std::min(count, size);
  std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(count), order.end(),
                    better);
  std::vector<ranked_class> best(count);
  for (size_t i = 0; i < count; ++i) best[i] = {order[i], scores[order[i]]};
  return best;
}

namespace {

tensor_facts facts_of(const TfLiteTensor* tensor, int position) {
  tensor_facts facts;
  const char* name = TfLiteTensorName(tensor);
  facts.name = name != nullptr ? name : "";
  facts.position = position;
  facts.type = TfLiteTensorType(tensor);
  for (int32_t d = 0; d < TfLiteTensorNumDims(tensor); ++d) {
    facts.shape.push_back(TfLiteTensorDim(tensor, d));
  }
  const TfLiteQuantizationParams quantization = TfLiteTensorQuantizationParams(tensor);
  facts.scale = quantization.scale;
  facts.zero_point = quantization.zero_point;
  return facts;
}

bool takes_type(TfLiteType type) {
  return type == kTfLiteFloat32 || type == kTfLiteUInt8 || type == kTfLiteInt8;
}

// The one tensor of `count`, or, where there are several, the first named
// `wanted`; -1 when there is none.
template <typename Get>
int choose(int32_t count, Get get, const char* wanted) {
  if (count == 1) return 0;
  for (int32_t i = 0; i < count; ++i) {
    const char* name = TfLiteTensorName(get(i));
    if (name != nullptr && std::strcmp(name, wanted) == 0) return i;
  }
  return -1;
}

std::string several_without(int32_t count, const char* role, const char* wanted) {
  if (count == 0) return std::string("the model has no ") + role;
  return "the model has " + std::to_string(count) + " " + role + "s and none is named \"" + wanted +
         "\"; classify-photos needs one image " + role;
}

// Why an input of these facts is not one image of [1,H,W,3]; empty when it is.
std::string input_problem(const tensor_facts& in) {
  const std::string has = "input is " + type_text(in.type) + " " + shape_text(in.shape);
  if (!takes_type(in.type)) return has + "; classify-photos needs float32, uint8 or int8";
  const std::vector<int32_t>& s = in.shape;
  if (s.size() != 4 || s[0] != 1 || s[3] != 3) {
    std::string why;
    if (s.size() == 4 && s[1] == 3 && s[3] != 3) why = " (channels first)";
    if (s.size() == 4 && s[3] == 1) why = " (one channel)";
    if (s.size() == 3 && s[2] == 3) why = " (no batch dimension)";
    return "input is " + shape_text(s) + why + "; classify-photos needs [1,H,W,3]";
  }
  if (s[1] < 1 || s[1] > max_output_side || s[2] < 1 || s[2] > max_output_side) {
    return "input is " + shape_text(s) + "; classify-photos needs H and W from 1 to " +
           std::to_string(max_output_side);
  }
  return "";
}

std::string output_problem(const tensor_facts& out) {
  const std::string has = "output is " + type_text(out.type) + " " + shape_text(out.shape);
  if (!takes_type(out.type)) return has + "; classify-photos needs float32, uint8 or int8 scores";
  const std::vector<int32_t>& s = out.shape;
  const bool row = s.size() == 2 && s[0] == 1 && s[1] >= 1;
  const bool vector = s.size() == 1 && s[0] >= 1;
  if (!row && !vector) return "output is " + shape_text(s) + "; classify-photos needs [1,N] or [N]";
  return "";
}

}  // namespace

classifier::classifier(const TfLiteModel* model, const normalization& norm) {
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
  if (!choose_tensors()) return;
  use_normalization(norm);
}

classifier::~classifier() {
  if (interpreter_ != nullptr) TfLiteInterpreterDelete(interpreter_);
  if (options_ != nullptr) TfLiteInterpreterOptionsDelete(options_);
}

bool classifier::choose_tensors() {
  const int32_t inputs = TfLiteInterpreterGetInputTensorCount(interpreter_);
  const int32_t outputs = TfLiteInterpreterGetOutputTensorCount(interpreter_);
  const int in = choose(
      inputs, [this](int32_t i) { return TfLiteInterpreterGetInputTensor(interpreter_, i); },
      input_tensor_name);
  const int out = choose(
      outputs, [this](int32_t i) { return TfLiteInterpreterGetOutputTensor(interpreter_, i); },
      output_tensor_name);
  if (in < 0) {
    problem_ = several_without(inputs, "input", input_tensor_name);
    return false;
  }
  if (out < 0) {
    problem_ = several_without(outputs, "output", output_tensor_name);
    return false;
  }
  input_ = TfLiteInterpreterGetInputTensor(interpreter_, in);
  output_ = TfLiteInterpreterGetOutputTensor(interpreter_, out);
  input_facts_ = facts_of(input_, in);
  output_facts_ = facts_of(output_, out);
  problem_ = input_problem(input_facts_);
  if (problem_.empty()) problem_ = output_problem(output_facts_);
  if (!problem_.empty()) return false;
  size_ = {input_facts_.shape[2], input_facts_.shape[1]};
  scores_.resize(static_cast<size_t>(output_facts_.shape.back()));
  return true;
}

void classifier::use_normalization(const normalization& norm) {
  for (int c = 0; c < 3; ++c) {
    // The default mapping is classify's own, value for value.
    const bool as_classify = norm.mean[c] == 127.5f && norm.std[c] == 127.5f;
    for (int b = 0; b < 256; ++b) {
      values_[c][b] = as_classify ? byte_to_value(static_cast<unsigned char>(b))
                                  : static_cast<float>((b - static_cast<double>(norm.mean[c])) /
                                                       static_cast<double>(norm.std[c]));
    }
  }
}

const float* classifier::read_scores() {
  const void* data = TfLiteTensorData(output_);
  if (output_facts_.type == kTfLiteFloat32) return static_cast<const float*>(data);
  // A quantized score means scale * (q - zero point); an output without a
  // scale gives its integers as they are.
  const float scale = output_facts_.scale != 0.0f ? output_facts_.scale : 1.0f;
  const int32_t zero = output_facts_.zero_point;
  for (size_t i = 0; i < scores_.size(); ++i) {
    const int32_t q = output_facts_.type == kTfLiteUInt8 ? static_cast<const uint8_t*>(data)[i]
                                                         : static_cast<const int8_t*>(data)[i];
    scores_[i] = scale * static_cast<float>(q - zero);
  }
  return scores_.data();
}

bool classifier::classify(const std::vector<unsigned char>& pixels, size_t count,
                          std::vector<ranked_class>* best) {
  const size_t size = static_cast<size_t>(size_.width) * size_.height * 3;
  if (pixels.size() != size) return false;
  void* data = TfLiteTensorData(input_);
  switch (input_facts_.type) {
    case kTfLiteFloat32: {
      // The values go straight into the tensor.
      float* values = static_cast<float*>(data);
      for (size_t i = 0; i < size; i += 3) {
        values[i] = values_[0][pixels[i]];
        values[i + 1] = values_[1][pixels[i + 1]];
        values[i + 2] = values_[2][pixels[i + 2]];
      }
      break;
    }
    case kTfLiteUInt8:
      std::memcpy(data, pixels.data(), size);
      break;
    default: {
      // int8 takes byte - 128.
      int8_t* values = static_cast<int8_t*>(data);
      for (size_t i = 0; i < size; ++i) values[i] = static_cast<int8_t>(pixels[i] - 128);
      break;
    }
  }
  if (invoke(interpreter_) != kTfLiteOk) return false;
  *best = best_classes(read_scores(), scores_.size(), count);
  return true;
}
