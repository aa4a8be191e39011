#include "inference.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <exception>
#include <iostream>
#include <locale>
#include <sstream>

#include "flatbuffers/flatbuffers.h"
#include "tensorflow/lite/schema/schema_generated.h"

TfLiteInterpreter* interpreter = nullptr;
TfLiteTensor* input_tensor = nullptr;
const TfLiteTensor* output_tensor = nullptr;

namespace {

// The labels of the result line in GBK (code page 936), written as bytes so
// that no source encoding or locale can change them: "类别：" and "，概率：".
constexpr char class_label[] = "\xC0\xE0\xB1\xF0\xA3\xBA";
constexpr char probability_label[] = "\xA3\xAC\xB8\xC5\xC2\xCA\xA3\xBA";

bool tensor_has_name(const TfLiteTensor* tensor, const char* name) {
  const char* tensor_name = TfLiteTensorName(tensor);
  return tensor_name != nullptr && std::strcmp(tensor_name, name) == 0;
}

void report_missing_tensor(const char* role, const char* name) {
  std::cerr << "classify: the model has no " << role << " tensor named \"" << name << "\"\n";
}

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

// Every index below `limit`; -1 (an omitted optional operand) only where
// `optional_allowed`.
bool indices_in_range(const flatbuffers::Vector<int32_t>* indices, uint32_t limit,
                      bool optional_allowed) {
  if (indices == nullptr) return true;
  for (const int32_t index : *indices) {
    if (index == -1 && optional_allowed) continue;
    if (index < 0 || static_cast<uint32_t>(index) >= limit) return false;
  }
  return true;
}

bool subgraph_is_sound(const tflite::SubGraph* subgraph, uint32_t buffer_count,
                       uint32_t opcode_count, uint64_t* total_bytes) {
  const auto* tensors = subgraph->tensors();
  if (tensors == nullptr) return false;
  for (const tflite::Tensor* tensor : *tensors) {
    if (tensor->buffer() >= buffer_count || !tensor_size_is_sound(tensor, total_bytes)) {
      return false;
    }
  }
  const uint32_t tensor_count = tensors->size();
  if (!indices_in_range(subgraph->inputs(), tensor_count, false) ||
      !indices_in_range(subgraph->outputs(), tensor_count, false)) {
    return false;
  }
  if (const auto* operators = subgraph->operators()) {
    for (const tflite::Operator* op : *operators) {
      if (op->opcode_index() >= opcode_count ||
          !indices_in_range(op->inputs(), tensor_count, true) ||
          !indices_in_range(op->outputs(), tensor_count, true) ||
          !indices_in_range(op->intermediates(), tensor_count, false)) {
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
  const uint32_t opcode_count = model->operator_codes() ? model->operator_codes()->size() : 0;
  uint64_t total_bytes = 0;
  for (const tflite::SubGraph* subgraph : *subgraphs) {
    if (!subgraph_is_sound(subgraph, buffers->size(), opcode_count, &total_bytes)) return false;
  }
  return true;
}

const uint8_t* map_model_file(const std::string& path, size_t* size) {
  // Opening a FIFO would block and a directory cannot be mapped: only a
  // non-empty regular file is taken.
  struct stat info {};
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size <= 0) {
    return nullptr;
  }
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  // Populated at once: the check, the library's own verification and the
  // first invocation's reads of the weights then take no page fault each.
  void* mapped = mmap(nullptr, static_cast<size_t>(info.st_size), PROT_READ,
                      MAP_PRIVATE | MAP_POPULATE, fd, 0);
  close(fd);
  if (mapped == MAP_FAILED) return nullptr;
  *size = static_cast<size_t>(info.st_size);
  return static_cast<const uint8_t*>(mapped);
}

TfLiteModel* create_model(const uint8_t* data, size_t size) {
  return model_is_sound(data, size) ? TfLiteModelCreate(data, size) : nullptr;
}

// The library reports an allocation it cannot satisfy by throwing; here, at
// the boundary, that becomes the failure of the step that asked for it.
TfLiteInterpreter* create_interpreter(const TfLiteModel* model,
                                      const TfLiteInterpreterOptions* options) {
  try {
    return TfLiteInterpreterCreate(model, options);
  } catch (const std::exception&) {
    return nullptr;
  }
}

TfLiteStatus allocate_tensors(TfLiteInterpreter* interp) {
  try {
    return TfLiteInterpreterAllocateTensors(interp);
  } catch (const std::exception&) {
    return kTfLiteError;
  }
}

TfLiteStatus invoke(TfLiteInterpreter* interp) {
  try {
    return TfLiteInterpreterInvoke(interp);
  } catch (const std::exception&) {
    return kTfLiteError;
  }
}

TfLiteTensor* find_input_tensor(const TfLiteInterpreter* interp, const char* name) {
  const int32_t count = TfLiteInterpreterGetInputTensorCount(interp);
  for (int32_t i = 0; i < count; ++i) {
    TfLiteTensor* tensor = TfLiteInterpreterGetInputTensor(interp, i);
    if (tensor_has_name(tensor, name)) return tensor;
  }
  return nullptr;
}

const TfLiteTensor* find_output_tensor(const TfLiteInterpreter* interp, const char* name) {
  const int32_t count = TfLiteInterpreterGetOutputTensorCount(interp);
  for (int32_t i = 0; i < count; ++i) {
    const TfLiteTensor* tensor = TfLiteInterpreterGetOutputTensor(interp, i);
    if (tensor_has_name(tensor, name)) return tensor;
  }
  return nullptr;
}

void init_interpreter(std::string model_path) {
  // The model, its file's mapping and the options live as long as the
  // interpreter, which lives until the process ends; none is released. A
  // file the library could not survive is treated as one it cannot load.
  size_t model_size = 0;
  const uint8_t* model_data = map_model_file(model_path, &model_size);
  TfLiteModel* model = model_data != nullptr ? create_model(model_data, model_size) : nullptr;
  TfLiteInterpreterOptions* options = TfLiteInterpreterOptionsCreate();
  // A model that could not be loaded is null here, and creation fails on it.
  interpreter = create_interpreter(model, options);
  if (interpreter == nullptr) {
    std::cout << "Failed to create interpreter" << model_path << std::endl;
    return;
  }
  if (allocate_tensors(interpreter) != kTfLiteOk) {
    std::cout << "Failed to allocate tensors!";
    return;
  }
  input_tensor = find_input_tensor(interpreter, input_tensor_name);
  output_tensor = find_output_tensor(interpreter, output_tensor_name);
  if (input_tensor == nullptr) report_missing_tensor("input", input_tensor_name);
  if (output_tensor == nullptr) report_missing_tensor("output", output_tensor_name);
}

bool engine_ready() {
  return interpreter != nullptr && input_tensor != nullptr && output_tensor != nullptr;
}

bool input_fits_model(const std::string& input_path, int32_t size) {
  if (TfLiteTensorType(input_tensor) != kTfLiteFloat32) {
    std::cerr << "classify: the model's input tensor \"" << input_tensor_name
              << "\" holds elements of type " << TfLiteTypeGetName(TfLiteTensorType(input_tensor))
              << ", not FLOAT32\n";
    return false;
  }
  const size_t wanted = TfLiteTensorByteSize(input_tensor) / sizeof(float);
  if (static_cast<int64_t>(size) < 0 || static_cast<size_t>(size) != wanted) {
    std::cerr << "classify: " << input_path << ": holds " << size
              << " bytes, but the model's input tensor takes " << wanted
              << " (one byte per value)\n";
    return false;
  }
  return true;
}

void find_best_score(const float* scores, int32_t count, int32_t* best_index, float* best_score) {
  *best_score = -1.0f;
  *best_index = -1;
  for (int32_t i = 0; i < count; ++i) {
    // Strictly greater: a tie keeps the lower index, and NaN compares false.
    if (scores[i] > *best_score) {
      *best_score = scores[i];
      *best_index = i;
    }
  }
}

void write_result_line(std::ostream& out, int32_t best_index, float best_score) {
  // Formatted apart from `out` so that neither the global locale nor flags
  // left on the stream change the digits.
  std::ostringstream line;
  line.imbue(std::locale::classic());
  line << class_label << best_index << probability_label << best_score << '\n';
  out << line.str() << std::flush;
}

bool run_inference(const float* values, int32_t size) {
  if (!engine_ready()) return false;
  // The count is widened with its sign before the multiplication, so that no
  // count can wrap into a byte size the tensor would accept.
  const int64_t input_bytes = static_cast<int64_t>(size) * static_cast<int64_t>(sizeof(float));
  if (input_bytes < 0 || TfLiteTensorCopyFromBuffer(
                             input_tensor, values, static_cast<size_t>(input_bytes)) != kTfLiteOk) {
    std::cerr << "classify: the input tensor refused " << input_bytes << " bytes; it takes "
              << TfLiteTensorByteSize(input_tensor) << "\n";
    return false;
  }
  if (invoke(interpreter) != kTfLiteOk) {
    std::cerr << "classify: the model failed to run\n";
    return false;
  }
  float logits[score_count] = {};
  if (TfLiteTensorType(output_tensor) != kTfLiteFloat32 ||
      TfLiteTensorCopyToBuffer(output_tensor, logits, sizeof logits) != kTfLiteOk) {
    std::cerr << "classify: the output tensor \"" << output_tensor_name << "\" holds "
              << TfLiteTensorByteSize(output_tensor) << " bytes of "
              << TfLiteTypeGetName(TfLiteTensorType(output_tensor)) << ", not " << score_count
              << " FLOAT32 scores\n";
    return false;
  }
  int32_t best_index = -1;
  float best_score = -1.0f;
  find_best_score(logits, score_count, &best_index, &best_score);
  write_result_line(std::cout, best_index, best_score);
  return true;
}
