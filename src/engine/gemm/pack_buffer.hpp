// A packing buffer of one thread, grown on demand and kept for the next call
// on that thread, so steady use allocates nothing. 64-byte aligned, so that
// packed panels start on a cache line and every kernel may load them with
// aligned full-width vectors.
#pragma once

#include <cstddef>
#include <new>

namespace quarn::gemm {

template <class T>
class PackBuffer {
 public:
  static constexpr std::size_t kAlignment = 64;

  PackBuffer() = default;
  PackBuffer(const PackBuffer&) = delete;
  PackBuffer& operator=(const PackBuffer&) = delete;
  ~PackBuffer() { release(); }

  // Room for `count` elements; earlier contents are not kept.
  T* get(std::size_t count) {
    if (count > capacity_) {
      release();
      data_ = static_cast<T*>(::operator new(count * sizeof(T), std::align_val_t{kAlignment}));
      capacity_ = count;
    }
    return data_;
  }

 private:
  void release() {
    if (data_ != nullptr) ::operator delete(data_, std::align_val_t{kAlignment});
    data_ = nullptr;
    capacity_ = 0;
  }

  T* data_ = nullptr;
  std::size_t capacity_ = 0;
};

}  // namespace quarn::gemm
