// Long work on one thread, so that whoever embeds the engine can let other
// threads run meanwhile. The engine marks its heavy stretches with a
// LongWork guard; the host installs one pair of functions that give up and
// take back whatever lock its own threads share (an interpreter lock, say).
// This layer knows nothing about that lock: without an installed pair a
// guard does nothing, and so does a guard whose work is too small to repay
// a hand-over.
//
// Between the two calls the host's lock is not held, so the code inside a
// guard must touch only memory the caller keeps alive through its own
// handles, never the host's objects.
#pragma once

#include <cstddef>

namespace quarn {

struct LongWorkHooks {
  // Gives up the host's lock; what it returns is handed back to `reacquire`
  // on the same thread.
  void* (*release)();
  // Takes the lock back. Must not throw.
  void (*reacquire)(void* state);
};

// Installs the pair for the whole process; the first installation wins and
// later ones are ignored. `hooks` must outlive every guard (a static object).
void install_long_work_hooks(const LongWorkHooks* hooks) noexcept;

// Work below this many units runs with the lock held. A unit is about what
// an element-wise operation spends on one element; 64K of them take some
// 15 us, against about 0.1 us for an uncontended hand-over of the lock (a
// contended one costs whatever the other thread does meanwhile, which is
// the point).
inline constexpr std::size_t kLongWorkUnits = std::size_t{1} << 16;

// Releases the host's lock for its lifetime when `units` reaches
// kLongWorkUnits, hooks are installed and no enclosing guard on this thread
// has released it already; takes the lock back on destruction, also when an
// exception leaves the guarded work.
class LongWork {
 public:
  explicit LongWork(std::size_t units) noexcept {
    if (units >= kLongWorkUnits) begin();
  }
  ~LongWork() {
    if (released_) end();
  }
  LongWork(const LongWork&) = delete;
  LongWork& operator=(const LongWork&) = delete;

  // Whether this guard let the lock go (for tests).
  bool released() const { return released_; }

 private:
  void begin() noexcept;
  void end() noexcept;

  const LongWorkHooks* hooks_ = nullptr;
  void* state_ = nullptr;
  bool released_ = false;
};

}  // namespace quarn
