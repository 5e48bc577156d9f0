// A process-wide value made once, on first need, by code that may run
// Python.  A thread that must wait for another thread's creation waits
// without the interpreter lock, so the creator (which holds the interpreter
// lock while it runs Python code) can always proceed.  A creation that fails
// stores nothing: the next need starts it again.
#pragma once

#include <Python.h>

#include <atomic>
#include <mutex>
#include <optional>
#include <thread>

#include "python/fork_safe_mutex.hpp"
#include "support/internal_failure.hpp"

namespace quillrow::python {

template <class T>
class Once {
 public:
  // The value if it has been made.  A value seen as set is complete.
  const T* peek() const noexcept { return ready_.load(std::memory_order_acquire) ? &*value_ : nullptr; }

  // Returns the value, making it with `make()` (which returns
  // std::optional<T>, or throws) if no thread has made it yet.  Called with
  // the interpreter lock held; returns with it held.
  template <class Make>
  const T* get_or_make(Make&& make) {
    if (const T* made = peek()) return made;
    if (lock_.holder.load(std::memory_order_relaxed) == std::this_thread::get_id()) {
      internal_failure("a one-time initialisation was re-entered by the thread running it");
    }
    std::unique_lock<ForkSafeMutex> lock(lock_, std::try_to_lock);
    if (!lock.owns_lock()) {
      PyThreadState* saved = PyEval_SaveThread();
      lock.lock();
      PyEval_RestoreThread(saved);
    }
    if (const T* made = peek()) return made;

    struct CreatorMark {
      std::atomic<std::thread::id>& creator;
      explicit CreatorMark(std::atomic<std::thread::id>& c) : creator(c) {
        creator.store(std::this_thread::get_id(), std::memory_order_relaxed);
      }
      ~CreatorMark() { creator.store(std::thread::id(), std::memory_order_relaxed); }
    } mark(lock_.holder);

    std::optional<T> value = make();
    if (!value) return nullptr;
    value_.emplace(std::move(*value));
    ready_.store(true, std::memory_order_release);
    return &*value_;
  }

 private:
  std::atomic<bool> ready_{false};
  std::optional<T> value_;
  ForkSafeMutex lock_;
};

}  // namespace quillrow::python
