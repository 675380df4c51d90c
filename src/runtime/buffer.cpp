#include "runtime/buffer.hpp"

#include <cstdlib>
#include <limits>
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
}  // namespace

// glibc's aligned allocation splits chunks in a way that defeats its own
// reuse of large freed blocks: a result of a few MiB then comes back as fresh
// pages, and every page faults again. Plain malloc reuses them, so align by
// hand inside a slightly larger block.
Buffer* Buffer::allocate(std::size_t bytes) {
  if (bytes > std::numeric_limits<std::size_t>::max() - 4 * kHeaderBytes) throw std::bad_alloc();
  std::size_t total = kHeaderBytes + bytes + kBufferAlignment;
  void* raw = std::malloc(total);
  if (raw == nullptr) throw std::bad_alloc();
  auto base = (reinterpret_cast<std::uintptr_t>(raw) + kBufferAlignment - 1) & ~std::uintptr_t{kBufferAlignment - 1};
  void* mem = reinterpret_cast<void*>(base);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (bytes >= kHugePageThreshold) {
    // madvise wants a page-aligned start; advise the whole pages inside.
    auto begin = (base + 4095) & ~std::uintptr_t{4095};
    auto end = (reinterpret_cast<std::uintptr_t>(raw) + total) & ~std::uintptr_t{4095};
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
  }
#endif
  return new (mem) Buffer(bytes, raw);
}

void Buffer::destroy() {
  void* raw = raw_;
  this->~Buffer();
  std::free(raw);
}

}  // namespace quarn
