#include "model/operators.h"

#include <algorithm>
#include <memory>

#include "model/operator_check.h"
#include "tensorflow/lite/c/c_api.h"
#include "tensorflow/lite/create_op_resolver.h"
#include "tensorflow/lite/schema/schema_generated.h"

namespace classify {

namespace {

// What a custom operator that the library cannot have tells of the model.
std::string custom_operator_note(const std::string& name) {
  if (name == "edgetpu-custom-op")
    return " (a Coral Edge TPU model; it needs the Edge TPU runtime)";
  if (name.rfind("Flex", 0) == 0) {
    return " (a TensorFlow operator; it needs the Flex delegate of a full TensorFlow build)";
  }
  return ", which this TensorFlow Lite does not have";
}

}  // namespace

std::string missing_operator(const uint8_t* bytes, size_t size) {
  const tflite::Model* model = tflite::GetModel(bytes);
  if (size == 0 || model == nullptr || model->operator_codes() == nullptr) return "";
  // The resolver the library's interpreters take their kernels from.
  const std::unique_ptr<tflite::MutableOpResolver> resolver = tflite::CreateOpResolver();
  for (const tflite::OperatorCode* code : *model->operator_codes()) {
    const int version = code->version();
    const tflite::BuiltinOperator builtin = builtin_code(code);
    if (builtin == tflite::BuiltinOperator_CUSTOM) {
      const std::string name = code->custom_code() != nullptr ? code->custom_code()->str() : "";
      if (resolver->FindOp(name.c_str(), version) != nullptr) continue;
      return "the model uses the custom operator " + (name.empty() ? "without a name" : name) +
             custom_operator_note(name);
    }
    if (resolver->FindOp(builtin, version) != nullptr) continue;
    return std::string("the model needs ") + tflite::EnumNameBuiltinOperator(builtin) +
           " version " + std::to_string(version) + ", which this TensorFlow Lite (" +
           TfLiteVersion() + ") does not have";
  }
  return "";
}

bool rescales_own_input(const uint8_t* bytes, size_t size, int input_position) {
  const tflite::Model* model = size > 0 ? tflite::GetModel(bytes) : nullptr;
  if (model == nullptr || model->subgraphs() == nullptr || model->subgraphs()->size() == 0 ||
      model->operator_codes() == nullptr || model->buffers() == nullptr) {
    return false;
  }
  const tflite::SubGraph* graph = model->subgraphs()->Get(0);
  if (graph->inputs() == nullptr || graph->operators() == nullptr || graph->tensors() == nullptr ||
      input_position < 0 || static_cast<size_t>(input_position) >= graph->inputs()->size()) {
    return false;
  }
  const int32_t input = graph->inputs()->Get(static_cast<flatbuffers::uoffset_t>(input_position));
  // A constant: a tensor whose buffer holds data.
  const auto constant = [&](int32_t index) {
    if (index < 0 || static_cast<size_t>(index) >= graph->tensors()->size()) return false;
    const uint32_t buffer =
        graph->tensors()->Get(static_cast<flatbuffers::uoffset_t>(index))->buffer();
    if (buffer == 0 || buffer >= model->buffers()->size()) return false;
    const tflite::Buffer* data = model->buffers()->Get(buffer);
    return data->data() != nullptr ? data->data()->size() > 0 : data->size() > 0;
  };
  size_t readers = 0;
  for (const tflite::Operator* op : *graph->operators()) {
    if (op->inputs() == nullptr) continue;
    const auto& in = *op->inputs();
    if (std::find(in.begin(), in.end(), input) == in.end()) continue;
    ++readers;
    if (op->opcode_index() >= model->operator_codes()->size()) return false;
    const tflite::BuiltinOperator code =
        builtin_code(model->operator_codes()->Get(op->opcode_index()));
    if (code != tflite::BuiltinOperator_MUL && code != tflite::BuiltinOperator_ADD &&
        code != tflite::BuiltinOperator_SUB && code != tflite::BuiltinOperator_DIV) {
      return false;
    }
    if (in.size() != 2 || !constant(in[0] == input ? in[1] : in[0])) return false;
  }
  return readers > 0;
}

output_operator scores_made_by(const uint8_t* bytes, size_t size, int output_position) {
  const tflite::Model* model = size > 0 ? tflite::GetModel(bytes) : nullptr;
  if (model == nullptr || model->subgraphs() == nullptr || model->subgraphs()->size() == 0 ||
      model->operator_codes() == nullptr) {
    return {};
  }
  const tflite::SubGraph* graph = model->subgraphs()->Get(0);
  if (graph->outputs() == nullptr || graph->operators() == nullptr || output_position < 0 ||
      static_cast<size_t>(output_position) >= graph->outputs()->size()) {
    return {};
  }
  int32_t tensor = graph->outputs()->Get(static_cast<flatbuffers::uoffset_t>(output_position));
  // Back from the output, one writer at a time; a graph has fewer writers
  // than operators, which bounds a loop in a damaged one.
  for (size_t step = 0; step <= graph->operators()->size(); ++step) {
    const tflite::Operator* writer = nullptr;
    for (const tflite::Operator* op : *graph->operators()) {
      const auto* out = op->outputs();
      if (out != nullptr && std::find(out->begin(), out->end(), tensor) != out->end()) writer = op;
    }
    if (writer == nullptr || writer->opcode_index() >= model->operator_codes()->size()) return {};
    const tflite::BuiltinOperator code =
        builtin_code(model->operator_codes()->Get(writer->opcode_index()));
    const std::string name = tflite::EnumNameBuiltinOperator(code);
    switch (code) {
      case tflite::BuiltinOperator_SOFTMAX:
        return {score_source::softmax, name};
      case tflite::BuiltinOperator_LOGISTIC:
        return {score_source::logistic, name};
      case tflite::BuiltinOperator_RESHAPE:
      case tflite::BuiltinOperator_SQUEEZE:
      case tflite::BuiltinOperator_QUANTIZE:
      case tflite::BuiltinOperator_DEQUANTIZE:
        if (writer->inputs() == nullptr || writer->inputs()->size() == 0) return {};
        tensor = writer->inputs()->Get(0);
        continue;
      default:
        return {score_source::other, name};
    }
  }
  return {};
}

}  // namespace classify
