#include "runtime/buffer.hpp"

#include <pthread.h>

#include <array>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace quarn {

namespace {
// Large blocks ask the kernel for transparent huge pages: fresh memory is
// touched once per 2 MiB instead of once per 4 KiB, which matters when every
// operation writes a new result.
constexpr std::size_t kHugePageThreshold = std::size_t{4} << 20;

// A training step frees and allocates the same few large blocks over and
// over. glibc hands freed memory at the top of its heap back to the kernel
// and asks for it again on the next step, so every page of every result
// faulted and was zeroed anew: in a small MLP step this cost as much time as
// the arithmetic. So blocks from kCacheMin bytes up are kept once freed, the
// most recent first, up to kCacheTotal bytes in all, and the next request
// that fits one closely takes it back.
constexpr std::size_t kCacheMin = std::size_t{64} << 10;
constexpr std::size_t kCacheBlockMax = std::size_t{64} << 20;
constexpr std::size_t kCacheTotal = std::size_t{256} << 20;
constexpr std::size_t kCacheSlots = 32;
constexpr std::size_t kPage = 4096;

// The sanitizers must see every block freed, or a use after free would read
// a cached block without complaint.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kCacheBlocks = false;
#else
constexpr bool kCacheBlocks = true;
#endif

struct CachedBlock {
  void* raw;
  std::size_t bytes;
};

class BlockCache {
 public:
  // A cached block of at least `bytes` and at most a quarter more, or null:
  // the smallest such, and of those the one freed last, whose lines are the
  // likeliest to be in cache still (taking the oldest made an element-wise
  // chain over 16 MiB results a tenth slower than glibc's reuse).
  void* take(std::size_t bytes, std::size_t& got) {
    std::lock_guard lock(mutex_);
    std::size_t best = count_;
    for (std::size_t i = count_; i-- > 0;) {
      const std::size_t have = slots_[i].bytes;
      if (have >= bytes && have - bytes <= bytes / 4 && (best == count_ || have < slots_[best].bytes)) best = i;
    }
    if (best == count_) return nullptr;
    const CachedBlock found = slots_[best];
    remove(best);
    got = found.bytes;
    return found.raw;
  }

  // Keeps the block, handing back the oldest ones that no longer fit in
  // `evicted` for the caller to free outside the lock. False when the block
  // is not cached (too large); the caller frees it.
  bool give(void* raw, std::size_t bytes, std::array<CachedBlock, kCacheSlots>& evicted,
            std::size_t& evicted_count) {
    if (bytes > kCacheBlockMax) return false;
    std::lock_guard lock(mutex_);
    evicted_count = 0;
    while (count_ == kCacheSlots || total_ + bytes > kCacheTotal) {
      evicted[evicted_count++] = slots_[0];
      remove(0);
    }
    slots_[count_++] = {raw, bytes};
    total_ += bytes;
    return true;
  }

  // fork() may come while another thread holds the lock; the child, which has
  // only the forking thread, must not inherit it held.
  void lock_for_fork() { mutex_.lock(); }
  void unlock_after_fork() { mutex_.unlock(); }

 private:
  void remove(std::size_t i) {
    total_ -= slots_[i].bytes;
    for (std::size_t j = i + 1; j < count_; ++j) slots_[j - 1] = slots_[j];
    --count_;
  }

  std::mutex mutex_;
  std::array<CachedBlock, kCacheSlots> slots_{};
  std::size_t count_ = 0;
  std::size_t total_ = 0;
};

// Never destroyed: buffers may be freed by static destructors after this
// file's would have run.
BlockCache& block_cache() {
  static BlockCache* cache = [] {
    auto* made = new BlockCache;
    pthread_atfork([] { block_cache().lock_for_fork(); }, [] { block_cache().unlock_after_fork(); },
                   [] { block_cache().unlock_after_fork(); });
    return made;
  }();
  return *cache;
}

bool cached_size(std::size_t bytes) { return kCacheBlocks && bytes >= kCacheMin; }
}  // namespace

// glibc's aligned allocation splits chunks in a way that defeats its own
// reuse of large freed blocks: a result of a few MiB then comes back as fresh
// pages, and every page faults again. Plain malloc reuses them, so align by
// hand inside a slightly larger block.
Buffer* Buffer::allocate(std::size_t bytes) {
  if (bytes > std::numeric_limits<std::size_t>::max() - 4 * kHeaderBytes - kPage) throw std::bad_alloc();
  std::size_t total = kHeaderBytes + bytes + kBufferAlignment;
  void* raw = nullptr;
  if (cached_size(total)) {
    // Whole pages, so that blocks of nearly equal sizes can stand in for
    // each other.
    total = (total + kPage - 1) / kPage * kPage;
    raw = block_cache().take(total, total);
  }
  const bool fresh = raw == nullptr;
  if (fresh) raw = std::malloc(total);
  if (raw == nullptr) throw std::bad_alloc();
  auto base = (reinterpret_cast<std::uintptr_t>(raw) + kBufferAlignment - 1) & ~std::uintptr_t{kBufferAlignment - 1};
  void* mem = reinterpret_cast<void*>(base);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (fresh && bytes >= kHugePageThreshold) {
    // madvise wants a page-aligned start; advise the whole pages inside.
    auto begin = (base + kPage - 1) & ~std::uintptr_t{kPage - 1};
    auto end = (reinterpret_cast<std::uintptr_t>(raw) + total) & ~std::uintptr_t{kPage - 1};
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
  }
#endif
  return new (mem) Buffer(bytes, raw, total);
}

void Buffer::destroy() {
  void* raw = raw_;
  const std::size_t block = block_;
  this->~Buffer();
  if (cached_size(block)) {
    std::array<CachedBlock, kCacheSlots> evicted;
    std::size_t evicted_count = 0;
    if (block_cache().give(raw, block, evicted, evicted_count)) {
      for (std::size_t i = 0; i < evicted_count; ++i) std::free(evicted[i].raw);
      return;
    }
  }
  std::free(raw);
}

}  // namespace quarn
