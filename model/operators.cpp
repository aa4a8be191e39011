#include "model/operators.h"

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

}  // namespace classify
