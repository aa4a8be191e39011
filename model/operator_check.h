#pragma once
// What the library's kernels take for granted about their operands. The
// kernels check operand counts and types, but some abort the process
// (a failed internal check), divide by zero or read past a tensor when a
// model breaks an assumption they do not check. A model that would do so is
// refused before the interpreter is built.

#include <cstddef>

#include "tensorflow/lite/schema/schema_generated.h"

namespace classify {

using tensor_table = flatbuffers::Vector<flatbuffers::Offset<tflite::Tensor>>;
using buffer_table = flatbuffers::Vector<flatbuffers::Offset<tflite::Buffer>>;

// The operator's builtin code: the larger of the two fields, as the library
// reads it (older models fill only the deprecated one).
tflite::BuiltinOperator builtin_code(const tflite::OperatorCode* code);

// An omitted operand (-1) is accepted only where the operator's kernel
// expects one.
bool may_omit_input(tflite::BuiltinOperator code, size_t position);

// True when the operator, whose operand indices are already known to be in
// range, meets its kernel's assumptions: it writes at least one tensor, its
// quantization scales give the kernel multipliers it can represent, integer
// division has a constant divisor it can divide by, operators that read
// axes, indices or a last dimension from an operand find one there, and
// operators that copy their input's elements write them to a tensor of the
// same type.
bool operator_meets_kernel_assumptions(const tflite::Operator* op, tflite::BuiltinOperator code,
                                       const tensor_table& tensors, const buffer_table& buffers);

// Quantization scales, where a tensor has them, are finite and not negative.
bool quantization_is_sound(const tflite::Tensor* tensor);

}  // namespace classify
