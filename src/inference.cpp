#include "src/inference.h"

#include <iostream>
#include <locale>
#include <sstream>

#include "model/interpreter.h"
#include "model/scores.h"

namespace classify {

TfLiteInterpreter* interpreter = nullptr;
TfLiteTensor* input_tensor = nullptr;
const TfLiteTensor* output_tensor = nullptr;

namespace {

// The labels of the result line in GBK (code page 936), written as bytes so
// that no source encoding or locale can change them: "类别：" and "，概率：".
constexpr char class_label[] = "\xC0\xE0\xB1\xF0\xA3\xBA";
constexpr char probability_label[] = "\xA3\xAC\xB8\xC5\xC2\xCA\xA3\xBA";

void report_missing_tensor(const char* role, const char* name) {
  std::cerr << "classify: the model has no " << role << " tensor named \"" << name << "\"\n";
}

}  // namespace

TfLiteTensor* find_input_tensor(const TfLiteInterpreter* interp, const char* name) {
  const int32_t count = TfLiteInterpreterGetInputTensorCount(interp);
  for (int32_t i = 0; i < count; ++i) {
    TfLiteTensor* tensor = TfLiteInterpreterGetInputTensor(interp, i);
    if (tensor_has_name(tensor, name)) return tensor;
  }
  return nullptr;
}

const TfLiteTensor* find_output_tensor(const TfLiteInterpreter* interp, const char* name) {
  const int32_t count = TfLiteInterpreterGetOutputTensorCount(interp);
  for (int32_t i = 0; i < count; ++i) {
    const TfLiteTensor* tensor = TfLiteInterpreterGetOutputTensor(interp, i);
    if (tensor_has_name(tensor, name)) return tensor;
  }
  return nullptr;
}

void init_interpreter(std::string model_path) {
  // The model, its file's mapping and the options live as long as the
  // interpreter, which lives until the process ends; none is released. A
  // file the library could not survive is treated as one it cannot load.
  size_t model_size = 0;
  const uint8_t* model_data = map_model_file(model_path, &model_size);
  TfLiteModel* model = model_data != nullptr ? create_model(model_data, model_size) : nullptr;
  TfLiteInterpreterOptions* options = TfLiteInterpreterOptionsCreate();
  // A model that could not be loaded is null here, and creation fails on it.
  interpreter = create_interpreter(model, options);
  if (interpreter == nullptr) {
    std::cout << create_failure_message << model_path << std::endl;
    return;
  }
  if (allocate_tensors(interpreter) != kTfLiteOk) {
    std::cout << allocate_failure_message;
    return;
  }
  input_tensor = find_input_tensor(interpreter, input_tensor_name);
  output_tensor = find_output_tensor(interpreter, output_tensor_name);
  if (input_tensor == nullptr) report_missing_tensor("input", input_tensor_name);
  if (output_tensor == nullptr) report_missing_tensor("output", output_tensor_name);
}

bool engine_ready() {
  return interpreter != nullptr && input_tensor != nullptr && output_tensor != nullptr;
}

bool input_fits_model(const std::string& input_path, int32_t size) {
  if (TfLiteTensorType(input_tensor) != kTfLiteFloat32) {
    std::cerr << "classify: the model's input tensor \"" << input_tensor_name
              << "\" holds elements of type " << TfLiteTypeGetName(TfLiteTensorType(input_tensor))
              << ", not FLOAT32\n";
    return false;
  }
  const size_t wanted = TfLiteTensorByteSize(input_tensor) / sizeof(float);
  if (static_cast<int64_t>(size) < 0 || static_cast<size_t>(size) != wanted) {
    std::cerr << "classify: " << input_path << ": holds " << size
              << " bytes, but the model's input tensor takes " << wanted
              << " (one byte per value)\n";
    return false;
  }
  return true;
}

void write_result_line(std::ostream& out, int32_t best_index, float best_score) {
  std::ostringstream line;
  line.imbue(std::locale::classic());
  line << class_label << best_index << probability_label << score_text(best_score) << '\n';
  out << line.str() << std::flush;
}

bool run_inference(const float* values, int32_t size) {
  if (!engine_ready()) return false;
  // The count is widened with its sign before the multiplication, so that no
  // count can wrap into a byte size the tensor would accept.
  const int64_t input_bytes = static_cast<int64_t>(size) * static_cast<int64_t>(sizeof(float));
  if (input_bytes < 0 || TfLiteTensorCopyFromBuffer(
                             input_tensor, values, static_cast<size_t>(input_bytes)) != kTfLiteOk) {
    std::cerr << "classify: the input tensor refused " << input_bytes << " bytes; it takes "
              << TfLiteTensorByteSize(input_tensor) << "\n";
    return false;
  }
  if (invoke(interpreter) != kTfLiteOk) {
    std::cerr << "classify: the model failed to run\n";
    return false;
  }
  float logits[score_count] = {};
  if (TfLiteTensorType(output_tensor) != kTfLiteFloat32 ||
      TfLiteTensorCopyToBuffer(output_tensor, logits, sizeof logits) != kTfLiteOk) {
    std::cerr << "classify: the output tensor \"" << output_tensor_name << "\" holds "
              << TfLiteTensorByteSize(output_tensor) << " bytes of "
              << TfLiteTypeGetName(TfLiteTensorType(output_tensor)) << ", not " << score_count
              << " FLOAT32 scores\n";
    return false;
  }
  int32_t best_index = -1;
  float best_score = -1.0f;
  find_best_score(logits, score_count, &best_index, &best_score);
  write_result_line(std::cout, best_index, best_score);
  return true;
}

}  // namespace classify
