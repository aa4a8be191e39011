// Kernels of this TensorFlow Lite build beyond 2.14.1's own: FULLY_CONNECTED
// version 12, the hybrid layer that TensorFlow 2.17 and later write for a
// Dense layer under dynamic-range quantization (float input, int8 weights
// with a scale per output unit). Its output is worked out here by hand, and
// must equal the same layer's with its weights in float.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "model/interpreter.h"
#include "tests/support/model_builder.h"

namespace classify {

namespace {

struct layer {
  int units = 0, inputs = 0;
  std::vector<float> x;         // integers from -127 to 127, one of them 127
  std::vector<int8_t> weights;  // units x inputs
  std::vector<float> scales;    // one a unit
  std::vector<float> bias;      // one a unit
};

layer make_layer(int units, int inputs) {
  layer l;
  l.units = units;
  l.inputs = inputs;
  for (int k = 0; k < inputs; ++k) l.x.push_back(static_cast<float>((k * 37) % 255 - 127));
  l.x[0] = 127.0f;  // the hybrid kernel's input scale is then exactly 1
  for (int n = 0; n < units; ++n) {
    for (int k = 0; k < inputs; ++k)
      l.weights.push_back(static_cast<int8_t>((n * 11 + k * 7) % 255 - 127));
    l.scales.push_back(0.01f * static_cast<float>(n + 1));
    l.bias.push_back(0.5f * static_cast<float>(n) - 1.0f);
  }
  return l;
}

std::vector<uint8_t> bytes_of(const void* data, size_t size) {
  const auto* p = static_cast<const uint8_t*>(data);
  return std::vector<uint8_t>(p, p + size);
}

// x [1,K] -> FULLY_CONNECTED(weights [N,K], bias [N]) -> y [1,N]: the weights
// int8 with their scales (version 12), or in float (version 1).
std::string fully_connected(const layer& l, bool hybrid) {
  std::vector<float> dequantized;
  for (int n = 0; n < l.units; ++n) {
    for (int k = 0; k < l.inputs; ++k) {
      dequantized.push_back(l.scales[n] * l.weights[static_cast<size_t>(n * l.inputs + k)]);
    }
  }
  tensor_def weights{"weights", {l.units, l.inputs}};
  if (hybrid) {
    weights.type = tflite::TensorType_INT8;
    weights.data = bytes_of(l.weights.data(), l.weights.size());
    weights.scale = l.scales;
  } else {
    weights.data = bytes_of(dequantized.data(), dequantized.size() * sizeof(float));
  }
  model_def def;
  def.tensors = {{"x", {1, l.inputs}},
                 weights,
                 {"bias",
                  {l.units},
                  tflite::TensorType_FLOAT32,
                  bytes_of(l.bias.data(), l.bias.size() * sizeof(float))},
                 {"y", {1, l.units}}};
  def.ops = {{tflite::BuiltinOperator_FULLY_CONNECTED, {0, 1, 2}, {3}}};
  def.ops[0].version = hybrid ? 12 : 1;
  def.inputs = {0};
  def.outputs = {3};
  return serialize_model(def);
}

// The layer's output as this build computes it; empty when it cannot.
std::vector<float> run(const std::string& model_bytes, const std::vector<float>& x) {
  model_ptr model(
      create_model(reinterpret_cast<const uint8_t*>(model_bytes.data()), model_bytes.size()));
  if (!model) return {};
  TfLiteInterpreterOptions* options = TfLiteInterpreterOptionsCreate();
  TfLiteInterpreter* interp = create_interpreter(model.get(), options);
  std::vector<float> y;
  if (interp != nullptr && allocate_tensors(interp) == kTfLiteOk &&
      TfLiteTensorCopyFromBuffer(TfLiteInterpreterGetInputTensor(interp, 0), x.data(),
                                 x.size() * sizeof(float)) == kTfLiteOk &&
      invoke(interp) == kTfLiteOk) {
    const TfLiteTensor* out = TfLiteInterpreterGetOutputTensor(interp, 0);
    y.resize(TfLiteTensorByteSize(out) / sizeof(float));
    std::memcpy(y.data(), TfLiteTensorData(out), y.size() * sizeof(float));
  }
  TfLiteInterpreterDelete(interp);
  TfLiteInterpreterOptionsDelete(options);
  return y;
}

TEST(Kernels, HybridFullyConnectedWithAScaleAUnitEqualsItsFloatLayer) {
  for (const auto& [units, inputs] :
       std::vector<std::pair<int, int>>{{1, 1}, {3, 5}, {5, 16}, {10, 64}, {17, 33}, {64, 200}}) {
    SCOPED_TRACE(std::to_string(units) + " units, " + std::to_string(inputs) + " inputs");
    const layer l = make_layer(units, inputs);
    const std::vector<float> hybrid = run(fully_connected(l, true), l.x);
    const std::vector<float> in_float = run(fully_connected(l, false), l.x);
    ASSERT_EQ(hybrid.size(), static_cast<size_t>(units));
    ASSERT_EQ(in_float.size(), static_cast<size_t>(units));
    for (int n = 0; n < units; ++n) {
      // sum over k of weight * x, in whole numbers, times the unit's scale.
      long long dot = 0;
      for (int k = 0; k < inputs; ++k) {
        dot += static_cast<long long>(l.weights[static_cast<size_t>(n * inputs + k)]) *
               static_cast<long long>(l.x[static_cast<size_t>(k)]);
      }
      const double want = static_cast<double>(l.scales[n]) * static_cast<double>(dot) + l.bias[n];
      const double tolerance = 1e-5 * (1.0 + std::fabs(want));
      EXPECT_NEAR(hybrid[n], want, tolerance) << "unit " << n;
      EXPECT_NEAR(hybrid[n], in_float[n], tolerance) << "unit " << n;
    }
  }
}

}  // namespace

}  // namespace classify
