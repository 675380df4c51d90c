#include "runtime/thread_pool.hpp"

#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace quarn {

namespace {

// --- how many processors ------------------------------------------------------

std::size_t affinity_cpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) != 0) {
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : n;
  }
  const int n = CPU_COUNT(&set);
  return n > 0 ? static_cast<std::size_t>(n) : 1;
}

// Quota / period rounded up, or 0 for no limit (or nothing readable).
std::size_t quota_cpus(long long quota, long long period) {
  if (quota <= 0 || period <= 0) return 0;
  return static_cast<std::size_t>((quota + period - 1) / period);
}

// The process's cgroup path for a controller from /proc/self/cgroup: the v2
// line is "0::/path", a v1 line "N:controller,list:/path".
std::string cgroup_path(const std::string& controller) {
  std::ifstream in("/proc/self/cgroup");
  std::string line;
  while (std::getline(in, line)) {
    const std::size_t first = line.find(':');
    const std::size_t second = first == std::string::npos ? first : line.find(':', first + 1);
    if (second == std::string::npos) continue;
    const std::string list = line.substr(first + 1, second - first - 1);
    const std::string path = line.substr(second + 1);
    if (controller.empty() ? list.empty() : ("," + list + ",").find("," + controller + ",") != std::string::npos)
      return path;
  }
  return "/";
}

// The tightest quota on the way from the process's cgroup up to the root:
// a parent's quota limits its children too. `read` gives one directory's
// quota in processors, 0 for none.
template <class Read>
std::size_t tightest_quota(const std::string& root, std::string path, const Read& read) {
  std::size_t best = 0;
  for (;;) {
    const std::size_t here = read(root + path);
    if (here != 0 && (best == 0 || here < best)) best = here;
    if (path.empty() || path == "/") return best;
    const std::size_t slash = path.find_last_of('/');
    path = slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
  }
}

std::size_t cgroup_cpus() {
  // v2: "max 100000" or "200000 100000" in cpu.max.
  std::size_t v2 = tightest_quota("/sys/fs/cgroup", cgroup_path(""), [](const std::string& dir) -> std::size_t {
    std::ifstream in(dir + "/cpu.max");
    std::string quota;
    long long period = 0;
    if (!(in >> quota >> period) || quota == "max") return 0;
    char* end = nullptr;
    const long long q = std::strtoll(quota.c_str(), &end, 10);
    return *end == '\0' ? quota_cpus(q, period) : 0;
  });
  if (v2 != 0) return v2;
  // v1: cpu.cfs_quota_us (-1 for none) over cpu.cfs_period_us.
  return tightest_quota("/sys/fs/cgroup/cpu", cgroup_path("cpu"), [](const std::string& dir) -> std::size_t {
    std::ifstream q(dir + "/cpu.cfs_quota_us"), p(dir + "/cpu.cfs_period_us");
    long long quota = 0, period = 0;
    if (!(q >> quota) || !(p >> period)) return 0;
    return quota_cpus(quota, period);
  });
}

std::size_t detect_cpus() {
  const std::size_t cpus = affinity_cpus();
  std::size_t quota = 0;
  try {
    quota = cgroup_cpus();
  } catch (...) {  // out of memory reading a few short files: no quota then
    quota = 0;
  }
  return quota != 0 && quota < cpus ? quota : cpus;
}

// QUARN_NUM_THREADS, or 0 when unset or not a whole number in range.
std::size_t threads_from_environment() {
  const char* text = std::getenv("QUARN_NUM_THREADS");
  if (text == nullptr || *text == '\0') return 0;
  char* end = nullptr;
  errno = 0;
  const unsigned long long n = std::strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0' || text[0] == '-' || n < 1 || n > kMaxThreads) return 0;
  return static_cast<std::size_t>(n);
}

// 0 until first asked for; then the size every pool of this process uses.
std::atomic<std::size_t> wanted_threads{0};

std::size_t default_threads() {
  const std::size_t from_env = threads_from_environment();
  return from_env != 0 ? from_env : detect_cpus();
}

// --- waiting ------------------------------------------------------------------

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#else
  std::this_thread::yield();
#endif
}

// Spins this many rounds on a value before sleeping on it: a worker whose
// caller posts the next phase of the same operation a few microseconds later
// finds it without a wake-up, while an idle pool stops costing anything
// after some 50 to 100 us (a pause takes tens to about 140 cycles, by
// processor).
constexpr int kSpinRounds = 2000;

// Waiting and waking on one 32-bit word, straight through futex(2): the
// library's atomic wait has lost wake-ups in some of the releases this is
// built with.
using Word = std::atomic<std::uint32_t>;
static_assert(sizeof(Word) == sizeof(std::uint32_t));

void wake_all(Word& word) {
  syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

// Returns once `word` no longer holds `old`.
void wait_while_equal(const Word& word, std::uint32_t old) {
  for (int i = 0; i < kSpinRounds; ++i) {
    if (word.load(std::memory_order_acquire) != old) return;
    cpu_relax();
  }
  // The kernel compares the word with `old` under its own lock before it
  // sleeps, so a change (and its wake-up) in between cannot be missed.
  while (word.load(std::memory_order_acquire) == old)
    syscall(SYS_futex, reinterpret_cast<const std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE, old, nullptr, nullptr, 0);
}

// --- the pool -----------------------------------------------------------------

// Set on the pool's workers and on a caller while it owns them, so that a
// task calling in again runs inline without touching the pool at all.
thread_local bool inside_task = false;

struct Job {
  TaskRef body;
  std::uint32_t tasks;
  std::atomic<std::uint32_t> next{0};
  Word done{0};
  std::atomic<bool> failed{false};
  std::mutex error_mutex;
  std::exception_ptr error;

  Job(TaskRef b, std::uint32_t n) : body(b), tasks(n) {}

  // Claims and runs tasks until none are left.
  void work() {
    for (;;) {
      const std::uint32_t i = next.fetch_add(1, std::memory_order_relaxed);
      if (i >= tasks) return;
      if (!failed.load(std::memory_order_relaxed)) {
        try {
          body(i);
        } catch (...) {
          std::lock_guard<std::mutex> lock(error_mutex);
          if (!error) error = std::current_exception();
          failed.store(true, std::memory_order_relaxed);
        }
      }
      // Release: the task's writes happen before the caller sees it done.
      if (done.fetch_add(1, std::memory_order_acq_rel) + 1 == tasks) wake_all(done);
    }
  }
};

class Pool {
 public:
  // Called by the thread that holds `busy`.
  void run(std::uint32_t tasks, TaskRef body) {
    resize(wanted_threads.load(std::memory_order_relaxed) - 1);
    if (workers_.empty()) return run_inline(tasks, body);
    Job job(body, tasks);
    job_.store(&job, std::memory_order_seq_cst);
    generation_.fetch_add(1, std::memory_order_seq_cst);
    wake_all(generation_);
    job.work();
    // Every task is claimed; wait for the ones still running elsewhere.
    for (std::uint32_t d = job.done.load(std::memory_order_acquire); d != tasks;
         d = job.done.load(std::memory_order_acquire))
      wait_while_equal(job.done, d);
    // A worker that loaded the pointer before it went away may still be
    // about to look at the job's counters: wait for it to let go.
    job_.store(nullptr, std::memory_order_seq_cst);
    for (std::uint32_t u = users_.load(std::memory_order_seq_cst); u != 0; u = users_.load(std::memory_order_seq_cst))
      wait_while_equal(users_, u);
    if (job.error) std::rethrow_exception(job.error);
  }

  std::atomic<bool> busy{false};

  // Stops and joins the workers; later callers run inline. At exit.
  void shut_down() {
    bool expected = false;
    // Wait for a running operation to end: its caller may be a thread that
    // outlives this one's exit handlers for a moment.
    while (!busy.compare_exchange_weak(expected, true, std::memory_order_acquire)) {
      expected = false;
      std::this_thread::yield();
    }
    stop_workers();
    closed_ = true;
    busy.store(false, std::memory_order_release);
  }

  static void run_inline(std::size_t tasks, TaskRef body) {
    for (std::size_t i = 0; i < tasks; ++i) body(i);
  }

 private:
  // `seen` is the generation when the worker was made: a thread may start
  // running only after the job (or the stop) that follows has been posted,
  // and must not take that for the state it has to wait past.
  void worker_loop(std::uint32_t seen) {
    inside_task = true;
    for (;;) {
      wait_while_equal(generation_, seen);
      seen = generation_.load(std::memory_order_acquire);
      if (stop_.load(std::memory_order_acquire)) return;
      // Announce, then look (both sequentially consistent), against the
      // caller's clear-then-count: either this worker sees no job, or the
      // caller sees this worker and waits for it.
      users_.fetch_add(1, std::memory_order_seq_cst);
      if (Job* job = job_.load(std::memory_order_seq_cst)) job->work();
      if (users_.fetch_sub(1, std::memory_order_seq_cst) == 1) wake_all(users_);
    }
  }

  void stop_workers() {
    if (workers_.empty()) return;
    stop_.store(true, std::memory_order_release);
    generation_.fetch_add(1, std::memory_order_seq_cst);
    wake_all(generation_);
    for (std::thread& t : workers_) t.join();
    workers_.clear();
    stop_.store(false, std::memory_order_release);
  }

  void resize(std::size_t count) {
    if (closed_) count = 0;
    if (workers_.size() == count) return;
    stop_workers();
    // Workers take no signals: those are for the threads that asked for
    // the work, and the interpreter handles them on its own threads.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    try {
      workers_.reserve(count);
      const std::uint32_t now = generation_.load(std::memory_order_relaxed);
      while (workers_.size() < count) workers_.emplace_back([this, now] { worker_loop(now); });
    } catch (...) {
      // No more threads to be had (or no memory for their records): work
      // with the ones that started.
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
  }

  std::vector<std::thread> workers_;
  bool closed_ = false;
  std::atomic<Job*> job_{nullptr};
  Word generation_{0};
  Word users_{0};
  std::atomic<bool> stop_{false};
};

// Never destroyed: a thread still at work in an operation as the process
// exits may touch the pool after the exit handlers have run. Abandoned in a
// forked child, where its workers do not exist (and its lock may be held by
// a thread that is not there either); the child makes its own.
std::atomic<Pool*> the_pool{nullptr};

void forget_pool_in_child() { the_pool.store(nullptr, std::memory_order_relaxed); }

void shut_down_at_exit() {
  if (Pool* pool = the_pool.load(std::memory_order_acquire)) pool->shut_down();
}

Pool* get_pool() {
  Pool* pool = the_pool.load(std::memory_order_acquire);
  if (pool != nullptr) return pool;
  // Once per process image: a forked child inherits both registrations.
  static std::atomic<bool> registered{false};
  if (!registered.exchange(true)) {
    pthread_atfork(nullptr, nullptr, forget_pool_in_child);
    std::atexit(shut_down_at_exit);
  }
  // Creating a pool starts no thread, so two first callers may both make
  // one; the loser's goes away unused.
  Pool* fresh = new Pool();
  if (the_pool.compare_exchange_strong(pool, fresh, std::memory_order_acq_rel)) return fresh;
  delete fresh;
  return pool;
}

}  // namespace

std::size_t available_cpus() noexcept { return detect_cpus(); }

bool inside_parallel_task() noexcept { return inside_task; }

std::size_t num_threads() noexcept {
  std::size_t n = wanted_threads.load(std::memory_order_relaxed);
  if (n != 0) return n;
  std::size_t first = default_threads();
  // The first reader's answer stands; a set_num_threads meanwhile wins.
  if (wanted_threads.compare_exchange_strong(n, first, std::memory_order_relaxed)) return first;
  return n;
}

void set_num_threads(std::size_t n) noexcept {
  wanted_threads.store(n < 1 ? 1 : (n > kMaxThreads ? kMaxThreads : n), std::memory_order_relaxed);
}

void parallel_for(std::size_t tasks, TaskRef body) {
  if (tasks <= 1 || inside_task || num_threads() <= 1) return Pool::run_inline(tasks, body);
  Pool* pool = get_pool();
  bool expected = false;
  if (!pool->busy.compare_exchange_strong(expected, true, std::memory_order_acquire))
    return Pool::run_inline(tasks, body);
  struct Release {
    Pool* pool;
    ~Release() {
      inside_task = false;
      pool->busy.store(false, std::memory_order_release);
    }
  } release{pool};
  inside_task = true;
  // Callers cut work into a few tasks per thread; more than 2^32 would be
  // a bug, and is run inline rather than wrapped around.
  if (tasks > UINT32_MAX) return Pool::run_inline(tasks, body);
  pool->run(static_cast<std::uint32_t>(tasks), body);
}

}  // namespace quarn
