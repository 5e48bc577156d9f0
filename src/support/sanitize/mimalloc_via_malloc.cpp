// Sanitizer builds only: the mimalloc entry points that quillrow calls,
// served by the C library's malloc.  mimalloc takes its memory from the
// system in large segments and carves it up itself, so AddressSanitizer
// would see neither an overflow of a result buffer nor a buffer that is
// never freed.  Linked in place of libmimalloc, these definitions put every
// allocation of the module under the sanitizer's allocator, which checks
// bounds, double frees and leaks.
//
// Alignment: the module asks for at most alignof(std::max_align_t), which
// malloc and realloc already give.
#include <cstddef>
#include <cstdlib>
#include <new>

#include <mimalloc.h>

namespace {

void* aligned_or_null(std::size_t size, std::size_t alignment) noexcept {
  if (alignment > alignof(std::max_align_t)) {
    const std::size_t rounded = (size + alignment - 1) / alignment * alignment;
    return std::aligned_alloc(alignment, rounded == 0 ? alignment : rounded);
  }
  return std::malloc(size == 0 ? 1 : size);
}

}  // namespace

extern "C" {

void* mi_malloc(std::size_t size) noexcept {
  return std::malloc(size == 0 ? 1 : size);
}

void* mi_malloc_aligned(std::size_t size, std::size_t alignment) noexcept {
  return aligned_or_null(size, alignment);
}

void* mi_realloc(void* p, std::size_t size) noexcept {
  return std::realloc(p, size == 0 ? 1 : size);
}

void* mi_realloc_aligned(void* p, std::size_t size, std::size_t alignment) noexcept {
  // Realloc cannot keep a stricter alignment than malloc's; the module never
  // asks for one.
  if (alignment > alignof(std::max_align_t)) std::abort();
  return std::realloc(p, size == 0 ? 1 : size);
}

void mi_free(void* p) noexcept {
  std::free(p);
}

void* mi_new_n(std::size_t count, std::size_t size) {
  if (size != 0 && count > static_cast<std::size_t>(-1) / size) throw std::bad_alloc();
  void* p = std::malloc(count * size == 0 ? 1 : count * size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

}  // extern "C"
