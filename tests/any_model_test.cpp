// classify-photos with image classifiers of every kind it takes: float,
// uint8 and int8 models of many input sizes and class counts, with and
// without metadata (normalization, label files in one or two locales, in an
// archive whose offsets count either way), damaged metadata and archives,
// and --top, --mean, --std, --labels and --locale. The models pick input
// values as scores, so that every expected line is worked out here from the
// photograph's bytes, not taken from the program. Then models it refuses,
// the real classifiers in ../shared/models/zoo, and folders walked.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <numeric>
#include <sstream>

#include "tensorflow/lite/c/c_api.h"
#include "tests/support/image_support.h"
#include "tests/support/metadata_builder.h"
#include "tests/support/model_builder.h"
#include "tests/support/run_support.h"
#include "tests/support/sample_data.h"

namespace classify {

namespace {

using tflite::TensorType;

run_result classify_photos(const scratch_dir& dir, const std::vector<std::string>& args) {
  return run_program(CLASSIFY_PHOTOS_EXE, args, dir.path);
}

// A photograph whose byte i is (37 i + 11) mod 256, so that the picked
// values differ and cover the byte range.
std::string photo_bytes(int width, int height) {
  std::string bytes(static_cast<size_t>(width) * height * 3, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((37 * i + 11) % 256);
  return bytes;
}

std::string ppm_of(int width, int height, const std::string& bytes) {
  std::vector<rgb> pixels;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    pixels.push_back({static_cast<unsigned char>(bytes[i]),
                      static_cast<unsigned char>(bytes[i + 1]),
                      static_cast<unsigned char>(bytes[i + 2])});
  }
  return ppm(width, height, pixels);
}

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

struct model_case {
  std::string title;
  TensorType type = TensorType::TensorType_FLOAT32;
  int height = 1, width = 1, classes = 1;
  float scale = 0.0f;  // quantization of the input and the output
  int64_t zero_point = 0;
  bool flat_output = false;
  std::vector<int32_t> output_shape = {};  // the scores reshaped to it; as built when empty
  std::string layout = "rgb";              // or "grey" ([1,H,W,1]), "planes" ([1,3,H,W])
  // An element-wise operator by a constant that leaves the values as they
  // are, first on the input, as Keras' Rescaling layer converts: MUL or ADD.
  tflite::BuiltinOperator rescaling = tflite::BuiltinOperator_CUSTOM;  // none
  std::string described = {};                               // a part of what --describe says of it
  std::string metadata;                                     // the buffer; none when empty
  std::vector<std::pair<std::string, std::string>> zipped;  // files appended to the model
  bool offsets_from_archive = false;
  std::string damage = {};        // the first byte of this text in the model file is spoilt
  std::vector<std::string> args;  // --top and the rest
  // What the program should take: the normalization and the class names.
  std::vector<float> mean = {127.5f, 127.5f, 127.5f}, std = {127.5f, 127.5f, 127.5f};
  std::vector<std::string> labels = {};
  bool have_labels = false;
  std::string warning = {};  // a part of the one warning expected
};

// The line classify-photos should write: each class's score worked out from
// the photograph's bytes by the conventions of the model's type.
std::string expected_line(const model_case& c, const std::string& photo_name,
                          const std::string& bytes, const std::vector<int32_t>& picks, int top) {
  std::vector<double> scores;
  const auto byte_at = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
  for (const int32_t pick : picks) {
    // The photograph's byte that input value `pick` holds, and its channel.
    int byte = byte_at(static_cast<size_t>(pick));
    int channel = pick % 3;
    if (c.layout == "grey") {
      const size_t p = 3 * static_cast<size_t>(pick);
      byte = (19595 * byte_at(p) + 38470 * byte_at(p + 1) + 7471 * byte_at(p + 2) + 32768) >> 16;
      channel = 0;
    } else if (c.layout == "planes") {
      const int plane = c.height * c.width;
      channel = pick / plane;
      byte = byte_at(3 * static_cast<size_t>(pick % plane) + static_cast<size_t>(channel));
    }
    float score = 0.0f;
    if (c.type == TensorType::TensorType_FLOAT32) {
      score = static_cast<float>((byte - static_cast<double>(c.mean[channel])) /
                                 static_cast<double>(c.std[channel]));
    } else {
      const int q = c.type == TensorType::TensorType_UINT8 ? byte : byte - 128;
      score = c.scale * static_cast<float>(q - c.zero_point);
    }
    scores.push_back(score);
  }
  std::vector<size_t> order(scores.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return scores[a] > scores[b]; });
  std::string line = photo_name;
  for (int k = 0; k < top; ++k) {
    const size_t j = order[static_cast<size_t>(k)];
    line += "\t" + std::to_string(j) + "\t" + number(scores[j]);
    if (c.have_labels) line += "\t" + (j < c.labels.size() ? c.labels[j] : "");
  }
  return line;
}

std::vector<std::string> numbered(const std::string& prefix, int count) {
  std::vector<std::string> names;
  for (int i = 0; i < count; ++i) names.push_back(prefix + std::to_string(i));
  return names;
}

std::string joined_lines(const std::vector<std::string>& lines, const std::string& end) {
  std::string text;
  for (size_t i = 0; i < lines.size(); ++i) text += lines[i] + (i + 1 < lines.size() ? "\n" : end);
  return text;
}

model_case kind(const std::string& title, TensorType type, int height, int width, int classes,
                float scale = 0.0f, int64_t zero_point = 0, bool flat_output = false) {
  model_case c;
  c.title = title;
  c.type = type;
  c.height = height;
  c.width = width;
  c.classes = classes;
  c.scale = scale;
  c.zero_point = zero_point;
  c.flat_output = flat_output;
  return c;
}

std::vector<model_case> model_cases() {
  const std::vector<std::string> en = numbered("en ", 1001), fr = numbered("fr ", 1001);
  metadata_def two_locales;
  two_locales.name = "two locales";
  two_locales.label_files = {{"labels_fr.txt", "fr"}, {"labels_en.txt", "en"}};
  const std::vector<std::pair<std::string, std::string>> both = {
      {"labels_fr.txt", joined_lines(fr, "\n")}, {"labels_en.txt", joined_lines(en, "")}};
  metadata_def one_value;
  one_value.mean = {0.0f};
  one_value.std = {255.0f};
  one_value.label_files = {{"labels.txt", ""}};
  metadata_def three_values;
  three_values.mean = {123.675f, 116.28f, 103.53f};
  three_values.std = {58.395f, 57.12f, 57.375f};
  metadata_def named_only;
  named_only.label_files = {{"labels.txt", ""}};
  std::string damaged = metadata_buffer(two_locales);
  damaged[damaged.size() / 2] ^= 0x5A;
  damaged.resize(damaged.size() - 9);

  std::vector<model_case> cases;
  model_case c = kind("float 224x224, 1001 classes, no metadata", TensorType::TensorType_FLOAT32,
                      224, 224, 1001);
  c.args = {"--top", "3"};
  cases.push_back(c);

  c = kind("float 2x3, 2 classes, one-value normalization, labels", TensorType::TensorType_FLOAT32,
           2, 3, 2);
  c.metadata = metadata_buffer(one_value);
  c.zipped = {{"labels.txt", "cat\r\ndog\r\n"}};
  c.args = {"--top", "2"};
  c.mean = {0, 0, 0};
  c.std = {255, 255, 255};
  c.labels = {"cat", "dog"};
  c.have_labels = true;
  cases.push_back(c);

  c = kind("float 5x7, 3 classes, three-value normalization", TensorType::TensorType_FLOAT32, 5, 7,
           3);
  c.metadata = metadata_buffer(three_values);
  c.args = {"--top", "3"};
  c.mean = three_values.mean;
  c.std = three_values.std;
  cases.push_back(c);

  c = kind("float 1x1, 1001 classes, --mean and --std over the metadata's, French labels",
           TensorType::TensorType_FLOAT32, 1, 1, 1001);
  metadata_def both_norm = two_locales;
  both_norm.mean = {127.5f};
  both_norm.std = {127.5f};
  c.metadata = metadata_buffer(both_norm);
  c.zipped = both;
  c.args = {"--top", "4", "--mean", "10,20,30", "--std", "2", "--locale", "fr"};
  c.mean = {10, 20, 30};
  c.std = {2, 2, 2};
  c.labels = fr;
  c.have_labels = true;
  cases.push_back(c);

  c = kind("uint8 8x6, 1001 classes, English labels by default", TensorType::TensorType_UINT8, 8, 6,
           1001, 0.02f, 100);
  c.metadata = metadata_buffer(two_locales);
  c.zipped = both;
  c.args = {"--top", "5"};
  c.labels = en;
  c.have_labels = true;
  cases.push_back(c);

  c = kind("uint8 1x1, 2 classes as [N], --labels without a final newline",
           TensorType::TensorType_UINT8, 1, 1, 2, 1.0f / 256, 0, true);
  c.args = {"--top", "2", "--labels", "pair.txt"};
  c.labels = {"0 apple", "1 pear"};
  c.have_labels = true;
  cases.push_back(c);

  c = kind("uint8 2x2, archive offsets from its own start, --labels over them",
           TensorType::TensorType_UINT8, 2, 2, 2, 0.5f, 7);
  c.metadata = metadata_buffer(named_only);
  c.zipped = {{"labels.txt", "own\nlabels\n"}};
  c.offsets_from_archive = true;
  c.labels = {"own", "labels"};
  c.have_labels = true;
  cases.push_back(c);
  c.title = "the same with --labels";
  c.args = {"--labels", "pair.txt"};
  c.labels = {"0 apple", "1 pear"};
  cases.push_back(c);

  c = kind("int8 3x2, 1001 classes, damaged metadata", TensorType::TensorType_INT8, 3, 2, 1001,
           0.5f, -3);
  c.metadata = damaged;
  c.zipped = both;
  c.args = {"--top", "2"};
  c.warning = "metadata (TFLITE_METADATA) is damaged";
  cases.push_back(c);

  c = kind("int8 96x96, 2 classes, damaged archive", TensorType::TensorType_INT8, 96, 96, 2,
           1.0f / 256, -128);
  c.metadata = metadata_buffer(named_only);
  c.zipped = {{"labels.txt", "notperson\nperson\n"}};
  c.damage = "notperson";
  c.args = {"--top", "2"};
  c.warning = "label file labels.txt cannot be read: its checksum does not match";
  cases.push_back(c);

  c = kind("float 4x4, 1 class, a label file but no archive", TensorType::TensorType_FLOAT32, 4, 4,
           1);
  c.metadata = metadata_buffer(named_only);
  c.warning = "no zip archive appended";
  cases.push_back(c);
  // One channel, and channels first, of every type; a float one with the
  // metadata's normalization.
  for (const auto& [layout, type] :
       std::vector<std::pair<std::string, TensorType>>{{"grey", TensorType::TensorType_FLOAT32},
                                                       {"grey", TensorType::TensorType_UINT8},
                                                       {"grey", TensorType::TensorType_INT8},
                                                       {"planes", TensorType::TensorType_FLOAT32},
                                                       {"planes", TensorType::TensorType_UINT8},
                                                       {"planes", TensorType::TensorType_INT8}}) {
    const bool quantized = type != TensorType::TensorType_FLOAT32;
    c = kind(layout + " " + std::to_string(static_cast<int>(type)) + " 5x4, 9 classes", type, 5, 4,
             9, quantized ? 0.5f : 0.0f, quantized ? 2 : 0);
    c.layout = layout;
    c.args = {"--top", "4"};
    cases.push_back(c);
  }
  c = kind("planes float 3x2 with three-value normalization", TensorType::TensorType_FLOAT32, 3, 2,
           17);
  c.layout = "planes";
  c.metadata = metadata_buffer(three_values);
  c.mean = three_values.mean;
  c.std = three_values.std;
  c.args = {"--top", "5"};
  cases.push_back(c);
  // [1,3,W,3] is read as channels last.
  c = kind("float 3x4, channels last though it could be either", TensorType::TensorType_FLOAT32, 3,
           4, 6);
  cases.push_back(c);

  // A graph that rescales its own input takes the bytes as they are, unless
  // its metadata or --mean and --std say otherwise.
  c = kind("float 4x4 that rescales its input (MUL), 10 classes", TensorType::TensorType_FLOAT32, 4,
           4, 10);
  c.rescaling = tflite::BuiltinOperator_MUL;
  c.mean = {0, 0, 0};
  c.std = {1, 1, 1};
  c.args = {"--top", "3"};
  c.described =
      "normalization: mean 0 (the model rescales its own input: values 0 to 255), std 1 (the "
      "model rescales its own input: values 0 to 255)\n";
  cases.push_back(c);
  c.title = "float 4x4 that rescales its input (ADD), one channel";
  c.rescaling = tflite::BuiltinOperator_ADD;
  c.layout = "grey";
  c.described = "  photographs prepared at 4x4, grey, (19595 R + 38470 G + 7471 B + 32768) >> 16";
  cases.push_back(c);
  c.described.clear();
  c = kind("float 4x4 that rescales its input, with --mean and --std",
           TensorType::TensorType_FLOAT32, 4, 4, 10);
  c.rescaling = tflite::BuiltinOperator_MUL;
  c.args = {"--mean", "10,20,30", "--std", "2"};
  c.mean = {10, 20, 30};
  c.std = {2, 2, 2};
  cases.push_back(c);
  c = kind("float 4x4 that rescales its input, with metadata", TensorType::TensorType_FLOAT32, 4, 4,
           10);
  c.rescaling = tflite::BuiltinOperator_MUL;
  c.metadata = metadata_buffer(three_values);
  c.mean = three_values.mean;
  c.std = three_values.std;
  cases.push_back(c);

  // Scores of any rank whose dimensions are all 1 but the last.
  c = kind("uint8 3x3, 5 classes as [1,1,1,5]", TensorType::TensorType_UINT8, 3, 3, 5, 0.25f, 3);
  c.output_shape = {1, 1, 1, 5};
  c.args = {"--top", "2"};
  cases.push_back(c);
  c = kind("float 4x2, 7 classes as [1,1,7]", TensorType::TensorType_FLOAT32, 4, 2, 7);
  c.output_shape = {1, 1, 7};
  cases.push_back(c);

  return cases;
}

TEST(AnyModel, ScoresLabelsAndTopClassesOverTypesSizesClassesAndMetadata) {
  for (const model_case& c : model_cases()) {
    SCOPED_TRACE(c.title);
    scratch_dir dir;
    const std::string bytes = photo_bytes(c.width, c.height);
    dir.write("photo.ppm", ppm_of(c.width, c.height, bytes));
    dir.write("pair.txt", "0 apple\r\n1 pear");
    const int32_t row = c.height * c.width * (c.layout == "grey" ? 1 : 3);
    std::vector<int32_t> picks;
    for (int j = 0; j < c.classes; ++j) picks.push_back((j * 7 + 3) % row);
    model_def def =
        picking_model(c.type, c.height, c.width, picks, c.scale, c.zero_point, c.flat_output);
    // The same model over one channel, or over channels first.
    if (c.layout == "grey") {
      def.tensors[0].shape = {1, c.height, c.width, 1};
      def.tensors[2].shape.back() = row;
      def.tensors[1].data = int32_bytes(def.tensors[2].shape);
    } else if (c.layout == "planes") {
      def.tensors[0].shape = {1, 3, c.height, c.width};
    }
    if (c.rescaling != tflite::BuiltinOperator_CUSTOM) {
      const float neutral = c.rescaling == tflite::BuiltinOperator_MUL ? 1.0f : 0.0f;
      def.tensors.push_back({"neutral", {1}, TensorType::TensorType_FLOAT32, float_bytes(neutral)});
      def.tensors.push_back({"rescaled", def.tensors[0].shape});
      const int32_t n = static_cast<int32_t>(def.tensors.size());
      def.ops.insert(def.ops.begin(), {c.rescaling, {0, n - 2}, {n - 1}});
      def.ops[1].inputs[0] = n - 1;
    }
    def.metadata = c.metadata;
    if (!c.output_shape.empty()) {
      const tensor_def scores = def.tensors[def.outputs[0]];  // a copy: the vector grows
      def.tensors.push_back({"score_shape",
                             {static_cast<int32_t>(c.output_shape.size())},
                             TensorType::TensorType_INT32,
                             int32_bytes(c.output_shape)});
      def.tensors.push_back(
          {"scores_reshaped", c.output_shape, scores.type, {}, scores.scale, scores.zero_point});
      const int32_t n = static_cast<int32_t>(def.tensors.size());
      def.ops.push_back({tflite::BuiltinOperator_RESHAPE, {def.outputs[0], n - 2}, {n - 1}});
      def.outputs = {n - 1};
    }
    std::string model = serialize_model(def);
    if (!c.zipped.empty()) model = with_zip(model, c.zipped, c.offsets_from_archive);
    if (!c.damage.empty()) model[model.find(c.damage)] ^= 0x20;
    dir.write("model.tflite", model);

    std::vector<std::string> args = {"--model", "model.tflite"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    args.push_back("photo.ppm");
    const run_result r = classify_photos(dir, args);
    EXPECT_EQ(r.status, 0) << r.err;
    int top = 1;
    for (size_t i = 0; i + 1 < c.args.size(); ++i) {
      if (c.args[i] == "--top") top = std::stoi(c.args[i + 1]);
    }
    EXPECT_EQ(r.out, expected_line(c, "photo.ppm", bytes, picks, top) + "\n");
    if (!c.described.empty()) {
      const run_result described = classify_photos(dir, {"--model", "model.tflite", "--describe"});
      EXPECT_NE(described.out.find(c.described), std::string::npos) << described.out;
    }
    if (c.warning.empty()) {
      EXPECT_EQ(r.err, "");
    } else {
      ASSERT_EQ(lines_of(r.err).size(), 1u) << r.err;
      EXPECT_EQ(r.err.rfind("classify-photos: model.tflite: warning: ", 0), 0u) << r.err;
      EXPECT_NE(r.err.find(c.warning), std::string::npos) << r.err;
    }
  }
}

// A model builder for the refusals: input -> one operator -> output.
model_def one_op(tflite::BuiltinOperator op, const std::vector<tensor_def>& tensors,
                 std::vector<int32_t> inputs, std::vector<int32_t> op_inputs, int32_t output) {
  model_def def;
  def.tensors = tensors;
  def.ops = {{op, std::move(op_inputs), {output}}};
  def.inputs = std::move(inputs);
  def.outputs = {output};
  return def;
}

tensor_def reshaped(const std::vector<int32_t>& shape) {
  return {"shape",
          {static_cast<int32_t>(shape.size())},
          TensorType::TensorType_INT32,
          int32_bytes(shape)};
}

TEST(AnyModel, UnusableModelsAreRefusedOnceBeforeAnyPhotograph) {
  using T = TensorType;
  const auto reshape = [](const std::vector<int32_t>& in, T type, const std::vector<int32_t>& out) {
    return one_op(tflite::BuiltinOperator_RESHAPE,
                  {{"image", in, type}, reshaped(out), {"scores", out, type}}, {0}, {0, 1}, 2);
  };
  const struct {
    model_def model;
    std::string message;
  } cases[] = {
      {reshape({1, 8, 8, 2}, T::TensorType_FLOAT32, {1, 128}),
       "input is [1,8,8,2]; classify-photos needs [1,H,W,3], [1,H,W,1] or [1,3,H,W]"},
      {reshape({1, 1, 8, 8}, T::TensorType_FLOAT32, {1, 64}),
       "input is [1,1,8,8]; classify-photos needs [1,H,W,3], [1,H,W,1] or [1,3,H,W]"},
      {reshape({8, 8, 3}, T::TensorType_FLOAT32, {1, 192}),
       "input is [8,8,3] (no batch dimension); classify-photos needs [1,H,W,3], [1,H,W,1] or "
       "[1,3,H,W]"},
      {reshape({192}, T::TensorType_FLOAT32, {1, 192}),
       "input is [192]; classify-photos needs [1,H,W,3], [1,H,W,1] or [1,3,H,W]"},
      {reshape({2, 8, 8, 3}, T::TensorType_FLOAT32, {2, 192}),
       "input is [2,8,8,3] (a batch of 2); classify-photos needs a batch of 1"},
      {reshape({1, 3, 4097, 2}, T::TensorType_FLOAT32, {1, 24582}),
       "input is [1,3,4097,2]; classify-photos needs H and W from 1 to 4096"},
      {reshape({1, 4097, 1, 3}, T::TensorType_FLOAT32, {1, 12291}),
       "input is [1,4097,1,3]; classify-photos needs H and W from 1 to 4096"},
      {reshape({1, 2, 2, 3}, T::TensorType_INT16, {1, 12}),
       "input is int16 [1,2,2,3]; classify-photos needs float32, uint8 or int8"},
      {reshape({1, 2, 2, 3}, T::TensorType_FLOAT32, {1, 2, 2, 3}),
       "output is [1,2,2,3]; classify-photos needs [1,N] or [N]"},
      {reshape({1, 2, 2, 3}, T::TensorType_FLOAT32, {3, 4}),
       "output is [3,4]; classify-photos needs [1,N] or [N]"},
      {one_op(tflite::BuiltinOperator_CAST,
              {{"image", {1, 2, 2, 3}}, {"scores", {1, 2, 2, 3}, T::TensorType_INT32}}, {0}, {0},
              1),
       "output is int32 [1,2,2,3]; classify-photos needs float32, uint8 or int8 scores"},
      {one_op(tflite::BuiltinOperator_ADD,
              {{"a", {1, 2, 2, 3}}, {"b", {1, 2, 2, 3}}, {"scores", {1, 2, 2, 3}}}, {0, 1}, {0, 1},
              2),
       "the model has 2 inputs and none is named \"input\"; classify-photos needs one image "
       "input"},
  };
  // Operators this build does not have, named before any photograph is read.
  const auto with_op = [&](tflite::BuiltinOperator op, int32_t version, const std::string& custom) {
    model_def def = reshape({1, 2, 2, 3}, T::TensorType_FLOAT32, {1, 12});
    def.tensors.push_back({"out", {1, 12}});
    def.ops.push_back({op, {2}, {3}});
    def.ops.back().version = version;
    def.ops.back().custom_code = custom;
    def.outputs = {3};
    return def;
  };
  std::vector<std::pair<model_def, std::string>> missing = {
      {with_op(tflite::BuiltinOperator_CUSTOM, 1, "edgetpu-custom-op"),
       "the model uses the custom operator edgetpu-custom-op (a Coral Edge TPU model; it needs the "
       "Edge TPU runtime)"},
      {with_op(tflite::BuiltinOperator_CUSTOM, 1, "MyOwnLayer"),
       "the model uses the custom operator MyOwnLayer, which this TensorFlow Lite does not have"},
      {with_op(tflite::BuiltinOperator_SOFTMAX, 13, ""),
       "the model needs SOFTMAX version 13, which this TensorFlow Lite (" +
           std::string(TfLiteVersion()) + ") does not have"},
      {with_op(tflite::BuiltinOperator_RELU, 99, ""),
       "the model needs RELU version 99, which this TensorFlow Lite (" +
           std::string(TfLiteVersion()) + ") does not have"},
  };
  // Boxes beside scores: a detector.
  model_def detector = reshape({1, 2, 2, 3}, T::TensorType_FLOAT32, {1, 3, 4});
  detector.tensors.push_back(reshaped({1, 4, 3}));
  detector.tensors.push_back({"classes", {1, 4, 3}});
  detector.ops.push_back({tflite::BuiltinOperator_RESHAPE, {0, 3}, {4}});
  detector.outputs = {2, 4};
  missing.push_back({detector,
                     "2 outputs, [1,3,4] and [1,4,3]: this looks like a detector, not a "
                     "classifier"});
  std::vector<std::pair<model_def, std::string>> all;
  for (const auto& c : cases) all.push_back({c.model, c.message});
  all.insert(all.end(), missing.begin(), missing.end());
  for (const auto& [model, message] : all) {
    SCOPED_TRACE(message);
    scratch_dir dir;
    dir.write("model.tflite", serialize_model(model));
    const run_result r =
        classify_photos(dir, {"--model", "model.tflite", "gone1.jpg", "gone2.jpg"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "classify-photos: model.tflite: " + message + "\n");
  }
}

// The real classifiers people download, on the sample photograph, with their
// own labels: the quantized MobileNet v2 names the uniform, the ImageNet
// ones have it among their best, the person detector finds the person.
TEST(AnyModel, RealClassifiersFromModelZoosNameTheSamplePhotograph) {
  const std::string zoo = CLASSIFY_SHARED_DIR "/models/zoo/";
  if (!std::filesystem::exists(zoo) || !std::filesystem::exists(sample_photo)) {
    GTEST_SKIP() << "no " << zoo << " or sample photograph";
  }
  scratch_dir dir;
  magick(dir, {sample_photo, "-quality", "92", "hopper.jpg"});
  const std::string imagenet = zoo + "labels_imagenet_1001_tflite_support.txt";
  const struct {
    std::string model;
    std::vector<std::string> extra;
    size_t within;  // 653 among this many best
    std::string label;
  } cases[] = {
      {"tf2_mobilenet_v2_1.0_224_ptq.tflite", {}, 1, "military uniform"},
      {"mobilenet_v1_0.25_128_quant.tflite", {}, 3, "military uniform"},
      {"mobilenet_v1_0.25_224_1_metadata_1.tflite", {}, 2, "military uniform"},
      {"mobilenet_v1_0.25_224_1_default_1.tflite", {"--labels", imagenet}, 2, "military uniform"},
      {"mlperf_tiny_vww_96_int8.tflite",
       {"--labels", zoo + "mlperf_tiny_vww_labels.txt"},
       1,
       "person"},
  };
  std::string v1_scores[2];
  for (const auto& c : cases) {
    SCOPED_TRACE(c.model);
    const std::string top = c.label == "person" ? "2" : "3";
    std::vector<std::string> args = {"--model", zoo + c.model, "--top", top, "--json"};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    args.push_back("hopper.jpg");
    const run_result r = classify_photos(dir, args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    ASSERT_EQ(lines_of(r.out).size(), 1u);
    const nlohmann::json line = nlohmann::json::parse(r.out);
    std::vector<std::string> best;
    for (const nlohmann::json& named : line["classes"]) best.push_back(named["label"]);
    ASSERT_EQ(best.size(), std::stoul(top));
    EXPECT_NE(std::find(best.begin(), best.begin() + c.within, c.label), best.begin() + c.within)
        << r.out;
    if (c.model.rfind("mobilenet_v1_0.25_224", 0) == 0) {
      v1_scores[c.extra.empty() ? 0 : 1] = line["classes"].dump();
    }
  }
  // The same network with and without metadata: the same classes and scores.
  EXPECT_EQ(v1_scores[0], v1_scores[1]);
}

TEST(AnyModel, FoldersAreWalkedInOrderForThePhotographsInThem) {
  scratch_dir dir;
  namespace fs = std::filesystem;
  const std::string picture = ppm_of(4, 4, photo_bytes(4, 4));
  fs::create_directories(dir.file("photos/sub/deeper"));
  fs::create_directories(dir.file("empty/nothing"));
  magick(dir, {"-size", "4x4", "xc:red", "photos/b.jpg"});
  magick(dir, {"-size", "4x4", "xc:blue", "photos/sub/deeper/d.png"});
  magick(dir, {"-size", "4x4", "xc:green", "photos/sub/c.gif"});
  dir.write("photos/a.ppm", picture);
  dir.write("photos/a.ppm.xmp", "<x:xmpmeta/>\n");
  dir.write("photos/notes.txt", "BM is not a bitmap\n");
  dir.write("photos/clip.mp4", std::string("\0\0\0\x18"
                                           "ftypisom",
                                           12) +
                                   std::string(20, 'v'));
  dir.write("outside.ppm", picture);
  fs::create_symlink("sub", dir.file("photos/link_to_sub"));
  fs::create_symlink("../outside.ppm", dir.file("photos/link.ppm"));
  dir.write("model.tflite",
            serialize_model(picking_model(TensorType::TensorType_FLOAT32, 4, 4, {0, 1, 2})));

  const run_result r =
      classify_photos(dir, {"--model", "model.tflite", "photos", "photos/notes.txt", "empty"});
  EXPECT_EQ(r.status, 1) << r.err;
  std::vector<std::string> paths;
  for (const std::string& line : lines_of(r.out)) paths.push_back(line.substr(0, line.find('\t')));
  EXPECT_EQ(paths, (std::vector<std::string>{"photos/a.ppm", "photos/b.jpg", "photos/link.ppm",
                                             "photos/sub/c.gif", "photos/sub/deeper/d.png"}));
  EXPECT_EQ(lines_of(r.err).size(), 1u) << r.err;
  EXPECT_EQ(r.err.rfind("classify-photos: photos/notes.txt: ", 0), 0u) << r.err;

  const run_result empty = classify_photos(dir, {"--model", "model.tflite", "empty/"});
  EXPECT_EQ(empty.status, 2);
  EXPECT_EQ(empty.out, "");
  EXPECT_EQ(empty.err.rfind("classify-photos: no photographs", 0), 0u) << empty.err;
}

}  // namespace

}  // namespace classify
