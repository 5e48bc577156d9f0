// A growable array of trivially copyable elements whose memory comes from
// mimalloc.  It owns its allocation until release() hands it over whole
// (length and capacity included) to the object that will free it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <type_traits>
#include <utility>

#include <sys/mman.h>

#include <mimalloc.h>

namespace quillrow {

inline constexpr std::uintptr_t PAGE = 4096;
// Buffers from this size on are large: small pages are asked for, and the
// pages ahead of the writes are supplied in stretches of PREPARE_AHEAD.
inline constexpr std::size_t PREPARE_FROM = std::size_t{2} << 20;
inline constexpr std::size_t PREPARE_AHEAD = std::size_t{512} << 10;
// The advice that makes the kernel supply pages ahead is Linux's own; where
// the platform has none, the pages come by one fault each.
#if defined(MADV_POPULATE_WRITE)
inline constexpr bool CAN_POPULATE_WRITE = true;
inline constexpr int POPULATE_WRITE = MADV_POPULATE_WRITE;
#elif defined(__linux__)
inline constexpr bool CAN_POPULATE_WRITE = true;
inline constexpr int POPULATE_WRITE = 23;  // Linux 5.14's value, for older headers
#else
inline constexpr bool CAN_POPULATE_WRITE = false;
inline constexpr int POPULATE_WRITE = 0;
#endif

// Asks for small pages under a large allocation.  mimalloc marks its arenas
// for transparent huge pages; a fresh huge page costs one fault instead of
// 512, but where free memory is fragmented (a page cache full of the files
// being read) the fault may wait for the kernel to compact memory, which
// makes the time of a whole call vary at random.  Small pages cost a small,
// steady price instead.  Only the pages wholly inside [data, data + bytes)
// are marked; a refusal changes nothing but the speed.  Platforms without
// transparent huge pages (no MADV_NOHUGEPAGE) skip it.
inline void prefer_small_pages([[maybe_unused]] void* data, [[maybe_unused]] std::size_t bytes) noexcept {
#ifdef MADV_NOHUGEPAGE
  if (bytes < PREPARE_FROM) return;
  const auto start = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (start + PAGE - 1) & ~(PAGE - 1);
  const std::uintptr_t last = (start + bytes) & ~(PAGE - 1);
  // NOLINTNEXTLINE(performance-no-int-to-ptr): madvise takes the aligned start as a pointer
  (void)::madvise(reinterpret_cast<void*>(first), last - first, MADV_NOHUGEPAGE);
#endif
}

// An allocation handed over by a Buffer: the receiver frees `data` with
// mi_free when `capacity` is not 0.
struct RawBuffer {
  void* data = nullptr;
  std::size_t length = 0;
  std::size_t capacity = 0;
};

inline void free_raw_buffer(void* data, std::size_t /*length*/, std::size_t capacity) noexcept {
  if (capacity != 0) mi_free(data);
}

template <class T>
class Buffer {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  Buffer() noexcept = default;

  // Reserves room for `capacity` elements; 0 allocates nothing.
  explicit Buffer(std::size_t capacity) {
    if (capacity != 0) {
      data_ = allocate(nullptr, capacity);
      capacity_ = capacity;
    }
  }

  Buffer(Buffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        length_(std::exchange(other.length_, 0)),
        capacity_(std::exchange(other.capacity_, 0)),
        prepared_(std::exchange(other.prepared_, 0)) {}
  Buffer& operator=(Buffer&& other) noexcept {
    if (this != &other) {
      reset();
      data_ = std::exchange(other.data_, nullptr);
      length_ = std::exchange(other.length_, 0);
      capacity_ = std::exchange(other.capacity_, 0);
      prepared_ = std::exchange(other.prepared_, 0);
    }
    return *this;
  }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer() { reset(); }

  T* data() noexcept { return data_; }
  const T* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return length_; }
  std::size_t capacity() const noexcept { return capacity_; }
  bool empty() const noexcept { return length_ == 0; }

  void push_back(T value) {
    if (length_ == capacity_) grow(1);
    if (length_ >= prepared_) [[unlikely]]
      prepare(length_ + 1);
    data_[length_++] = value;
  }

  // Makes room for `count` more elements, growing as repeated single appends
  // would (largest of twice the capacity, length + 1 and 4, until it fits),
  // so the capacities seen are those of element-wise appends.
  void reserve_more(std::size_t count) {
    if (capacity_ - length_ < count) grow(count);
    if (length_ + count > prepared_) [[unlikely]]
      prepare(length_ + count);
  }

  // Appends into room made by reserve_more.
  void append_reserved(T value) noexcept { data_[length_++] = value; }

  // The room made by reserve_more, to be written in place and then taken
  // into the buffer by extend_by.
  T* unused() noexcept { return data_ + length_; }
  void extend_by(std::size_t count) noexcept { length_ += count; }

  RawBuffer release() noexcept {
    RawBuffer raw{data_, length_, capacity_};
    data_ = nullptr;
    length_ = 0;
    capacity_ = 0;
    prepared_ = 0;
    return raw;
  }

 private:
  static T* allocate(T* old, std::size_t count) {
    if (count > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_alloc();
    void* p = old == nullptr ? mi_malloc_aligned(count * sizeof(T), alignof(T))
                             : mi_realloc_aligned(old, count * sizeof(T), alignof(T));
    if (p == nullptr) throw std::bad_alloc();
    prefer_small_pages(p, count * sizeof(T));
    return static_cast<T*>(p);
  }

  // Makes the kernel supply the pages of the next stretch of the buffer,
  // up to `needed` elements and PREPARE_AHEAD bytes beyond, in one call
  // instead of one page fault per page as the rows are written.  Only room
  // about to be written is supplied, so the resident memory stays that of
  // the rows.  A kernel without MADV_POPULATE_WRITE (before Linux 5.14)
  // refuses it, and the pages then come by one fault each.
  [[gnu::noinline]] void prepare(std::size_t needed) noexcept {
    constexpr std::size_t AHEAD = PREPARE_AHEAD / sizeof(T);
    const std::size_t next = std::min(capacity_, needed + AHEAD);
    if constexpr (!CAN_POPULATE_WRITE) {
      prepared_ = capacity_;
      return;
    }
    if (capacity_ * sizeof(T) >= PREPARE_FROM) {
      const auto start = reinterpret_cast<std::uintptr_t>(data_ + prepared_) & ~(PAGE - 1);
      const auto stop = reinterpret_cast<std::uintptr_t>(data_ + next);
      // NOLINTNEXTLINE(performance-no-int-to-ptr): madvise takes the page-aligned start as a pointer
      if (::madvise(reinterpret_cast<void*>(start), stop - start, POPULATE_WRITE) != 0) {
        prepared_ = capacity_;
        return;
      }
    }
    prepared_ = next;
  }

  [[gnu::noinline]] void grow(std::size_t count) {
    std::size_t capacity = capacity_;
    const std::size_t needed = length_ + count;
    if (needed < length_) throw std::bad_alloc();
    while (capacity < needed) {
      const std::size_t doubled = capacity > std::numeric_limits<std::size_t>::max() / 2
                                      ? std::numeric_limits<std::size_t>::max()
                                      : 2 * capacity;
      capacity = std::max({doubled, capacity + 1, std::size_t{4}});
    }
    data_ = allocate(capacity_ == 0 ? nullptr : data_, capacity);
    capacity_ = capacity;
    prepared_ = length_;  // the elements kept are resident; the new room is not
  }

  void reset() noexcept {
    if (capacity_ != 0) mi_free(data_);
    data_ = nullptr;
    length_ = 0;
    capacity_ = 0;
    prepared_ = 0;
  }

  T* data_ = nullptr;
  std::size_t length_ = 0;
  std::size_t capacity_ = 0;
  std::size_t prepared_ = 0;  // elements whose pages the kernel has supplied
};

}  // namespace quillrow
