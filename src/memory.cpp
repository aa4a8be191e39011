#include "heap.h"

#include <cstddef>

#include "platform.h"

// The first touch of fresh heap memory is the largest single cost of a run:
// about a thousand page faults, mostly while the first invocation fills the
// tensor arena. Growing the heap once by more than the run needs, and asking
// for transparent huge pages there, turns most of them into a few faults of
// 2 MiB each.
void prepare_heap() { grow_heap(size_t{16} << 20); }
