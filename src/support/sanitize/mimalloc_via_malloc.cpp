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
//
// Fault injection, for the tests of exhausted memory: while the environment
// variable QUILLROW_FAIL_ALLOCATION holds "N" or "N:tag", the N-th
// allocation counted from the moment the value was last changed returns
// null (changing only the tag re-arms the same N).  The shipped module has
// no such hook; it exists only in these builds.
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include <mimalloc.h>

namespace {

bool injected_failure() noexcept {
  static char armed_with[64] = {};
  static unsigned long remaining = 0;
  const char* spec = std::getenv("QUILLROW_FAIL_ALLOCATION");
  if (spec == nullptr) {
    armed_with[0] = '\0';
    remaining = 0;
    return false;
  }
  if (std::strncmp(spec, armed_with, sizeof armed_with) != 0) {
    std::strncpy(armed_with, spec, sizeof armed_with - 1);
    remaining = std::strtoul(spec, nullptr, 10);
  }
  if (remaining == 0) return false;
  return --remaining == 0;
}

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
  if (injected_failure()) return nullptr;
  return std::malloc(size == 0 ? 1 : size);
}

void* mi_malloc_aligned(std::size_t size, std::size_t alignment) noexcept {
  if (injected_failure()) return nullptr;
  return aligned_or_null(size, alignment);
}

void* mi_realloc(void* p, std::size_t size) noexcept {
  if (injected_failure()) return nullptr;
  return std::realloc(p, size == 0 ? 1 : size);
}

void* mi_realloc_aligned(void* p, std::size_t size, std::size_t alignment) noexcept {
  // Realloc cannot keep a stricter alignment than malloc's; the module never
  // asks for one.
  if (alignment > alignof(std::max_align_t)) std::abort();
  if (injected_failure()) return nullptr;
  return std::realloc(p, size == 0 ? 1 : size);
}

void mi_free(void* p) noexcept {
  std::free(p);
}

}  // extern "C"
