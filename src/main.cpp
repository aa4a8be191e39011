// classify: classifies the prepared image "input.bin" with the model
// "v3-small_224_0.75_float.tflite", both in the working directory, and prints
// the best class and its probability behind GBK labels.
#include <cstdint>

#include "inference.h"
#include "input_loader.h"

namespace {

const char model_path[] = "v3-small_224_0.75_float.tflite";
const char input_path[] = "input.bin";

}  // namespace

int main() {
  init_interpreter(model_path);
  // After a failed set-up nothing is loaded and no absent handle reaches the
  // library; what set-up wrote to standard output is flushed at exit.
  if (!engine_ready()) return 1;

  int32_t size = 0;
  const float* values = load_input(input_path, &size);
  if (values == nullptr || !input_fits_model(input_path, size)) return 1;

  if (!run_inference(values, size)) return 1;
  return 0;
}
