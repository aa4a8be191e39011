#include "model/tensors.h"

#include <algorithm>
#include <cctype>

#include "model/interpreter.h"

namespace classify {

namespace {

bool takes_type(TfLiteType type) {
  return type == kTfLiteFloat32 || type == kTfLiteUInt8 || type == kTfLiteInt8;
}

std::string several_without(int32_t count, const char* role, const char* wanted) {
  if (count == 0) return std::string("the model has no ") + role;
  return "the model has " + std::to_string(count) + " " + role + "s and none is named \"" + wanted +
         "\"; classify-photos needs one image " + role;
}

// The one tensor of `count`, or, where there are several, the first named
// `wanted`; -1 when there is none.
template <typename Get>
int choose(int32_t count, Get get, const char* wanted, const char* role, std::string* error) {
  if (count == 1) return 0;
  for (int32_t i = 0; i < count; ++i) {
    if (tensor_has_name(get(i), wanted)) return i;
  }
  *error = several_without(count, role, wanted);
  return -1;
}

}  // namespace

size_t scores_in(const std::vector<int32_t>& shape) {
  if (shape.empty() || shape.back() < 1) return 0;
  for (size_t d = 0; d + 1 < shape.size(); ++d) {
    if (shape[d] != 1) return 0;
  }
  return static_cast<size_t>(shape.back());
}

tensor_facts facts_of(const TfLiteTensor* tensor, int position) {
  tensor_facts facts;
  const char* name = TfLiteTensorName(tensor);
  facts.name = name != nullptr ? name : "";
  facts.position = position;
  facts.type = TfLiteTensorType(tensor);
  for (int32_t d = 0; d < TfLiteTensorNumDims(tensor); ++d) {
    facts.shape.push_back(TfLiteTensorDim(tensor, d));
  }
  const TfLiteQuantizationParams quantization = TfLiteTensorQuantizationParams(tensor);
  facts.scale = quantization.scale;
  facts.zero_point = quantization.zero_point;
  return facts;
}

std::string shape_text(const std::vector<int32_t>& shape) {
  std::string text = "[";
  for (size_t d = 0; d < shape.size(); ++d) text += (d > 0 ? "," : "") + std::to_string(shape[d]);
  return text + "]";
}

std::string type_text(TfLiteType type) {
  switch (type) {
    case kTfLiteFloat32:
      return "float32";
    case kTfLiteUInt8:
      return "uint8";
    case kTfLiteInt8:
      return "int8";
    default: {
      std::string name = TfLiteTypeGetName(type);
      std::transform(name.begin(), name.end(), name.begin(),
                     [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
      return name;
    }
  }
}

int choose_input(const TfLiteInterpreter* interp, const char* wanted, std::string* error) {
  return choose(
      TfLiteInterpreterGetInputTensorCount(interp),
      [interp](int32_t i) { return TfLiteInterpreterGetInputTensor(interp, i); }, wanted, "input",
      error);
}

int choose_output(const TfLiteInterpreter* interp, const char* wanted, std::string* error) {
  const int32_t count = TfLiteInterpreterGetOutputTensorCount(interp);
  const int chosen = choose(
      count, [interp](int32_t i) { return TfLiteInterpreterGetOutputTensor(interp, i); }, wanted,
      "output", error);
  if (chosen >= 0 || count < 2) return chosen;
  // Boxes of four numbers beside their scores: what an object detector gives.
  std::string shapes;
  bool boxes = false;
  for (int32_t i = 0; i < count; ++i) {
    const tensor_facts facts = facts_of(TfLiteInterpreterGetOutputTensor(interp, i), i);
    shapes += (i == 0 ? "" : i + 1 == count ? " and " : ", ") + shape_text(facts.shape);
    boxes = boxes ||
            (facts.shape.size() >= 2 && facts.shape.back() == 4 && scores_in(facts.shape) == 0);
  }
  if (boxes) {
    *error = std::to_string(count) + " outputs, " + shapes +
             ": this looks like a detector, not a classifier";
  }
  return chosen;
}

std::string input_problem(const tensor_facts& in, int max_side, image_input* image) {
  const std::string has = "input is " + type_text(in.type) + " " + shape_text(in.shape);
  if (!takes_type(in.type)) return has + "; classify-photos needs float32, uint8 or int8";
  const std::vector<int32_t>& s = in.shape;
  const std::string needs = "; classify-photos needs [1,H,W,3], [1,H,W,1] or [1,3,H,W]";
  if (s.size() == 3 && (s[2] == 3 || s[2] == 1)) {
    return "input is " + shape_text(s) + " (no batch dimension)" + needs;
  }
  if (s.size() != 4) return "input is " + shape_text(s) + needs;
  if (s[0] != 1) {
    return "input is " + shape_text(s) + " (a batch of " + std::to_string(s[0]) +
           "); classify-photos needs a batch of 1";
  }
  image_input found;
  if (s[3] == 3 || s[3] == 1) {
    found = {s[3] == 3 ? pixel_layout::rgb : pixel_layout::grey, s[1], s[2],
             s[3] == 3 && s[1] == 3};
  } else if (s[1] == 3) {
    found = {pixel_layout::planes, s[2], s[3], false};
  } else {
    return "input is " + shape_text(s) + needs;
  }
  if (found.height < 1 || found.height > max_side || found.width < 1 || found.width > max_side) {
    return "input is " + shape_text(s) + "; classify-photos needs H and W from 1 to " +
           std::to_string(max_side);
  }
  *image = found;
  return "";
}

std::string output_problem(const tensor_facts& out) {
  const std::string has = "output is " + type_text(out.type) + " " + shape_text(out.shape);
  if (!takes_type(out.type)) return has + "; classify-photos needs float32, uint8 or int8 scores";
  if (scores_in(out.shape) == 0) {
    return "output is " + shape_text(out.shape) + "; classify-photos needs [1,N] or [N]";
  }
  return "";
}

}  // namespace classify
