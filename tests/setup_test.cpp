// Set-up of the interpreter: tensor lookup by name, and how the program
// reports a model it cannot use.
#include <gtest/gtest.h>

#include <memory>

#include "src/inference.h"
#include "tests/support/model_builder.h"
#include "tests/support/run_support.h"

namespace classify {

namespace {

// An interpreter over model bytes that stay alive as long as it does.
struct loaded_model {
  explicit loaded_model(const model_def& def) : bytes(serialize_model(def)) {
    model = TfLiteModelCreate(bytes.data(), bytes.size());
    options = TfLiteInterpreterOptionsCreate();
    interp = TfLiteInterpreterCreate(model, options);
  }
  ~loaded_model() {
    TfLiteInterpreterDelete(interp);
    TfLiteInterpreterOptionsDelete(options);
    TfLiteModelDelete(model);
  }
  std::string bytes;
  TfLiteModel* model = nullptr;
  TfLiteInterpreterOptions* options = nullptr;
  TfLiteInterpreter* interp = nullptr;
};

model_def two_inputs_named_input() {
  model_def def;
  def.tensors = {{"input", {1, 4}}, {"input", {1, 4}}, {"sum", {1, 4}}};
  def.ops = {{tflite::BuiltinOperator_ADD, {0, 1}, {2}}};
  def.inputs = {0, 1};
  def.outputs = {2};
  return def;
}

model_def no_outputs() {
  model_def def;
  def.tensors = {{"input", {1, 1001}}};
  def.inputs = {0};
  return def;
}

TEST(TensorLookup, FirstOfTwoEquallyNamedInputsWins) {
  loaded_model m(two_inputs_named_input());
  ASSERT_NE(m.interp, nullptr);
  ASSERT_EQ(TfLiteInterpreterAllocateTensors(m.interp), kTfLiteOk);
  TfLiteTensor* found = find_input_tensor(m.interp, "input");
  EXPECT_EQ(found, TfLiteInterpreterGetInputTensor(m.interp, 0));
  EXPECT_NE(found, TfLiteInterpreterGetInputTensor(m.interp, 1));
  EXPECT_EQ(find_output_tensor(m.interp, "sum"), TfLiteInterpreterGetOutputTensor(m.interp, 0));
}

TEST(TensorLookup, MatchesWholeNamesExactlyAndCaseSensitively) {
  loaded_model m(softmax_model(1001, "Input", "MobilenetV3/Predictions/softmax"));
  ASSERT_NE(m.interp, nullptr);
  EXPECT_EQ(find_input_tensor(m.interp, "input"), nullptr);
  EXPECT_EQ(find_input_tensor(m.interp, "Inpu"), nullptr);
  EXPECT_EQ(find_input_tensor(m.interp, "Input "), nullptr);
  EXPECT_EQ(find_output_tensor(m.interp, "MobilenetV3/Predictions/Softmax"), nullptr);
  EXPECT_NE(find_input_tensor(m.interp, "Input"), nullptr);
  // Inputs and outputs are searched separately.
  EXPECT_EQ(find_output_tensor(m.interp, "Input"), nullptr);
}

TEST(TensorLookup, ModelWithoutOutputsFindsNothing) {
  loaded_model m(no_outputs());
  ASSERT_NE(m.interp, nullptr);
  EXPECT_EQ(TfLiteInterpreterGetOutputTensorCount(m.interp), 0);
  EXPECT_EQ(find_output_tensor(m.interp, "MobilenetV3/Predictions/Softmax"), nullptr);
}

TEST(SetupFailures, MissingModelIsReportedWithItsPath) {
  scratch_dir dir;
  const run_result r = run_classify(dir.path);
  EXPECT_EQ(r.out, create_failure);
  EXPECT_EQ(r.status, 1);
}

TEST(SetupFailures, FilesThatAreNotModelsAreReportedAndNeverCrash) {
  const std::string valid = serialize_model(softmax_model());
  std::string random(4096, '\0');
  unsigned state = 12345;
  for (char& c : random) c = static_cast<char>((state = state * 1103515245u + 12345u) >> 16);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"empty", ""},
      {"random bytes", random},
      {"text", "not a model\n"},
      {"truncated to half", valid.substr(0, valid.size() / 2)},
      {"truncated to 16 bytes", valid.substr(0, 16)},
  };
  for (const auto& [what, bytes] : cases) {
    SCOPED_TRACE(what);
    scratch_dir dir;
    dir.write(model_file, bytes);
    const run_result r = run_classify(dir.path);
    EXPECT_EQ(r.out, create_failure);
    EXPECT_EQ(r.status, 1);
  }
}

TEST(SetupFailures, UnallocatableTensorsAreReportedWithoutLineBreak) {
  scratch_dir dir;
  dir.write(model_file, serialize_model(unallocatable_model()));
  dir.write("input.bin", std::string(2, '\0'));
  const run_result r = run_classify(dir.path);
  EXPECT_EQ(r.out, "Failed to allocate tensors!");
  EXPECT_EQ(r.status, 1);
}

TEST(SetupFailures, MissingTensorsAreNamedOnStandardErrorOnly) {
  struct named_case {
    const char* what;
    model_def model;
    const char* named;
  };
  const std::vector<named_case> cases = {
      {"input differs in case", softmax_model(1001, "Input"), "input tensor named \"input\""},
      {"output differs in case", softmax_model(1001, "input", "MobilenetV3/Predictions/softmax"),
       "output tensor named \"MobilenetV3/Predictions/Softmax\""},
      {"no outputs", no_outputs(), "output tensor named \"MobilenetV3/Predictions/Softmax\""},
  };
  for (const named_case& c : cases) {
    SCOPED_TRACE(c.what);
    scratch_dir dir;
    dir.write(model_file, serialize_model(c.model));
    dir.write("input.bin", std::string(1001, '\x80'));
    const run_result r = run_classify(dir.path);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find(c.named), std::string::npos) << r.err;
    EXPECT_EQ(r.status, 1);
  }
}

}  // namespace

}  // namespace classify
