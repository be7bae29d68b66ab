// Replaces the global allocation functions for the binary it is linked into
// (the extension module keeps them private to itself). Running out of memory
// is not an error the core can answer: it says how much it asked for and
// aborts, instead of unwinding through half-built values.
#include <cstdio>
#include <cstdlib>
#include <new>
#if defined(_WIN32)
#include <malloc.h>
#endif

namespace {

// Windows has no aligned_alloc, and what _aligned_malloc gives back must go
// to _aligned_free; elsewhere aligned blocks are freed like any other.
void* aligned_block(std::size_t align, std::size_t size) {
#if defined(_WIN32)
  return _aligned_malloc(size, align);
#else
  return std::aligned_alloc(align, size);
#endif
}

void free_aligned(void* p) {
#if defined(_WIN32)
  _aligned_free(p);
#else
  std::free(p);
#endif
}

[[noreturn]] void out_of_memory(std::size_t size) {
  std::fprintf(stderr, "memory allocation of %zu bytes failed\n", size);
  std::fflush(stderr);
  std::abort();
}

void* allocate(std::size_t size) {
  if (size == 0) size = 1;
  void* p = std::malloc(size);
  if (p == nullptr) out_of_memory(size);
  return p;
}

void* allocate_aligned(std::size_t size, std::align_val_t align) {
  const auto a = static_cast<std::size_t>(align);
  // aligned_alloc wants a size that is a multiple of the alignment.
  std::size_t rounded = (size + a - 1) / a * a;
  if (rounded < size) out_of_memory(size);
  if (rounded == 0) rounded = a;
  void* p = aligned_block(a, rounded);
  if (p == nullptr) out_of_memory(size);
  return p;
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new(std::size_t size, std::align_val_t a) { return allocate_aligned(size, a); }
void* operator new[](std::size_t size, std::align_val_t a) { return allocate_aligned(size, a); }
void* operator new(std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
  return allocate_aligned(size, a);
}
void* operator new[](std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
  return allocate_aligned(size, a);
}

void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { free_aligned(p); }
void operator delete[](void* p, std::align_val_t) noexcept { free_aligned(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { free_aligned(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { free_aligned(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { free_aligned(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept {
  free_aligned(p);
}
