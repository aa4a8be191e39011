// Global operator new and delete over malloc and free, for the model fuzzer.
// A model may make the library's Prepare step ask for more memory than there
// is (a shape it computes, past any bound the model check can see); the
// program's new then throws std::bad_alloc, and the set-up reports "Failed
// to allocate tensors!". AddressSanitizer's own new cannot fail that way: it
// aborts the process with an out-of-memory report whatever
// allocator_may_return_null says, which the fuzzer takes for a crash. Over
// malloc (still AddressSanitizer's, with its checks of every access), with
// allocator_may_return_null=1, a failed allocation throws as it does in the
// program.
#include <cstdlib>
#include <new>

namespace {

void* allocate(std::size_t size) {
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}

void* allocate(std::size_t size, const std::nothrow_t&) noexcept {
  return std::malloc(size == 0 ? 1 : size);
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t& tag) noexcept {
  return allocate(size, tag);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return allocate(size, tag);
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete(void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
void operator delete[](void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
