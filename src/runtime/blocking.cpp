#include "runtime/blocking.hpp"

#include <atomic>

#include "runtime/thread_pool.hpp"

namespace quarn {

namespace {

std::atomic<const LongWorkHooks*> installed{nullptr};

// Set while a guard on this thread holds the lock released: a guard inside
// it (a copy inside a product, say) must neither release again nor take the
// lock back early.
thread_local bool released_here = false;

}  // namespace

void install_long_work_hooks(const LongWorkHooks* hooks) noexcept {
  const LongWorkHooks* none = nullptr;
  installed.compare_exchange_strong(none, hooks, std::memory_order_acq_rel);
}

void LongWork::begin() noexcept {
  // A pool worker has no lock to give up (it never had one), and a task on
  // the caller's thread runs inside the caller's own guard.
  if (released_here || inside_parallel_task()) return;
  const LongWorkHooks* hooks = installed.load(std::memory_order_acquire);
  if (hooks == nullptr) return;
  state_ = hooks->release();
  hooks_ = hooks;
  released_ = true;
  released_here = true;
}

void LongWork::end() noexcept {
  released_here = false;
  released_ = false;
  hooks_->reacquire(state_);
}

}  // namespace quarn
