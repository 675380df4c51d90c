// Element buffers: freed large blocks are kept and handed out again, so the
// faults to fear are a block handed to two live buffers at once, a reused
// block too small for its new request, and a lock left held in a child of
// fork(). Threads allocate, fill, check and free buffers of sizes around
// the cache's range at once; a buffer whose pattern changed under it was
// shared. Under the sanitizers (make test-sanitize, make test-tsan) the
// cache is off, and the same program checks the plain path without fork().
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "check.hpp"
#include "runtime/buffer.hpp"

namespace {

using quarn_test::check;

// Sizes on both sides of the cache's smallest block and of its close-fit
// rule, so that blocks are both reused and refused.
constexpr std::size_t kSizes[] = {1000, 60000, 70000, 100000, 130000, 1 << 20, (1 << 20) + 4096, 3 << 20};

bool filled_with(const quarn::BufferRef& b, std::uint8_t value) {
  const auto* p = static_cast<const std::uint8_t*>(b.get()->data());
  for (std::size_t i = 0; i < b.get()->bytes(); i += 251)
    if (p[i] != value) return false;
  return p[b.get()->bytes() - 1] == value;
}

void test_no_block_is_shared() {
  std::atomic<int> bad{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &bad] {
      std::vector<quarn::BufferRef> live;
      for (int round = 0; round < 400; ++round) {
        const std::size_t bytes = kSizes[(round * 7 + t) % std::size(kSizes)];
        auto b = quarn::BufferRef::allocate(bytes);
        if (b.get()->bytes() != bytes ||
            reinterpret_cast<std::uintptr_t>(b.get()->data()) % quarn::kBufferAlignment != 0)
          bad.fetch_add(1);
        const auto value = static_cast<std::uint8_t>(t * 50 + round % 50);
        std::memset(b.get()->data(), value, bytes);
        live.push_back(std::move(b));
        if (live.size() > 3) {
          // Every buffer still alive must hold what its owner wrote.
          for (std::size_t i = 0; i + 1 < live.size(); ++i)
            if (!filled_with(live[i], static_cast<const std::uint8_t*>(live[i].get()->data())[0])) bad.fetch_add(1);
          live.erase(live.begin(), live.begin() + 2);
        }
        if (!filled_with(live.back(), value)) bad.fetch_add(1);
      }
    });
  }
  for (auto& th : threads) th.join();
  check(bad.load() == 0, "no live buffer shares a block: " + std::to_string(bad.load()) + " bad");
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
void test_fork_while_allocating() {
  std::atomic<bool> stop{false};
  std::thread churn([&stop] {
    while (!stop.load()) {
      auto a = quarn::BufferRef::allocate(200000);
      auto b = quarn::BufferRef::allocate(500000);
    }
  });
  bool all_ok = true;
  for (int i = 0; i < 20; ++i) {
    const pid_t pid = fork();
    if (pid == 0) {
      // The child has only this thread; the cache must not be locked for it.
      for (std::size_t bytes : kSizes) auto b = quarn::BufferRef::allocate(bytes);
      _exit(0);
    }
    int status = 0;
    all_ok = all_ok && pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
  stop.store(true);
  churn.join();
  check(all_ok, "children forked while another thread allocates can allocate");
}
#endif

}  // namespace

int main() {
  test_no_block_is_shared();
  // The sanitizers' own allocators may be locked by the other thread when
  // fork() comes, and the child then waits on that lock forever; and under
  // them our cache, whose lock this checks, is off.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  test_fork_while_allocating();
#endif
  return quarn_test::report();
}
