// Owners of the open descriptor and of the read-only mapping of the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <variant>

#include "sts/errors.hpp"

namespace quillrow::sts {

class FileDescriptor {
 public:
  FileDescriptor() noexcept = default;
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
      close();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { close(); }

  int get() const noexcept { return fd_; }
  // Closes now; the result of close() is not looked at.
  void close() noexcept;

 private:
  int fd_ = -1;
};

// The whole file mapped read-only and shared.  An empty file is mapped with
// length 1, since a zero-length mapping cannot be made; `size()` is still 0.
class MappedFile {
 public:
  // Maps the whole of the open file `fd`, whose length one fstat() gives.
  // Faults, in this order: the status cannot be asked (OsError), the
  // length does not fit the address space (IoError), the page size cannot
  // be asked (an internal failure), the mapping fails (OsError).
  static std::variant<MappedFile, ScanError> open(const FileDescriptor& fd);

  MappedFile() noexcept = default;
  MappedFile(MappedFile&& other) noexcept
      : base_(std::exchange(other.base_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        page_(std::exchange(other.page_, 0)) {}
  MappedFile& operator=(MappedFile&& other) noexcept {
    if (this != &other) {
      unmap();
      base_ = std::exchange(other.base_, nullptr);
      size_ = std::exchange(other.size_, 0);
      page_ = std::exchange(other.page_, 0);
    }
    return *this;
  }
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  ~MappedFile() { unmap(); }

  const char* data() const noexcept { return reinterpret_cast<const char*>(base_); }
  std::uint64_t size() const noexcept { return size_; }
  std::string_view bytes() const noexcept { return {data(), static_cast<std::size_t>(size_)}; }

  // Unmaps now; the result of munmap() is not looked at.
  void unmap() noexcept;

 private:
  MappedFile(const std::byte* base, std::uint64_t size, std::uint64_t page) noexcept
      : base_(base), size_(size), page_(page) {}

  const std::byte* base_ = nullptr;
  std::uint64_t size_ = 0;
  std::uint64_t page_ = 0;  // the system page size
};

}  // namespace quillrow::sts
