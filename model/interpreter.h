#pragma once
// A model file made into the library's model, and the library's interpreter
// steps with the failures it throws turned into failed steps: what classify
// and the batch tool set up alike.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "tensorflow/lite/c/c_api.h"
#include "tensorflow/lite/c/common.h"

namespace classify {

// The library's set-up failures in the words classify has always printed
// them, which the batch tool gives too.
inline constexpr char create_failure_message[] = "Failed to create interpreter";
inline constexpr char allocate_failure_message[] = "Failed to allocate tensors!";

// The model file mapped read-only, or null when it is not a non-empty regular
// file that can be opened and mapped. The mapping is kept until the process
// ends.
const uint8_t* map_model_file(const std::string& path, size_t* size);

// The library's model over `data`, which must outlive it, or null when the
// bytes fail model_is_sound() or the library refuses them.
TfLiteModel* create_model(const uint8_t* data, size_t size);

// The library's interpreter creation, tensor allocation and invocation, with
// an exception thrown inside the library (an allocation it cannot satisfy)
// turned into the failure of that step.
TfLiteInterpreter* create_interpreter(const TfLiteModel* model,
                                      const TfLiteInterpreterOptions* options);
TfLiteStatus allocate_tensors(TfLiteInterpreter* interp);
TfLiteStatus invoke(TfLiteInterpreter* interp);

// True when the tensor has a name and it equals `name` byte for byte.
bool tensor_has_name(const TfLiteTensor* tensor, const char* name);

struct model_deleter {
  void operator()(TfLiteModel* model) const { TfLiteModelDelete(model); }
};
using model_ptr = std::unique_ptr<TfLiteModel, model_deleter>;

// A model and the bytes it was made from (its file, mapped until the process
// ends), which also hold its metadata.
struct loaded_model {
  model_ptr model;
  const uint8_t* bytes = nullptr;
  size_t size = 0;
};

// The model at `path`, after the same checks classify makes and the check
// that this build has every operator it uses; a null model, with `error`
// saying why, when it cannot be used.
loaded_model load_model(const std::string& path, std::string* error);

}  // namespace classify
