/* The baseline: a bare TensorFlow Lite C-API client doing what classify does
 * with nothing of its own around it. It loads the model and "input.bin" from
 * the working directory, maps bytes to [-1, 1], creates the interpreter with
 * default options, allocates, copies in, invokes once, copies 1001 scores out
 * and prints the best. With BARE_CLIENT_TIMING set it reports, on standard
 * error, the microseconds of each stage and of a second (warm) invocation. */
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "tensorflow/lite/c/c_api.h"

static double now_us(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

int main(void) {
  const int timing = getenv("BARE_CLIENT_TIMING") != NULL;
  double t0 = now_us();
  TfLiteModel* model = TfLiteModelCreateFromFile("v3-small_224_0.75_float.tflite");
  TfLiteInterpreterOptions* options = TfLiteInterpreterOptionsCreate();
  TfLiteInterpreter* interpreter = TfLiteInterpreterCreate(model, options);
  if (interpreter == NULL) return 1;
  double t1 = now_us();
  if (TfLiteInterpreterAllocateTensors(interpreter) != kTfLiteOk) return 1;
  double t2 = now_us();

  FILE* file = fopen("input.bin", "rb");
  if (file == NULL) return 1;
  static unsigned char bytes[224 * 224 * 3];
  static float values[224 * 224 * 3];
  size_t n = fread(bytes, 1, sizeof bytes, file);
  fclose(file);
  for (size_t i = 0; i < n; ++i) values[i] = (float)((bytes[i] / 255.0 - 0.5) * 2.0);
  double t3 = now_us();

  TfLiteTensor* input = TfLiteInterpreterGetInputTensor(interpreter, 0);
  const TfLiteTensor* output = TfLiteInterpreterGetOutputTensor(interpreter, 0);
  if (TfLiteTensorCopyFromBuffer(input, values, n * sizeof(float)) != kTfLiteOk) return 1;
  if (TfLiteInterpreterInvoke(interpreter) != kTfLiteOk) return 1;
  float scores[1001];
  if (TfLiteTensorCopyToBuffer(output, scores, sizeof scores) != kTfLiteOk) return 1;
  double t4 = now_us();
  int best = 0;
  for (int i = 1; i < 1001; ++i) {
    if (scores[i] > scores[best]) best = i;
  }
  printf("%d %g\n", best, scores[best]);
  if (timing) {
    TfLiteInterpreterInvoke(interpreter);
    double t5 = now_us();
    fprintf(
        stderr,
        "create_us=%.0f allocate_us=%.0f load_us=%.0f first_invoke_us=%.0f warm_invoke_us=%.0f\n",
        t1 - t0, t2 - t1, t3 - t2, t4 - t3, t5 - t4);
  }
  TfLiteInterpreterDelete(interpreter);
  TfLiteInterpreterOptionsDelete(options);
  TfLiteModelDelete(model);
  return 0;
}
