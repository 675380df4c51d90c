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

Buffer* Buffer::allocate(std::size_t bytes) {
  if (bytes > std::numeric_limits<std::size_t>::max() - 2 * kHeaderBytes) throw std::bad_alloc();
  std::size_t total = (kHeaderBytes + bytes + kBufferAlignment - 1) / kBufferAlignment * kBufferAlignment;
  void* mem = std::aligned_alloc(kBufferAlignment, total);
  if (mem == nullptr) throw std::bad_alloc();
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (bytes >= kHugePageThreshold) {
    // madvise wants a page-aligned start; advise the whole pages inside.
    auto begin = (reinterpret_cast<std::uintptr_t>(mem) + 4095) & ~std::uintptr_t{4095};
    auto end = (reinterpret_cast<std::uintptr_t>(mem) + total) & ~std::uintptr_t{4095};
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
  }
#endif
  return new (mem) Buffer(bytes);
}

void Buffer::destroy() {
  this->~Buffer();
  std::free(this);
}

}  // namespace quarn
