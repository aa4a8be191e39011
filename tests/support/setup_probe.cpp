#include "tests/support/setup_probe.h"

#include <cstdarg>
#include <cstring>

#include "model/interpreter.h"
#include "model/model_check.h"
#include "src/inference.h"

namespace classify {

namespace {

// Thousands of damaged models would each print the library's complaint;
// the probe's callers judge by the outcome alone.
void ignore_report(void*, const char*, va_list) {}

// Runs the model once with every input set to zero bytes, so that what it
// does depends on the model alone.
void invoke_on_zeros(TfLiteInterpreter* interp) {
  for (int32_t i = 0; i < TfLiteInterpreterGetInputTensorCount(interp); ++i) {
    TfLiteTensor* tensor = TfLiteInterpreterGetInputTensor(interp, i);
    if (void* data = TfLiteTensorData(tensor)) std::memset(data, 0, TfLiteTensorByteSize(tensor));
  }
  TfLiteInterpreterInvoke(interp);
}

}  // namespace

bool probe_set_up(const uint8_t* data, size_t size, bool invoke) {
  if (!model_is_sound(data, size)) return false;
  TfLiteModel* model = TfLiteModelCreateWithErrorReporter(data, size, ignore_report, nullptr);
  TfLiteInterpreterOptions* options = TfLiteInterpreterOptionsCreate();
  TfLiteInterpreterOptionsSetErrorReporter(options, ignore_report, nullptr);
  TfLiteInterpreter* interp = create_interpreter(model, options);
  bool ready = false;
  if (interp != nullptr && allocate_tensors(interp) == kTfLiteOk) {
    ready = find_input_tensor(interp, input_tensor_name) != nullptr &&
            find_output_tensor(interp, output_tensor_name) != nullptr;
    if (invoke) invoke_on_zeros(interp);
  }
  TfLiteInterpreterDelete(interp);
  TfLiteInterpreterOptionsDelete(options);
  TfLiteModelDelete(model);
  return ready;
}

}  // namespace classify
