#include "setup_probe.h"

#include <cstdarg>

#include "inference.h"
#include "model_check.h"

namespace {

// Thousands of damaged models would each print the library's complaint;
// the probe's callers judge by the outcome alone.
void ignore_report(void*, const char*, va_list) {}

}  // namespace

bool probe_set_up(const uint8_t* data, size_t size) {
  if (!model_is_sound(data, size)) return false;
  TfLiteModel* model = TfLiteModelCreateWithErrorReporter(data, size, ignore_report, nullptr);
  TfLiteInterpreterOptions* options = TfLiteInterpreterOptionsCreate();
  TfLiteInterpreterOptionsSetErrorReporter(options, ignore_report, nullptr);
  TfLiteInterpreter* interp = create_interpreter(model, options);
  bool ready = false;
  if (interp != nullptr && allocate_tensors(interp) == kTfLiteOk) {
    ready = find_input_tensor(interp, input_tensor_name) != nullptr &&
            find_output_tensor(interp, output_tensor_name) != nullptr;
  }
  TfLiteInterpreterDelete(interp);
  TfLiteInterpreterOptionsDelete(options);
  TfLiteModelDelete(model);
  return ready;
}
