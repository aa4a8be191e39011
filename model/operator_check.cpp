#include "model/operator_check.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace classify {

namespace {

using tflite::BuiltinOperator;
using tflite::TensorType;

// The operand at `position`, or null where the operator has none there.
const tflite::Tensor* operand(const flatbuffers::Vector<int32_t>* indices, size_t position,
                              const tensor_table& tensors) {
  if (indices == nullptr || position >= indices->size()) return nullptr;
  const int32_t index = indices->Get(static_cast<flatbuffers::uoffset_t>(position));
  return index < 0 ? nullptr : tensors.Get(static_cast<flatbuffers::uoffset_t>(index));
}

const tflite::Tensor* input(const tflite::Operator* op, size_t position,
                            const tensor_table& tensors) {
  return operand(op->inputs(), position, tensors);
}

const tflite::Tensor* output(const tflite::Operator* op, const tensor_table& tensors) {
  return operand(op->outputs(), 0, tensors);
}

// The scale the kernels read: the tensor's only one, or 0 for a tensor with
// none or with one per channel, as the interpreter passes it on.
double scale_of(const tflite::Tensor* tensor) {
  const auto* quantization = tensor->quantization();
  if (quantization == nullptr || quantization->scale() == nullptr ||
      quantization->zero_point() == nullptr || quantization->scale()->size() != 1 ||
      quantization->zero_point()->size() != 1) {
    return 0.0;
  }
  return quantization->scale()->Get(0);
}

bool is_8_bit(TensorType type) {
  return type == tflite::TensorType_UINT8 || type == tflite::TensorType_INT8;
}

bool has_zero_dimension(const tflite::Tensor* tensor) {
  const auto* shape = tensor->shape();
  return shape != nullptr && std::find(shape->begin(), shape->end(), 0) != shape->end();
}

// The kernels turn a real multiplier below one into a 31-bit fraction and a
// shift, and abort unless the multiplier is positive and the shift, after
// rounding the fraction, stays at or below zero.
bool representable_below_one(double multiplier) {
  if (!(multiplier > 0.0 && multiplier < 1.0)) return false;
  int shift = 0;
  const double fraction = std::frexp(multiplier, &shift);
  constexpr double one = 2147483648.0;  // 1 << 31
  if (std::round(fraction * one) == one) ++shift;
  return shift <= 0;
}

// Quantized ADD and SUB (and SQUARED_DIFFERENCE, which squares the sum)
// rescale both inputs to twice the larger input scale, shifted left, and
// rescale the result to the output scale; every one of these multipliers
// must lie below one. The arithmetic mirrors the kernels', float products
// included.
bool rescaled_sum_is_representable(const tflite::Tensor* a, const tflite::Tensor* b,
                                   const tflite::Tensor* out, int left_shift, bool squared) {
  const double scale_a = scale_of(a), scale_b = scale_of(b), scale_out = scale_of(out);
  if (!(scale_a > 0.0 && scale_b > 0.0 && scale_out > 0.0)) return false;
  const double twice_max = 2 * std::max(static_cast<float>(scale_a), static_cast<float>(scale_b));
  const double numerator = squared ? twice_max * twice_max : twice_max;
  const float denominator = static_cast<float>(1 << left_shift) * static_cast<float>(scale_out);
  return representable_below_one(scale_a / twice_max) &&
         representable_below_one(scale_b / twice_max) &&
         representable_below_one(numerator / denominator);
}

bool quantized_arithmetic_is_sound(const tflite::Operator* op, BuiltinOperator code,
                                   const tensor_table& tensors) {
  const tflite::Tensor* a = input(op, 0, tensors);
  const tflite::Tensor* b = input(op, 1, tensors);
  const tflite::Tensor* out = output(op, tensors);
  // With an operand missing, the kernel's own count check refuses the model.
  if (a == nullptr || b == nullptr || out == nullptr) return true;
  // The kernels give the output the inputs' type before they look at it.
  const TensorType type = b->type();
  switch (code) {
    case tflite::BuiltinOperator_ADD:
    case tflite::BuiltinOperator_SUB:
      if (is_8_bit(type)) return rescaled_sum_is_representable(a, b, out, 20, false);
      if (type == tflite::TensorType_INT16) {
        return rescaled_sum_is_representable(a, b, out, 15, false);
      }
      return true;
    case tflite::BuiltinOperator_SQUARED_DIFFERENCE:
      return type != tflite::TensorType_INT8 ||
             rescaled_sum_is_representable(a, b, out, 7 * 2, true);
    default:
      // The comparisons turn each 8-bit input's scale into a multiplier of
      // its own: below one, or above one, but never one itself.
      if (!is_8_bit(a->type())) return true;
      for (const double scale : {scale_of(a), scale_of(b)}) {
        if (!representable_below_one(scale) && !(scale > 1.0)) return false;
      }
      return true;
  }
}

// Integer division divides without heeding its own check of the divisor: a
// zero, or -1 under the smallest dividend, ends the process. Only a constant
// divisor can be shown to hold neither. The divisor's type is the one the
// kernel computes in.
bool integer_divisor_is_safe(const tflite::Operator* op, const tensor_table& tensors,
                             const buffer_table& buffers) {
  const tflite::Tensor* divisor = input(op, 1, tensors);
  if (divisor == nullptr || divisor->type() != tflite::TensorType_INT32) return true;
  const auto* data = buffers.Get(divisor->buffer())->data();
  if (data == nullptr || data->size() == 0 || data->size() % sizeof(int32_t) != 0) return false;
  for (size_t at = 0; at < data->size(); at += sizeof(int32_t)) {
    int32_t value = 0;
    std::memcpy(&value, data->data() + at, sizeof value);
    if (value == 0 || value == -1) return false;
  }
  return true;
}

// These kernels take the depth they normalize over from the last dimension
// and divide by it.
bool has_last_dimension(const tflite::Operator* op, const tensor_table& tensors) {
  const tflite::Tensor* in = input(op, 0, tensors);
  if (in == nullptr) return true;
  const auto* shape = in->shape();
  return shape != nullptr && shape->size() > 0 && shape->Get(shape->size() - 1) > 0;
}

// These kernels read an axis, begin or size out of an operand without
// checking that the operand holds one.
bool operands_hold_elements(const tflite::Operator* op, const tensor_table& tensors) {
  const auto* inputs = op->inputs();
  for (size_t position = 0; inputs != nullptr && position < inputs->size(); ++position) {
    const tflite::Tensor* in = input(op, position, tensors);
    if (in != nullptr && has_zero_dimension(in)) return false;
  }
  return true;
}

// These kernels copy or reduce the input's elements into the output as
// elements of the input's type, sized or not for them.
bool output_keeps_input_type(const tflite::Operator* op, const tensor_table& tensors) {
  const tflite::Tensor* in = input(op, 0, tensors);
  const tflite::Tensor* out = output(op, tensors);
  return in == nullptr || out == nullptr || in->type() == out->type();
}

int rank_of(const tflite::Tensor* tensor) {
  return tensor->shape() == nullptr ? 0 : static_cast<int>(tensor->shape()->size());
}

// SEGMENT_SUM reads the first dimension of its data and of its segment ids,
// and reads as many ids as that dimension says.
bool segments_are_sound(const tflite::Operator* op, const tensor_table& tensors) {
  const tflite::Tensor* data = input(op, 0, tensors);
  const tflite::Tensor* ids = input(op, 1, tensors);
  if (data == nullptr || ids == nullptr) return true;
  return rank_of(data) >= 1 && rank_of(ids) == 1 && output_keeps_input_type(op, tensors);
}

// BATCH_MATMUL reads the last two dimensions of both operands, and PAD reads
// its paddings as a matrix, before either checks the ranks.
bool input_rank_at_least(const tflite::Operator* op, const tensor_table& tensors, size_t position,
                         int rank) {
  const tflite::Tensor* in = input(op, position, tensors);
  return in == nullptr || rank_of(in) >= rank;
}

}  // namespace

bool may_omit_input(BuiltinOperator code, size_t position) {
  switch (code) {
    case tflite::BuiltinOperator_FULLY_CONNECTED:
    case tflite::BuiltinOperator_CONV_2D:
    case tflite::BuiltinOperator_DEPTHWISE_CONV_2D:
      return position == 2;
    case tflite::BuiltinOperator_TRANSPOSE_CONV:
    case tflite::BuiltinOperator_SVDF:
      return position == 3;
    case tflite::BuiltinOperator_RESHAPE:
      return position == 1;
    case tflite::BuiltinOperator_LSTM:
    case tflite::BuiltinOperator_UNIDIRECTIONAL_SEQUENCE_LSTM:
    case tflite::BuiltinOperator_BIDIRECTIONAL_SEQUENCE_LSTM:
    case tflite::BuiltinOperator_BIDIRECTIONAL_SEQUENCE_RNN:
      return position >= 1;
    default:
      return false;
  }
}

bool operator_meets_kernel_assumptions(const tflite::Operator* op, BuiltinOperator code,
                                       const tensor_table& tensors, const buffer_table& buffers) {
  // Only a variable assignment and a one-time call act without writing a
  // tensor; other kernels fetch their first output unchecked.
  if (output(op, tensors) == nullptr && code != tflite::BuiltinOperator_ASSIGN_VARIABLE &&
      code != tflite::BuiltinOperator_CALL_ONCE) {
    return false;
  }
  switch (code) {
    case tflite::BuiltinOperator_ADD:
    case tflite::BuiltinOperator_SUB:
    case tflite::BuiltinOperator_SQUARED_DIFFERENCE:
    case tflite::BuiltinOperator_EQUAL:
    case tflite::BuiltinOperator_NOT_EQUAL:
    case tflite::BuiltinOperator_LESS:
    case tflite::BuiltinOperator_LESS_EQUAL:
    case tflite::BuiltinOperator_GREATER:
    case tflite::BuiltinOperator_GREATER_EQUAL:
      return quantized_arithmetic_is_sound(op, code, tensors);
    case tflite::BuiltinOperator_DIV:
      return integer_divisor_is_safe(op, tensors, buffers);
    case tflite::BuiltinOperator_SOFTMAX:
    case tflite::BuiltinOperator_LOG_SOFTMAX:
    case tflite::BuiltinOperator_L2_NORMALIZATION:
      return has_last_dimension(op, tensors);
    case tflite::BuiltinOperator_SPLIT:
    case tflite::BuiltinOperator_SPLIT_V:
    case tflite::BuiltinOperator_SLICE:
    case tflite::BuiltinOperator_REVERSE_V2:
      return operands_hold_elements(op, tensors);
    case tflite::BuiltinOperator_SEGMENT_SUM:
      return segments_are_sound(op, tensors);
    case tflite::BuiltinOperator_BATCH_MATMUL:
      return input_rank_at_least(op, tensors, 0, 2) && input_rank_at_least(op, tensors, 1, 2);
    case tflite::BuiltinOperator_PAD:
    case tflite::BuiltinOperator_PADV2:
      return input_rank_at_least(op, tensors, 1, 2);
    case tflite::BuiltinOperator_RESHAPE:
    case tflite::BuiltinOperator_MEAN:
    case tflite::BuiltinOperator_SUM:
    case tflite::BuiltinOperator_REDUCE_PROD:
    case tflite::BuiltinOperator_REDUCE_MAX:
    case tflite::BuiltinOperator_REDUCE_MIN:
      return output_keeps_input_type(op, tensors);
    default:
      return true;
  }
}

bool quantization_is_sound(const tflite::Tensor* tensor) {
  const auto* quantization = tensor->quantization();
  if (quantization == nullptr || quantization->scale() == nullptr) return true;
  return std::all_of(quantization->scale()->begin(), quantization->scale()->end(),
                     [](float scale) { return std::isfinite(scale) && scale >= 0.0f; });
}

}  // namespace classify
