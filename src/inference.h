#pragma once
// Everything that talks to TensorFlow Lite: the process-wide engine handles,
// their set-up from a model file, and the one inference run with its report.

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>

#include "model/tensors.h"
#include "tensorflow/lite/c/c_api.h"
#include "tensorflow/lite/c/common.h"

namespace classify {

// The model scores this many classes (ImageNet's 1000 and a background class).
inline constexpr int32_t score_count = 1001;

// Engine handles: null at program start, written only by init_interpreter.
// They live until the process ends.
extern TfLiteInterpreter* interpreter;
extern TfLiteTensor* input_tensor;
extern const TfLiteTensor* output_tensor;

// Loads the model, creates an interpreter with default options, allocates its
// tensors and looks up the input and output tensors by name. A failure leaves
// the handles that could not be made null; see engine_ready().
void init_interpreter(std::string model_path);

// The first input (output) tensor whose name equals `name` byte for byte, or
// null. Tensors without a name match nothing.
TfLiteTensor* find_input_tensor(const TfLiteInterpreter* interp, const char* name);
const TfLiteTensor* find_output_tensor(const TfLiteInterpreter* interp, const char* name);

// True once set-up has left all three engine handles present.
bool engine_ready();

// True when `size` float values fill the input tensor exactly. Otherwise
// standard error gets one line that names `input_path` and both sizes (or the
// tensor's element type when it does not hold floats).
bool input_fits_model(const std::string& input_path, int32_t size);

// Copies `size` values into the input tensor, invokes the model once, and
// writes the result line for the best of the score_count scores to standard
// output. Returns false, with a message on standard error and no result line,
// when the engine is not ready or the library refuses a step.
bool run_inference(const float* values, int32_t size);

// Writes the result line: the GBK label for "class", the index, the GBK label
// for "probability", the score in the stream's default float form (classic
// locale), an end of line and a flush.
void write_result_line(std::ostream& out, int32_t best_index, float best_score);

}  // namespace classify
