#pragma once
// What a model's operators tell: whether the TensorFlow Lite built into this
// program has every one the model uses, asked of the library's own op
// resolver (a model converted by a newer TensorFlow, or made for an
// accelerator, says which it lacks instead of failing to create an
// interpreter); whether the graph rescales its own input; and what its
// scores are, by the operator that makes them.

#include <cstddef>
#include <cstdint>
#include <string>

namespace classify {

// Why this build cannot run the model in `bytes` (a model that passed
// model_is_sound): "the model needs FULLY_CONNECTED version 13, which this
// TensorFlow Lite (2.14.1) does not have", or "the model uses the custom
// operator NAME" with what it is where that is known; "" when the library
// has every operator the model uses.
std::string missing_operator(const uint8_t* bytes, size_t size);

// True when the model in `bytes` rescales its own input: every operator that
// reads input `input_position` of its main graph is an element-wise MUL,
// ADD, SUB or DIV whose other operand is a constant, as the first layers of
// a Keras model built to take pixel values 0 to 255 (Rescaling,
// Normalization) convert to.
bool rescales_own_input(const uint8_t* bytes, size_t size, int input_position);

// What the last operator before output `output_position` of the main graph
// makes of the scores: a SOFTMAX gives probabilities that sum to 1 (one class
// a photograph), a LOGISTIC independent probabilities (any number of
// classes), any other operator logits. Operators that only reshape or
// (de)quantize are looked through, as converters put them after the
// activation.
enum class score_source { softmax, logistic, other, unknown };
struct output_operator {
  score_source source = score_source::unknown;  // unknown: no operator writes it
  std::string name;                             // the operator's, "FULLY_CONNECTED"
};
output_operator scores_made_by(const uint8_t* bytes, size_t size, int output_position);

}  // namespace classify
