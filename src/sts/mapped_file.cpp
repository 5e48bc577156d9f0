#include "sts/mapped_file.hpp"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <limits>

#include "support/internal_failure.hpp"

namespace quillrow::sts {

namespace {

// Every filling stores the same value, so a race between two first users is
// harmless.  Not named PAGE_SIZE: musl's <limits.h> defines that as a macro.
std::atomic<std::uint64_t> CACHED_PAGE_SIZE{0};

// The system page size, asked once per process.  A result of 0 or below is
// an internal failure.
std::uint64_t page_size() {
  std::uint64_t cached = CACHED_PAGE_SIZE.load(std::memory_order_relaxed);
  if (cached == 0) {
    const long asked = sysconf(_SC_PAGESIZE);
    if (asked <= 0) internal_failure("the system reported no usable page size");
    cached = static_cast<std::uint64_t>(asked);
    CACHED_PAGE_SIZE.store(cached, std::memory_order_relaxed);
  }
  return cached;
}

}  // namespace

void FileDescriptor::close() noexcept {
  if (fd_ >= 0) {
    (void)::close(fd_);
    fd_ = -1;
  }
}

std::variant<MappedFile, ScanError> MappedFile::open(const FileDescriptor& fd) {
  struct stat status{};
  if (::fstat(fd.get(), &status) != 0) return OsError{errno};
  if (status.st_size < 0) return IoError{IoError::Kind::InvalidData, "memory map length overflows isize"};
  const auto length = static_cast<std::uint64_t>(status.st_size);
  if (length > std::numeric_limits<std::size_t>::max()) {
    return IoError{IoError::Kind::InvalidData, "memory map length overflows isize"};
  }
  const std::uint64_t page = page_size();
  void* base =
      ::mmap(nullptr, length == 0 ? 1 : static_cast<std::size_t>(length), PROT_READ, MAP_SHARED, fd.get(), 0);
  if (base == MAP_FAILED) return OsError{errno};
  return MappedFile(static_cast<const std::byte*>(base), length, page);
}

void MappedFile::unmap() noexcept {
  if (base_ == nullptr) return;
  // The mapping starts at offset 0, so its base is page aligned already;
  // aligning down keeps munmap's contract should that ever change.
  const auto base = reinterpret_cast<std::uintptr_t>(base_);
  const std::uintptr_t aligned = page_ == 0 ? base : base - base % page_;
  std::uint64_t length = size_ + (base - aligned);
  if (length == 0) length = 1;
  // NOLINTNEXTLINE(performance-no-int-to-ptr): munmap takes the aligned start as a pointer
  (void)::munmap(reinterpret_cast<void*>(aligned), static_cast<std::size_t>(length));
  base_ = nullptr;
  size_ = 0;
  page_ = 0;
}

}  // namespace quillrow::sts
