#include "model/metadata.h"

#include <cmath>

#include "tensorflow/lite/schema/schema_generated.h"
#if CLASSIFY_READS_METADATA
#include "metadata_schema_generated.h"
#endif

namespace classify {

namespace {

// The name under which a model keeps its metadata buffer.
constexpr char metadata_name[] = "TFLITE_METADATA";

std::string text_of(const flatbuffers::String* text) {
  return text != nullptr ? text->str() : std::string();
}

// The bytes of the model's metadata buffer, or false when it has none; a
// buffer that lies outside the model is a problem, in `warnings`.
bool find_metadata_buffer(const uint8_t* bytes, size_t size, const uint8_t** data, size_t* length,
                          std::vector<std::string>* warnings) {
  const tflite::Model* model = tflite::GetModel(bytes);
  if (model->metadata() == nullptr || model->buffers() == nullptr) return false;
  for (const tflite::Metadata* entry : *model->metadata()) {
    if (entry == nullptr || text_of(entry->name()) != metadata_name) continue;
    if (entry->buffer() >= model->buffers()->size()) {
      warnings->push_back("its metadata names buffer " + std::to_string(entry->buffer()) +
                          ", which the model does not have");
      return false;
    }
    const tflite::Buffer* buffer = model->buffers()->Get(entry->buffer());
    if (buffer != nullptr && buffer->data() != nullptr && buffer->data()->size() > 0) {
      *data = buffer->data()->data();
      *length = buffer->data()->size();
      return true;
    }
    // A large model keeps its buffers after the flatbuffer, by offset.
    if (buffer != nullptr && buffer->offset() > 1 && buffer->size() > 0 &&
        buffer->offset() < size && buffer->size() <= size - buffer->offset()) {
      *data = bytes + buffer->offset();
      *length = static_cast<size_t>(buffer->size());
      return true;
    }
    warnings->push_back("its metadata buffer is empty or lies outside the model file");
    return false;
  }
  return false;
}

#if CLASSIFY_READS_METADATA

// Normalization values are one, or one a channel, finite, with no std of 0.
bool sound_normalization(const std::vector<float>& mean, const std::vector<float>& std) {
  const auto count_fits = [](size_t n) { return n == 1 || n == 3; };
  if (!count_fits(mean.size()) || !count_fits(std.size())) return false;
  for (const float value : mean) {
    if (!std::isfinite(value)) return false;
  }
  for (const float value : std) {
    if (!std::isfinite(value) || value == 0.0f) return false;
  }
  return true;
}

void read_normalization(const tflite::TensorMetadata* input, model_metadata* metadata,
                        std::vector<std::string>* warnings) {
  if (input == nullptr || input->process_units() == nullptr) return;
  for (const tflite::ProcessUnit* unit : *input->process_units()) {
    const tflite::NormalizationOptions* options =
        unit != nullptr ? unit->options_as_NormalizationOptions() : nullptr;
    if (options == nullptr) continue;
    std::vector<float> mean, std;
    if (options->mean() != nullptr) mean.assign(options->mean()->begin(), options->mean()->end());
    if (options->std() != nullptr) std.assign(options->std()->begin(), options->std()->end());
    if (!sound_normalization(mean, std)) {
      warnings->push_back("its metadata's input normalization (" + std::to_string(mean.size()) +
                          " means, " + std::to_string(std.size()) +
                          " standard deviations) is not one value or three, finite, with no "
                          "standard deviation of 0");
      return;
    }
    metadata->mean = std::move(mean);
    metadata->std = std::move(std);
    return;
  }
}

void read_label_files(const tflite::TensorMetadata* output, model_metadata* metadata) {
  if (output == nullptr || output->associated_files() == nullptr) return;
  for (const tflite::AssociatedFile* file : *output->associated_files()) {
    if (file == nullptr || file->type() != tflite::AssociatedFileType_TENSOR_AXIS_LABELS ||
        text_of(file->name()).empty()) {
      continue;
    }
    metadata->label_files.push_back({text_of(file->name()), text_of(file->locale())});
  }
}

template <typename Vector>
auto element(const Vector* vector, int position) -> decltype(vector->Get(0)) {
  if (vector == nullptr || position < 0 || static_cast<unsigned>(position) >= vector->size()) {
    return nullptr;
  }
  return vector->Get(static_cast<unsigned>(position));
}

#endif

}  // namespace

model_metadata read_metadata(const uint8_t* bytes, size_t size, int input_position,
                             int output_position, std::vector<std::string>* warnings) {
  model_metadata metadata;
  const uint8_t* data = nullptr;
  size_t length = 0;
  if (!find_metadata_buffer(bytes, size, &data, &length, warnings)) return metadata;
#if !CLASSIFY_READS_METADATA
  (void)input_position;
  (void)output_position;
  warnings->push_back("its metadata is not read: this build has no metadata schema");
  return metadata;
#else
  flatbuffers::Verifier verifier(data, length);
  if (!tflite::VerifyModelMetadataBuffer(verifier)) {
    warnings->push_back(
        "its metadata (TFLITE_METADATA) is damaged: it fails the FlatBuffers verifier");
    return metadata;
  }
  const tflite::ModelMetadata* root = tflite::GetModelMetadata(data);
  metadata.present = true;
  metadata.name = text_of(root->name());
  metadata.version = text_of(root->version());
  metadata.author = text_of(root->author());
  metadata.license = text_of(root->license());
  const tflite::SubGraphMetadata* graph = element(root->subgraph_metadata(), 0);
  if (graph == nullptr) return metadata;
  read_normalization(element(graph->input_tensor_metadata(), input_position), &metadata, warnings);
  read_label_files(element(graph->output_tensor_metadata(), output_position), &metadata);
  return metadata;
#endif
}

const label_file* choose_label_file(const std::vector<label_file>& files,
                                    const std::string& locale) {
  for (const label_file& file : files) {
    if (file.locale == locale) return &file;
  }
  for (const label_file& file : files) {
    if (file.locale.empty()) return &file;
  }
  return files.empty() ? nullptr : &files.front();
}

}  // namespace classify
