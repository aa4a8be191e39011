#include "heap.h"

#include <cstddef>
#include <cstdint>

#if defined(__GLIBC__)
#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

// The first touch of fresh heap memory is the largest single cost of a run:
// about a thousand page faults, mostly while the first invocation fills the
// tensor arena. Growing the heap once by more than the run needs, and asking
// for transparent huge pages there, turns most of them into a few faults of
// 2 MiB each.
void prepare_heap() {
#if defined(__GLIBC__)
  constexpr size_t heap_bytes = size_t{16} << 20;
  constexpr uintptr_t huge_page = uintptr_t{2} << 20;
  // Keep the arena and the value buffer on this heap instead of in mappings
  // of their own, and keep the heap from being trimmed back mid-run.
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  const auto start = reinterpret_cast<uintptr_t>(sbrk(0));
  // Through a volatile pointer, so that the compiler keeps the pair.
  void* volatile block = malloc(heap_bytes);
  free(block);
  const auto end = reinterpret_cast<uintptr_t>(sbrk(0));
  const uintptr_t aligned = (start + huge_page - 1) & ~(huge_page - 1);
  if (end > aligned) madvise(reinterpret_cast<void*>(aligned), end - aligned, MADV_HUGEPAGE);
#endif
}
