#include "model/interpreter.h"

#include <cstring>
#include <exception>

#include "model/model_check.h"
#include "model/operators.h"
#include "platform/platform.h"

namespace classify {

const uint8_t* map_model_file(const std::string& path, size_t* size) {
  return map_file_readonly(path, size);
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

bool tensor_has_name(const TfLiteTensor* tensor, const char* name) {
  const char* tensor_name = TfLiteTensorName(tensor);
  return tensor_name != nullptr && std::strcmp(tensor_name, name) == 0;
}

loaded_model load_model(const std::string& path, std::string* error) {
  loaded_model loaded;
  loaded.bytes = map_model_file(path, &loaded.size);
  if (loaded.bytes == nullptr) {
    *error = path + ": not a readable, non-empty model file";
    return loaded;
  }
  loaded.model.reset(create_model(loaded.bytes, loaded.size));
  if (!loaded.model) {
    *error = path + ": not a TensorFlow Lite model that this program can run (" +
             create_failure_message + ")";
    return loaded;
  }
  const std::string missing = missing_operator(loaded.bytes, loaded.size);
  if (!missing.empty()) {
    *error = path + ": " + missing;
    loaded.model.reset();
  }
  return loaded;
}

}  // namespace classify
