#pragma once
// The check of a model file's tables before TensorFlow Lite builds an
// interpreter from them: it reads the flatbuffer schema, not the interpreter.

#include <cstddef>
#include <cstdint>

namespace classify {

// True when the model bytes pass the flatbuffer verifier and their tables
// hold together: at least one subgraph, buffers and tensors present, every
// index in range, every shape non-negative and of a bounded byte size. The
// library crashes on some models that pass its own verifier but not this.
bool model_is_sound(const uint8_t* data, size_t size);

}  // namespace classify
