#include "model/model_check.h"

#include <algorithm>

#include "flatbuffers/flatbuffers.h"
#include "model/operator_check.h"
#include "tensorflow/lite/schema/schema_generated.h"

namespace classify {

namespace {

// No tensor of a MobileNet-class model comes near these bounds: MobileNetV3's
// largest tensor is about 1 MB and the whole 1.0 model holds 10 MB of weights.
// A model a hundred times larger still fits, while a damaged shape that asks
// for gigabytes is refused before the library tries to allocate it.
constexpr uint64_t max_tensor_bytes = uint64_t{1} << 30;
constexpr uint64_t max_total_tensor_bytes = uint64_t{4} << 30;

// The size of one element; 8 for the types whose size the schema leaves open
// (strings, resources, variants), which keeps the bound on the safe side.
uint64_t element_bytes(tflite::TensorType type) {
  switch (type) {
    case tflite::TensorType_UINT8:
    case tflite::TensorType_INT8:
    case tflite::TensorType_BOOL:
    case tflite::TensorType_INT4:
      return 1;
    case tflite::TensorType_FLOAT16:
    case tflite::TensorType_INT16:
    case tflite::TensorType_UINT16:
      return 2;
    case tflite::TensorType_FLOAT32:
    case tflite::TensorType_INT32:
    case tflite::TensorType_UINT32:
      return 4;
    case tflite::TensorType_COMPLEX128:
      return 16;
    default:
      return 8;
  }
}

// Adds the tensor's byte size to `total`; false for a negative dimension or
// a size past the bound. The running product never exceeds 2^30 before it is
// multiplied by a dimension below 2^31, so it cannot overflow 64 bits.
bool tensor_size_is_sound(const tflite::Tensor* tensor, uint64_t* total) {
  uint64_t bytes = element_bytes(tensor->type());
  if (const auto* shape = tensor->shape()) {
    for (const int32_t dim : *shape) {
      if (dim < 0) return false;
      bytes *= static_cast<uint64_t>(dim);
      if (bytes > max_tensor_bytes) return false;
    }
  }
  *total += bytes;
  return *total <= max_total_tensor_bytes;
}

// Every index below `limit`. Operator inputs, which may be omitted, are
// checked on their own.
bool indices_in_range(const flatbuffers::Vector<int32_t>* indices, uint32_t limit) {
  if (indices == nullptr) return true;
  return std::all_of(indices->begin(), indices->end(), [limit](int32_t index) {
    return index >= 0 && static_cast<uint32_t>(index) < limit;
  });
}

bool operator_inputs_are_sound(const tflite::Operator* op, tflite::BuiltinOperator code,
                               uint32_t tensor_count) {
  if (op->inputs() == nullptr) return true;
  for (size_t position = 0; position < op->inputs()->size(); ++position) {
    const int32_t index = op->inputs()->Get(static_cast<flatbuffers::uoffset_t>(position));
    if (index == -1 && may_omit_input(code, position)) continue;
    if (index < 0 || static_cast<uint32_t>(index) >= tensor_count) return false;
  }
  return true;
}

bool subgraph_is_sound(const tflite::SubGraph* subgraph, const buffer_table& buffers,
                       const flatbuffers::Vector<flatbuffers::Offset<tflite::OperatorCode>>* codes,
                       uint64_t* total_bytes) {
  const auto* tensors = subgraph->tensors();
  if (tensors == nullptr) return false;
  for (const tflite::Tensor* tensor : *tensors) {
    if (tensor->buffer() >= buffers.size() || !tensor_size_is_sound(tensor, total_bytes) ||
        !quantization_is_sound(tensor)) {
      return false;
    }
  }
  const uint32_t tensor_count = tensors->size();
  if (!indices_in_range(subgraph->inputs(), tensor_count) ||
      !indices_in_range(subgraph->outputs(), tensor_count)) {
    return false;
  }
  const uint32_t opcode_count = codes != nullptr ? codes->size() : 0;
  if (const auto* operators = subgraph->operators()) {
    for (const tflite::Operator* op : *operators) {
      if (op->opcode_index() >= opcode_count) return false;
      const tflite::BuiltinOperator code = builtin_code(codes->Get(op->opcode_index()));
      if (!operator_inputs_are_sound(op, code, tensor_count) ||
          !indices_in_range(op->outputs(), tensor_count) ||
          !indices_in_range(op->intermediates(), tensor_count) ||
          !operator_meets_kernel_assumptions(op, code, *tensors, buffers)) {
        return false;
      }
    }
  }
  return true;
}

}  // namespace

bool model_is_sound(const uint8_t* data, size_t size) {
  flatbuffers::Verifier verifier(data, size);
  if (!tflite::VerifyModelBuffer(verifier)) return false;
  const tflite::Model* model = tflite::GetModel(data);
  const auto* subgraphs = model->subgraphs();
  const auto* buffers = model->buffers();
  if (subgraphs == nullptr || subgraphs->size() == 0 || buffers == nullptr) return false;
  uint64_t total_bytes = 0;
  for (const tflite::SubGraph* subgraph : *subgraphs) {
    if (!subgraph_is_sound(subgraph, *buffers, model->operator_codes(), &total_bytes)) {
      return false;
    }
  }
  return true;
}

tflite::BuiltinOperator builtin_code(const tflite::OperatorCode* code) {
  return static_cast<tflite::BuiltinOperator>(
      std::max<int32_t>(code->deprecated_builtin_code(), code->builtin_code()));
}

}  // namespace classify
