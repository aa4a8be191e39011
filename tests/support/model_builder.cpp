#include "model_builder.h"

#include <cstring>
#include <memory>

namespace {

tflite::BuiltinOptionsUnion options_for(tflite::BuiltinOperator code) {
  tflite::BuiltinOptionsUnion options;
  switch (code) {
    case tflite::BuiltinOperator_SOFTMAX: {
      tflite::SoftmaxOptionsT softmax;
      softmax.beta = 1.0f;
      options.Set(softmax);
      break;
    }
    case tflite::BuiltinOperator_ADD:
      options.Set(tflite::AddOptionsT{});
      break;
    case tflite::BuiltinOperator_MUL:
      options.Set(tflite::MulOptionsT{});
      break;
    case tflite::BuiltinOperator_POW:
      options.Set(tflite::PowOptionsT{});
      break;
    default:
      break;
  }
  return options;
}

const std::string output_name = "MobilenetV3/Predictions/Softmax";

}  // namespace

std::vector<uint8_t> float_bytes(float value) {
  std::vector<uint8_t> bytes(sizeof value);
  std::memcpy(bytes.data(), &value, sizeof value);
  return bytes;
}

std::string serialize_model(const model_def& def) {
  tflite::ModelT model;
  model.version = 3;
  model.description = "classify test model";
  // Buffer 0 is the empty sentinel that runtime tensors point at.
  model.buffers.push_back(std::make_unique<tflite::BufferT>());

  auto subgraph = std::make_unique<tflite::SubGraphT>();
  subgraph->name = "main";
  for (const tensor_def& t : def.tensors) {
    auto tensor = std::make_unique<tflite::TensorT>();
    tensor->name = t.name;
    tensor->shape = t.shape;
    tensor->type = t.type;
    tensor->buffer = 0;
    if (!t.scale.empty()) {
      tensor->quantization = std::make_unique<tflite::QuantizationParametersT>();
      tensor->quantization->scale = t.scale;
      tensor->quantization->zero_point.assign(t.scale.size(), 0);
    }
    if (!t.data.empty()) {
      auto buffer = std::make_unique<tflite::BufferT>();
      buffer->data = t.data;
      tensor->buffer = static_cast<uint32_t>(model.buffers.size());
      model.buffers.push_back(std::move(buffer));
    }
    subgraph->tensors.push_back(std::move(tensor));
  }
  for (const op_def& o : def.ops) {
    int32_t code_index = -1;
    for (size_t i = 0; i < model.operator_codes.size(); ++i) {
      if (model.operator_codes[i]->builtin_code == o.code) code_index = static_cast<int32_t>(i);
    }
    if (code_index < 0) {
      auto code = std::make_unique<tflite::OperatorCodeT>();
      code->builtin_code = o.code;
      code->deprecated_builtin_code = static_cast<int8_t>(o.code);
      code->version = 1;
      code_index = static_cast<int32_t>(model.operator_codes.size());
      model.operator_codes.push_back(std::move(code));
    }
    auto op = std::make_unique<tflite::OperatorT>();
    op->opcode_index = static_cast<uint32_t>(code_index);
    op->inputs = o.inputs;
    op->outputs = o.outputs;
    op->builtin_options = options_for(o.code);
    subgraph->operators.push_back(std::move(op));
  }
  subgraph->inputs = def.inputs;
  subgraph->outputs = def.outputs;
  model.subgraphs.push_back(std::move(subgraph));

  flatbuffers::FlatBufferBuilder builder;
  tflite::FinishModelBuffer(builder, tflite::Model::Pack(builder, &model));
  return std::string(reinterpret_cast<const char*>(builder.GetBufferPointer()), builder.GetSize());
}

model_def softmax_model(int32_t n, const std::string& input_name, const std::string& output) {
  model_def def;
  def.tensors = {{input_name, {1, n}}, {output, {1, n}}};
  def.ops = {{tflite::BuiltinOperator_SOFTMAX, {0}, {1}}};
  def.inputs = {0};
  def.outputs = {1};
  return def;
}

namespace {

model_def binary_with_constant(tflite::BuiltinOperator op, float constant, int32_t n) {
  model_def def;
  def.tensors = {{"input", {1, n}},
                 {"constant", {1}, tflite::TensorType_FLOAT32, float_bytes(constant)},
                 {output_name, {1, n}}};
  def.ops = {{op, {0, 1}, {2}}};
  def.inputs = {0};
  def.outputs = {2};
  return def;
}

}  // namespace

model_def scaling_model(float factor, int32_t n) {
  return binary_with_constant(tflite::BuiltinOperator_MUL, factor, n);
}

model_def power_model(float exponent, int32_t n) {
  return binary_with_constant(tflite::BuiltinOperator_POW, exponent, n);
}

model_def unallocatable_model() {
  model_def def;
  def.tensors = {{"input", {1, 2}}, {"other", {1, 3}}, {output_name, {1, 3}}};
  def.ops = {{tflite::BuiltinOperator_ADD, {0, 1}, {2}}};
  def.inputs = {0, 1};
  def.outputs = {2};
  return def;
}
