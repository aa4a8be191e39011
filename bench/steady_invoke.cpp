// The steady invocation of a model: the median of many invocations in one
// process, after a first one that warms it, on the library's builtin kernels
// with default options as classify runs them. Built for Windows too, where
// scripts/bench.sh compares the build for x86-64-v3 with the plain one under
// Wine. Usage: steady_invoke MODEL [COUNT] -> "median_us N" on standard output.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "tensorflow/lite/c/c_api.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: steady_invoke MODEL [COUNT]\n");
    return 2;
  }
  const int count = argc > 2 ? std::atoi(argv[2]) : 40;
  TfLiteModel* model = TfLiteModelCreateFromFile(argv[1]);
  TfLiteInterpreterOptions* options = TfLiteInterpreterOptionsCreate();
  TfLiteInterpreter* interpreter =
      model != nullptr ? TfLiteInterpreterCreate(model, options) : nullptr;
  if (interpreter == nullptr || TfLiteInterpreterAllocateTensors(interpreter) != kTfLiteOk ||
      count < 1) {
    std::fprintf(stderr, "steady_invoke: %s cannot be run\n", argv[1]);
    return 1;
  }
  // A mid-grey picture: the time does not depend on the values.
  TfLiteTensor* input = TfLiteInterpreterGetInputTensor(interpreter, 0);
  std::vector<char> values(TfLiteTensorByteSize(input), 0);
  TfLiteTensorCopyFromBuffer(input, values.data(), values.size());
  std::vector<double> times;
  for (int i = 0; i <= count; ++i) {
    const auto start = std::chrono::steady_clock::now();
    if (TfLiteInterpreterInvoke(interpreter) != kTfLiteOk) return 1;
    const std::chrono::duration<double, std::micro> took = std::chrono::steady_clock::now() - start;
    if (i > 0) times.push_back(took.count());
  }
  std::sort(times.begin(), times.end());
  std::printf("median_us %.1f\n", times[times.size() / 2]);
  TfLiteInterpreterDelete(interpreter);
  TfLiteInterpreterOptionsDelete(options);
  TfLiteModelDelete(model);
  return 0;
}
