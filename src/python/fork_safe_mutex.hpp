// The lock of every process-wide value the module makes once (once.hpp).
#pragma once

#include <atomic>
#include <mutex>
#include <thread>

namespace quillrow::python {

// A mutex, with a note of the thread holding it, that a child process made
// by fork() finds unlocked.  fork() copies only the calling thread: a lock
// that another thread held at that moment would stay taken in the child
// forever, and the child's first call would wait for it without end.  Every
// instance enrols itself when it is constructed (all are process-wide
// objects), and a handler run in the child by fork() makes each one anew.
class ForkSafeMutex {
 public:
  ForkSafeMutex() noexcept;
  ForkSafeMutex(const ForkSafeMutex&) = delete;
  ForkSafeMutex& operator=(const ForkSafeMutex&) = delete;

  void lock() { mutex_.lock(); }
  bool try_lock() noexcept { return mutex_.try_lock(); }
  void unlock() noexcept { mutex_.unlock(); }

  // The thread inside the section this mutex guards, or none: read without
  // the lock to tell re-entry from contention.
  std::atomic<std::thread::id> holder{};

 private:
  friend void reset_locks_in_child() noexcept;
  std::mutex mutex_;
  ForkSafeMutex* next_;
};

}  // namespace quillrow::python
