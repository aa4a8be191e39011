// classify: classifies the prepared image "input.bin" with the model
// "v3-small_224_0.75_float.tflite", both in the working directory, and prints
// the best class and its probability behind GBK labels.
#include <cstdint>
#include <iostream>

#include "platform/heap.h"
#include "src/inference.h"
#include "src/input_loader.h"

using namespace classify;

namespace {

const char model_path[] = "v3-small_224_0.75_float.tflite";
const char input_path[] = "input.bin";

// Whatever the run wrote to standard output (the result line or a set-up
// message) is flushed here; output that could not be written is lost, and a
// run that lost it has not succeeded.
int finish(int status) {
  std::cout.flush();
  if (!std::cout) {
    std::cerr << "classify: cannot write to standard output\n";
    return 1;
  }
  return status;
}

}  // namespace

int main() {
  prepare_memory();
  init_interpreter(model_path);
  // After a failed set-up nothing is loaded and no absent handle reaches the
  // library.
  if (!engine_ready()) return finish(1);

  int32_t size = 0;
  const float* values = load_input(input_path, &size);
  if (values == nullptr || !input_fits_model(input_path, size)) return finish(1);

  if (!run_inference(values, size)) return finish(1);
  return finish(0);
}
