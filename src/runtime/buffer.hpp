// Element memory: one allocation holding a small header and the elements,
// aligned to 64 bytes so that every kernel may use full-width vector loads,
// shared through an atomically counted handle. Buffers are immutable once
// filled, which is what lets reshape and transpose share them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace quarn {

inline constexpr std::size_t kBufferAlignment = 64;

class Buffer {
 public:
  // Throws std::bad_alloc when the memory cannot be had; the binding layer
  // turns that into MemoryError.
  static Buffer* allocate(std::size_t bytes);

  void* data() { return reinterpret_cast<std::byte*>(this) + kHeaderBytes; }
  const void* data() const { return reinterpret_cast<const std::byte*>(this) + kHeaderBytes; }
  std::size_t bytes() const { return bytes_; }

  void retain() { refs_.fetch_add(1, std::memory_order_relaxed); }
  void release() {
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) destroy();
  }

 private:
  static constexpr std::size_t kHeaderBytes = kBufferAlignment;
  Buffer(std::size_t bytes, void* raw, std::size_t block) : bytes_(bytes), raw_(raw), block_(block) {}
  void destroy();

  std::atomic<std::size_t> refs_{1};
  std::size_t bytes_;
  void* raw_;          // what malloc returned, for free
  std::size_t block_;  // how many bytes it returned
};

class BufferRef {
 public:
  BufferRef() = default;
  // Takes over the reference that Buffer::allocate returned.
  explicit BufferRef(Buffer* adopted) : p_(adopted) {}
  BufferRef(const BufferRef& o) : p_(o.p_) {
    if (p_) p_->retain();
  }
  BufferRef(BufferRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  BufferRef& operator=(BufferRef o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~BufferRef() {
    if (p_) p_->release();
  }

  static BufferRef allocate(std::size_t bytes) { return BufferRef(Buffer::allocate(bytes)); }

  Buffer* get() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  Buffer* p_ = nullptr;
};

}  // namespace quarn
