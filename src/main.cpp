// classify: classifies the prepared image "input.bin" with the model
// "v3-small_224_0.75_float.tflite", both in the working directory, and prints
// the best class and its probability behind GBK labels.
#include <cstdint>

#if defined(__GLIBC__)
#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

#include "inference.h"
#include "input_loader.h"

namespace {

const char model_path[] = "v3-small_224_0.75_float.tflite";
const char input_path[] = "input.bin";

// The first touch of fresh heap memory is the largest single cost of a run:
// about a thousand page faults, mostly while the first invocation fills the
// tensor arena. Growing the heap once by more than the run needs, and asking
// for transparent huge pages there, turns most of them into a few faults of
// 2 MiB each. Only the time changes; where the kernel grants no huge pages
// the heap is merely grown early.
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

}  // namespace

int main() {
  prepare_heap();
  init_interpreter(model_path);
  // After a failed set-up nothing is loaded and no absent handle reaches the
  // library; what set-up wrote to standard output is flushed at exit.
  if (!engine_ready()) return 1;

  int32_t size = 0;
  const float* values = load_input(input_path, &size);
  if (values == nullptr || !input_fits_model(input_path, size)) return 1;

  if (!run_inference(values, size)) return 1;
  return 0;
}
