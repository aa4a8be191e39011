#pragma once
// The program's whole interpreter set-up run on model bytes in memory, with
// everything released afterwards, so that fuzzers and mutation tests can
// drive it many thousand times in one process.

#include <cstddef>
#include <cstdint>

namespace classify {

// True when the bytes pass the model check, the interpreter is created, its
// tensors are allocated and both named tensors are found. With `invoke`, a
// model whose tensors were allocated is also run once on what its inputs
// hold, named tensors or not, to reach the kernels' evaluation as well.
bool probe_set_up(const uint8_t* data, size_t size, bool invoke = false);

}  // namespace classify
