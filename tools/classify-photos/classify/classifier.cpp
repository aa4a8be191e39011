#include "tools/classify-photos/classify/classifier.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "model/input_values.h"

namespace classify {

template <typename T, typename Map>
void classifier::feed(const std::vector<unsigned char>& pixels, T* values, Map map) const {
  const size_t n = pixels.size() / 3;
  switch (image_.layout) {
    case pixel_layout::rgb:
      for (size_t i = 0; i < 3 * n; i += 3) {
        values[i] = map(0, pixels[i]);
        values[i + 1] = map(1, pixels[i + 1]);
        values[i + 2] = map(2, pixels[i + 2]);
      }
      break;
    case pixel_layout::grey:
      for (size_t p = 0; p < n; ++p) {
        values[p] = map(0, grey_of(pixels[3 * p], pixels[3 * p + 1], pixels[3 * p + 2]));
      }
      break;
    case pixel_layout::planes:
      for (size_t p = 0; p < n; ++p) {
        for (int c = 0; c < 3; ++c) values[c * n + p] = map(c, pixels[3 * p + c]);
      }
      break;
  }
}

result<std::unique_ptr<classifier>> classifier::create(const TfLiteModel* model,
                                                       const normalization& norm,
                                                       const xnnpack_weights* weights) {
  std::unique_ptr<classifier> made(new classifier());
  if (const outcome set = made->set_up(model, norm, weights); !set) return set.error();
  return made;
}

namespace {

// The library's error reporter with XNNPACK: the first message is kept, as
// the reason where the delegate fails.
void keep_first_message(void* user_data, const char* format, va_list args) {
  auto* message = static_cast<std::string*>(user_data);
  if (!message->empty()) return;
  char text[512];
  std::vsnprintf(text, sizeof text, format, args);
  *message = text;
}

}  // namespace

bool classifier::set_up_xnnpack(const TfLiteModel* model, const xnnpack_weights& weights) {
  delegate_ = xnnpack_delegate::create(weights);
  if (!delegate_) {
    kernels_.refusal = "its delegate cannot be made";
    return false;
  }
  options_ = TfLiteInterpreterOptionsCreate();
  TfLiteInterpreterOptionsAddDelegate(options_, delegate_->get());
  TfLiteInterpreterOptionsSetErrorReporter(options_, keep_first_message, &library_message_);
  interpreter_ = create_interpreter(model, options_);
  if (interpreter_ != nullptr && allocate_tensors(interpreter_) == kTfLiteOk &&
      delegate_->delegated() > 0) {
    kernels_.xnnpack = true;
    kernels_.delegated = delegate_->delegated();
    kernels_.operators = delegate_->operators();
    return true;
  }
  kernels_.refusal = interpreter_ != nullptr && delegate_->delegated() == 0
                         ? "it takes none of the model's operators"
                     : library_message_.empty() ? "the library gave no reason"
                                                : library_message_;
  release_interpreter();
  delegate_.reset();
  return false;
}

void classifier::release_interpreter() {
  if (interpreter_ != nullptr) TfLiteInterpreterDelete(interpreter_);
  if (options_ != nullptr) TfLiteInterpreterOptionsDelete(options_);
  interpreter_ = nullptr;
  options_ = nullptr;
}

outcome classifier::set_up(const TfLiteModel* model, const normalization& norm,
                           const xnnpack_weights* weights) {
  if (weights == nullptr || !set_up_xnnpack(model, *weights)) {
    options_ = TfLiteInterpreterOptionsCreate();
    interpreter_ = create_interpreter(model, options_);
    if (interpreter_ == nullptr) return failure{create_failure_message};
    if (allocate_tensors(interpreter_) != kTfLiteOk) return failure{allocate_failure_message};
  }
  if (const outcome chosen = choose_tensors(); !chosen) return chosen;
  use_normalization(norm);
  return {};
}

classifier::~classifier() { release_interpreter(); }

outcome classifier::choose_tensors() {
  // The model's checks are classify's own, which say why through a string.
  std::string problem;
  const int in = choose_input(interpreter_, input_tensor_name, &problem);
  if (in < 0) return failure{problem};
  const int out = choose_output(interpreter_, output_tensor_name, &problem);
  if (out < 0) return failure{problem};
  input_ = TfLiteInterpreterGetInputTensor(interpreter_, in);
  output_ = TfLiteInterpreterGetOutputTensor(interpreter_, out);
  input_facts_ = facts_of(input_, in);
  output_facts_ = facts_of(output_, out);
  problem = input_problem(input_facts_, max_output_side, &image_);
  if (problem.empty()) problem = output_problem(output_facts_);
  if (!problem.empty()) return failure{problem};
  scores_.resize(static_cast<size_t>(output_facts_.shape.back()));
  return {};
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
  for (size_t i = 0; i < scores_.size(); ++i) {
    const int32_t q = output_facts_.type == kTfLiteUInt8 ? static_cast<const uint8_t*>(data)[i]
                                                         : static_cast<const int8_t*>(data)[i];
    scores_[i] = dequantized(q, output_facts_.scale, output_facts_.zero_point);
  }
  return scores_.data();
}

bool classifier::run(const std::vector<unsigned char>& pixels) {
  const size_t size = static_cast<size_t>(image_.width) * image_.height * 3;
  if (pixels.size() != size) return false;
  void* data = TfLiteTensorData(input_);
  switch (input_facts_.type) {
    case kTfLiteFloat32:
      feed(pixels, static_cast<float*>(data),
           [this](int c, unsigned char b) { return values_[c][b]; });
      break;
    case kTfLiteUInt8:
      if (image_.layout == pixel_layout::rgb) {
        std::memcpy(data, pixels.data(), size);
      } else {
        feed(pixels, static_cast<uint8_t*>(data), [](int, unsigned char b) { return b; });
      }
      break;
    default:
      // int8 takes byte - 128.
      feed(pixels, static_cast<int8_t*>(data),
           [](int, unsigned char b) { return static_cast<int8_t>(b - 128); });
      break;
  }
  return invoke(interpreter_) == kTfLiteOk;
}

bool classifier::classify(const std::vector<unsigned char>& pixels, size_t count,
                          std::vector<ranked_class>* best) {
  if (!run(pixels)) return false;
  *best = best_classes(read_scores(), scores_.size(), count);
  return true;
}

bool classifier::classify(const std::vector<unsigned char>& pixels,
                          const class_selection& selection, std::vector<ranked_class>* best) {
  if (selection.plain()) return classify(pixels, selection.top, best);
  if (!run(pixels)) return false;
  const float* scores = read_scores();
  if (selection.conversion != score_conversion::as_given) {
    convert_scores(scores, scores_.size(), selection.conversion, scores_.data());
    scores = scores_.data();
  }
  select_classes(scores, scores_.size(), selection, &order_, best);
  return true;
}

}  // namespace classify
