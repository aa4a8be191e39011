#include "platform/heap.h"

#include <cstddef>

#include "platform/platform.h"

namespace classify {

// The first touch of fresh memory is the largest single cost of a run on a
// machine where a page fault is dear: about a thousand faults, mostly while
// the first invocation fills the tensor arena, and some dozens more where
// the op resolver's registration and the kernels first reach a page of code.
// Growing the heap once by more than the run needs, in transparent huge
// pages, turns most of the first into a few faults of 2 MiB each; mapping
// the code at once takes the others.
void prepare_memory() {
  grow_heap(size_t{16} << 20);
  map_program_image();
}

}  // namespace classify
