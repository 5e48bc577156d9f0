#include "python/fork_safe_mutex.hpp"

#include <pthread.h>

#include <memory>

namespace quillrow::python {

namespace {

// Every ForkSafeMutex of the process.  They are all process-wide objects,
// constructed while the shared object is loaded and never destroyed, so the
// list only grows and needs no lock.
constinit ForkSafeMutex* ENROLLED = nullptr;

}  // namespace

ForkSafeMutex::ForkSafeMutex() noexcept : next_(ENROLLED) {
  ENROLLED = this;
}

// Runs in the child, where the calling thread is the only one: no lock is
// held by anyone alive, so each is made anew over its old state (a locked
// mutex must not be destroyed, and nothing depends on its destructor).
void reset_locks_in_child() noexcept {
  for (ForkSafeMutex* m = ENROLLED; m != nullptr; m = m->next_) {
    std::construct_at(&m->mutex_);
    m->holder.store(std::thread::id(), std::memory_order_relaxed);
  }
}

namespace {

[[maybe_unused]] const int ATFORK_HANDLER = pthread_atfork(nullptr, nullptr, reset_locks_in_child);

}  // namespace

}  // namespace quillrow::python
