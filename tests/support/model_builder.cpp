#include "tests/support/model_builder.h"

#include <cstring>
#include <memory>

namespace classify {

namespace {

tflite::BuiltinOptionsUnion options_for(const op_def& op) {
  tflite::BuiltinOptionsUnion options;
  switch (op.code) {
    case tflite::BuiltinOperator_GATHER: {
      tflite::GatherOptionsT gather;
      gather.axis = op.axis;
      options.Set(gather);
      break;
    }
    case tflite::BuiltinOperator_RESHAPE:
      options.Set(tflite::ReshapeOptionsT{});
      break;
    case tflite::BuiltinOperator_FULLY_CONNECTED:
      options.Set(tflite::FullyConnectedOptionsT{});
      break;
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

std::vector<uint8_t> int32_bytes(const std::vector<int32_t>& values) {
  std::vector<uint8_t> bytes(values.size() * sizeof(int32_t));
  std::memcpy(bytes.data(), values.data(), bytes.size());
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
      tensor->quantization->zero_point = t.zero_point;
      tensor->quantization->zero_point.resize(t.scale.size(), 0);
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
      const tflite::OperatorCodeT& known = *model.operator_codes[i];
      if (known.builtin_code == o.code && known.version == o.version &&
          known.custom_code == o.custom_code) {
        code_index = static_cast<int32_t>(i);
      }
    }
    if (code_index < 0) {
      auto code = std::make_unique<tflite::OperatorCodeT>();
      code->builtin_code = o.code;
      code->deprecated_builtin_code = static_cast<int8_t>(o.code);
      code->version = o.version;
      code->custom_code = o.custom_code;
      code_index = static_cast<int32_t>(model.operator_codes.size());
      model.operator_codes.push_back(std::move(code));
    }
    auto op = std::make_unique<tflite::OperatorT>();
    op->opcode_index = static_cast<uint32_t>(code_index);
    op->inputs = o.inputs;
    op->outputs = o.outputs;
    op->builtin_options = options_for(o);
    subgraph->operators.push_back(std::move(op));
  }
  subgraph->inputs = def.inputs;
  subgraph->outputs = def.outputs;
  model.subgraphs.push_back(std::move(subgraph));
  if (!def.metadata.empty()) {
    auto buffer = std::make_unique<tflite::BufferT>();
    buffer->data.assign(def.metadata.begin(), def.metadata.end());
    auto entry = std::make_unique<tflite::MetadataT>();
    entry->name = "TFLITE_METADATA";
    entry->buffer = static_cast<uint32_t>(model.buffers.size());
    model.buffers.push_back(std::move(buffer));
    model.metadata.push_back(std::move(entry));
  }

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

model_def picking_model(tflite::TensorType type, int32_t height, int32_t width,
                        const std::vector<int32_t>& picks, float scale, int64_t zero_point,
                        bool flat_output) {
  const int32_t row = height * width * 3;
  const int32_t n = static_cast<int32_t>(picks.size());
  const std::vector<float> scales =
      scale != 0.0f ? std::vector<float>{scale} : std::vector<float>{};
  const std::vector<int64_t> zeros =
      scale != 0.0f ? std::vector<int64_t>{zero_point} : std::vector<int64_t>{};
  model_def def;
  const std::vector<int32_t> row_shape =
      flat_output ? std::vector<int32_t>{row} : std::vector<int32_t>{1, row};
  def.tensors = {{"image", {1, height, width, 3}, type, {}, scales, zeros},
                 {"row_shape",
                  {static_cast<int32_t>(row_shape.size())},
                  tflite::TensorType_INT32,
                  int32_bytes(row_shape)},
                 {"row", row_shape, type, {}, scales, zeros},
                 {"picks", {n}, tflite::TensorType_INT32, int32_bytes(picks)},
                 {"scores",
                  flat_output ? std::vector<int32_t>{n} : std::vector<int32_t>{1, n},
                  type,
                  {},
                  scales,
                  zeros}};
  def.ops = {{tflite::BuiltinOperator_RESHAPE, {0, 1}, {2}},
             {tflite::BuiltinOperator_GATHER, {2, 3}, {4}, flat_output ? 0 : 1}};
  def.inputs = {0};
  def.outputs = {4};
  return def;
}

}  // namespace classify
