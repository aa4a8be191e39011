// Fuzzes what classify-photos reads from a model beyond its graph: the
// TFLITE_METADATA buffer (through the FlatBuffers verifier) and the zip
// archive appended to the model (through minizip), over whole model files.
// Each input is read or refused cleanly; a label file is never larger than
// the bound.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "model/associated_file.h"
#include "model/metadata.h"
#include "model/model_check.h"

using namespace classify;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string contents, error;
  // The archive is read from any bytes, model or not.
  if (read_associated_file(data, size, "labels.txt", &contents, &error)) {
    if (contents.size() > max_associated_file_size) std::abort();
  } else if (error.empty()) {
    std::abort();
  }
  if (!model_is_sound(data, size)) return 0;
  std::vector<std::string> warnings;
  const model_metadata metadata = read_metadata(data, size, 0, 0, &warnings);
  for (const label_file& file : metadata.label_files) {
    contents.clear();
    if (read_associated_file(data, size, file.name, &contents, &error) &&
        contents.size() > max_associated_file_size) {
      std::abort();
    }
  }
  if (!metadata.mean.empty() && metadata.mean.size() != 1 && metadata.mean.size() != 3) {
    std::abort();
  }
  return 0;
}
