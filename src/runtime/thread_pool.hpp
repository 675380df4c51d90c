// One pool of worker threads for the whole process, for work inside a single
// operation (the blocks of a matrix product, the chunks of a large
// element-wise operation).
//
//   parallel_for(tasks, [&](std::size_t i) { work_on(part(i)); });
//
// runs body(0) ... body(tasks - 1), each exactly once, on the calling thread
// and the pool's workers, and returns when all of them have finished. Which
// thread runs which task depends on timing, so a caller that wants the same
// result for every thread count cuts its work into tasks that do not depend
// on the thread count and that write disjoint memory: then the arithmetic
// of every element is the same however the tasks are shared out.
//
// Sharing: one caller at a time owns the workers. A caller that finds them
// busy (another thread's operation, or a task of the running one calling in
// again) runs all its tasks on its own thread, so the process never has more
// threads at work than the pool's size plus the callers that came in
// meanwhile, each of which would have run alone anyway.
//
// Lifetime: the workers start with the first call that can use them. After
// fork() the child starts its own pool when it needs one (the parent's
// workers do not exist there); at exit the workers are stopped and joined.
//
// The size is, in order of precedence: the last set_num_threads(), the
// QUARN_NUM_THREADS environment variable (read once, at first use; anything
// but a whole number from 1 to kMaxThreads is ignored), and the number of
// processors the process may use (its affinity mask, capped by a cgroup CPU
// quota).
#pragma once

#include <cstddef>
#include <type_traits>

namespace quarn {

// The most threads set_num_threads accepts: far more than any machine this
// runs on has cores, and few enough that creating them cannot exhaust the
// process.
inline constexpr std::size_t kMaxThreads = 256;

// Threads an operation may use, the caller included; at least 1.
std::size_t num_threads() noexcept;

// Sets that number, 1 <= n <= kMaxThreads (checked by the caller). Takes
// effect from the next parallel_for that gets the workers.
void set_num_threads(std::size_t n) noexcept;

// Processors this process may run on: its affinity mask, capped by a cgroup
// v2 (cpu.max) or v1 (cpu.cfs_quota_us) quota, rounded up; at least 1.
std::size_t available_cpus() noexcept;

// Whether this thread is running pool tasks: a pool worker, or a caller
// while it owns the workers.
bool inside_parallel_task() noexcept;

// A non-owning reference to a callable taking the task index.
class TaskRef {
 public:
  template <class F, class = std::enable_if_t<!std::is_same_v<std::remove_cvref_t<F>, TaskRef>>>
  TaskRef(F& f) noexcept  // NOLINT: implicit by design, like a function reference
      : object_(static_cast<void*>(&f)), call_([](void* o, std::size_t i) { (*static_cast<F*>(o))(i); }) {}
  void operator()(std::size_t i) const { call_(object_, i); }

 private:
  void* object_;
  void (*call_)(void*, std::size_t);
};

// Runs body(i) for every i in [0, tasks). An exception thrown by a task is
// rethrown here after every task has finished or been skipped (the first
// one, if several throw); tasks not yet started when one throws are
// skipped.
void parallel_for(std::size_t tasks, TaskRef body);

template <class F>
void parallel_for(std::size_t tasks, F&& body) {
  TaskRef ref(body);
  parallel_for(tasks, ref);
}

// Where chunk i starts when [0, total) is cut into `chunks` nearly equal
// chunks whose edges fall on multiples of `grain` (the last one ends at
// total): chunk i is [chunk_begin(i, ...), chunk_begin(i + 1, ...)).
inline std::size_t chunk_begin(std::size_t i, std::size_t chunks, std::size_t total, std::size_t grain) {
  const std::size_t grains = (total + grain - 1) / grain;
  const std::size_t begin = (grains / chunks) * i + (i < grains % chunks ? i : grains % chunks);
  return begin * grain < total ? begin * grain : total;
}

}  // namespace quarn
