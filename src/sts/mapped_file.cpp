#include "sts/mapped_file.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>

#include "support/internal_failure.hpp"

namespace quillrow::sts {

namespace {
// Every filling stores the same value, so a race between two first users is
// harmless.
std::atomic<std::uint64_t> PAGE_SIZE{0};
}  // namespace

std::uint64_t page_size() {
  std::uint64_t cached = PAGE_SIZE.load(std::memory_order_relaxed);
  if (cached == 0) {
    const long asked = sysconf(_SC_PAGESIZE);
    if (asked <= 0) internal_failure("the system reported no usable page size");
    cached = static_cast<std::uint64_t>(asked);
    PAGE_SIZE.store(cached, std::memory_order_relaxed);
  }
  return cached;
}

void FileDescriptor::close() noexcept {
  if (fd_ >= 0) {
    (void)::close(fd_);
    fd_ = -1;
  }
}

void MappedFile::unmap() noexcept {
  if (base_ == nullptr) return;
  // The mapping starts at offset 0, so its base is page aligned already;
  // aligning down keeps munmap's contract should that ever change.
  const auto base = reinterpret_cast<std::uintptr_t>(base_);
  const std::uint64_t page = PAGE_SIZE.load(std::memory_order_relaxed);
  const std::uintptr_t aligned = page == 0 ? base : base - base % page;
  std::uint64_t length = size_ + (base - aligned);
  if (length == 0) length = 1;
  // NOLINTNEXTLINE(performance-no-int-to-ptr): munmap takes the aligned start as a pointer
  (void)::munmap(reinterpret_cast<void*>(aligned), static_cast<std::size_t>(length));
  base_ = nullptr;
  size_ = 0;
}

}  // namespace quillrow::sts
