// The thread pool: every task runs exactly once whatever the task and thread
// counts, the work really reaches the workers, an exception in a task comes
// back to the caller (and the pool stays usable), a task calling in again
// runs inline, several threads calling at once all get their tasks done,
// the chunk edges cover the range exactly, and products that several
// threads compute at once through the pool come out as on one thread. Built with -fsanitize=thread
// (make test-tsan) the concurrent callers and the resizing below also check
// the hand-over of jobs for data races.
#include <atomic>
#include <cstring>
#include <cstdio>
#include <latch>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "check.hpp"
#include "engine/gemm/sgemm.hpp"
#include "runtime/thread_pool.hpp"

namespace {

using quarn_test::check;

// Runs `tasks` tasks that each count their own runs; true when every task
// ran exactly once.
bool each_once(std::size_t tasks) {
  std::vector<std::atomic<int>> runs(tasks);
  quarn::parallel_for(tasks, [&](std::size_t i) { runs[i].fetch_add(1, std::memory_order_relaxed); });
  for (auto& r : runs)
    if (r.load() != 1) return false;
  return true;
}

void test_every_task_once() {
  for (std::size_t threads : {1, 2, 3, 8}) {
    quarn::set_num_threads(threads);
    for (std::size_t tasks : {0, 1, 2, 3, 7, 64, 1000})
      check(each_once(tasks), "threads " + std::to_string(threads) + ", tasks " + std::to_string(tasks));
  }
}

// With three threads and tasks that wait until three different threads have
// arrived, the job can only finish if the workers take part.
void test_workers_take_part() {
  quarn::set_num_threads(3);
  std::mutex m;
  std::set<std::thread::id> seen;
  std::atomic<int> arrived{0};
  quarn::parallel_for(3, [&](std::size_t) {
    {
      std::lock_guard<std::mutex> lock(m);
      seen.insert(std::this_thread::get_id());
    }
    arrived.fetch_add(1);
    // Bounded: on failure the check below reports it instead of a hang.
    for (int spin = 0; arrived.load() < 3 && spin < 2000000; ++spin) std::this_thread::yield();
  });
  check(seen.size() == 3, "three tasks that wait for each other ran on " + std::to_string(seen.size()) +
                              " threads");
}

void test_exception_reaches_caller() {
  for (std::size_t threads : {1, 3}) {
    quarn::set_num_threads(threads);
    std::string caught;
    try {
      quarn::parallel_for(50, [](std::size_t i) {
        if (i == 17) throw std::runtime_error("task 17");
      });
    } catch (const std::runtime_error& e) {
      caught = e.what();
    }
    check(caught == "task 17", "threads " + std::to_string(threads) + ": exception from a task, got '" + caught + "'");
    check(each_once(100), "the pool works after an exception");
  }
}

void test_nested_calls_run_inline() {
  quarn::set_num_threads(3);
  std::atomic<int> inner_runs{0};
  std::atomic<bool> inner_on_other_thread{false};
  quarn::parallel_for(6, [&](std::size_t) {
    const auto outer_thread = std::this_thread::get_id();
    quarn::parallel_for(5, [&](std::size_t) {
      inner_runs.fetch_add(1);
      if (std::this_thread::get_id() != outer_thread) inner_on_other_thread.store(true);
    });
  });
  check(inner_runs.load() == 30, "nested tasks all ran: " + std::to_string(inner_runs.load()));
  check(!inner_on_other_thread.load(), "nested tasks ran on their caller's thread");
}

// Eight threads submit at once while one of them changes the pool's size:
// whoever finds the pool busy runs its own tasks, and nobody's are lost.
void test_concurrent_callers() {
  constexpr int kCallers = 8;
  std::latch start(kCallers);
  std::atomic<int> bad{0};
  std::vector<std::thread> callers;
  for (int c = 0; c < kCallers; ++c) {
    callers.emplace_back([&, c] {
      start.arrive_and_wait();
      for (int round = 0; round < 200; ++round) {
        if (c == 0 && round % 50 == 0) quarn::set_num_threads(2 + round / 50 % 2);
        if (!each_once(static_cast<std::size_t>(1 + (round * 7 + c) % 40))) bad.fetch_add(1);
      }
    });
  }
  for (auto& t : callers) t.join();
  check(bad.load() == 0, std::to_string(bad.load()) + " jobs lost or repeated tasks with concurrent callers");
}

// Four threads multiply at once, each product large enough for the pool:
// one of them gets the workers (sharing its packed B with them), the others
// run alone. Every result must equal the one-thread product bit for bit.
void test_concurrent_products() {
  constexpr std::size_t kM = 150, kN = 170, kK = 130;
  std::vector<float> a(kM * kK), b(kK * kN);
  for (std::size_t i = 0; i < a.size(); ++i) a[i] = static_cast<float>((i * 37) % 23) - 11.0f;
  for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<float>((i * 53) % 19) / 8.0f - 1.0f;
  auto product = [&](std::vector<float>& c, std::size_t shift) {
    // Each thread reads A from a different row, so no two products agree by accident.
    quarn::gemm::sgemm(kM - shift, kN, kK, a.data() + shift * kK, kK, 1, b.data(), kN, 1, c.data(), kN, 1);
  };
  quarn::set_num_threads(1);
  std::vector<std::vector<float>> want(4, std::vector<float>(kM * kN));
  for (std::size_t t = 0; t < 4; ++t) product(want[t], t);
  quarn::set_num_threads(3);
  std::vector<std::vector<float>> got(4, std::vector<float>(kM * kN));
  std::latch start(4);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      for (int round = 0; round < 5; ++round) product(got[t], t);
    });
  }
  for (auto& th : threads) th.join();
  for (std::size_t t = 0; t < 4; ++t)
    check(std::memcmp(got[t].data(), want[t].data(), got[t].size() * sizeof(float)) == 0,
          "product " + std::to_string(t) + " computed alongside others");
}

void test_chunks_cover_the_range() {
  for (std::size_t total : {0, 1, 4095, 4096, 4097, 100000, 1 << 20}) {
    for (std::size_t chunks : {1, 2, 3, 7, 64}) {
      for (std::size_t grain : {1, 4096}) {
        bool ok = quarn::chunk_begin(0, chunks, total, grain) == 0 &&
                  quarn::chunk_begin(chunks, chunks, total, grain) == total;
        for (std::size_t i = 0; i < chunks; ++i) {
          const std::size_t b = quarn::chunk_begin(i, chunks, total, grain);
          const std::size_t e = quarn::chunk_begin(i + 1, chunks, total, grain);
          ok = ok && b <= e && (b % grain == 0 || b == total);
        }
        check(ok, "chunks of " + std::to_string(total) + " in " + std::to_string(chunks) + " by " +
                      std::to_string(grain));
      }
    }
  }
}

void test_sizes() {
  check(quarn::available_cpus() >= 1, "at least one processor");
  quarn::set_num_threads(0);
  check(quarn::num_threads() == 1, "a size of 0 is taken as 1");
  quarn::set_num_threads(quarn::kMaxThreads + 5);
  check(quarn::num_threads() == quarn::kMaxThreads, "sizes are capped");
}

}  // namespace

int main() {
  test_every_task_once();
  test_workers_take_part();
  test_exception_reaches_caller();
  test_nested_calls_run_inline();
  test_concurrent_callers();
  test_concurrent_products();
  test_chunks_cover_the_range();
  test_sizes();
  return quarn_test::report();
}
