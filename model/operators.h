#pragma once
// Whether the TensorFlow Lite built into this program has every operator a
// model uses, asked of the library's own op resolver: a model converted by a
// newer TensorFlow, or made for an accelerator, says which operator it lacks
// instead of failing to create an interpreter.

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

}  // namespace classify
