// A vector of trivially copyable values with room for a few of them inline.
// Shapes and strides almost never exceed six axes, so the common case makes no
// heap allocation at all, which keeps per-operation overhead low.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <new>
#include <type_traits>

namespace quarn {

template <class T, std::size_t N = 6>
class SmallVector {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  using value_type = T;
  using iterator = T*;
  using const_iterator = const T*;

  SmallVector() = default;
  explicit SmallVector(std::size_t n, T fill = T{}) { assign(n, fill); }
  SmallVector(std::initializer_list<T> init) { assign(init.begin(), init.end()); }
  template <class It>
  SmallVector(It first, It last) {
    assign(first, last);
  }
  SmallVector(const SmallVector& o) { assign(o.begin(), o.end()); }
  SmallVector(SmallVector&& o) noexcept { steal(o); }
  SmallVector& operator=(const SmallVector& o) {
    if (this != &o) assign(o.begin(), o.end());
    return *this;
  }
  SmallVector& operator=(SmallVector&& o) noexcept {
    if (this != &o) {
      free_heap();
      steal(o);
    }
    return *this;
  }
  ~SmallVector() { free_heap(); }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T* data() { return ptr(); }
  const T* data() const { return ptr(); }
  T& operator[](std::size_t i) { return ptr()[i]; }
  const T& operator[](std::size_t i) const { return ptr()[i]; }
  T& back() { return ptr()[size_ - 1]; }
  const T& back() const { return ptr()[size_ - 1]; }
  T* begin() { return ptr(); }
  T* end() { return ptr() + size_; }
  const T* begin() const { return ptr(); }
  const T* end() const { return ptr() + size_; }

  void reserve(std::size_t n) {
    if (n <= capacity_) return;
    if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_alloc();
    T* fresh = static_cast<T*>(std::malloc(n * sizeof(T)));
    if (fresh == nullptr) throw std::bad_alloc();
    if (size_) std::memcpy(fresh, ptr(), size_ * sizeof(T));
    free_heap();
    heap_ = fresh;
    capacity_ = n;
  }
  void resize(std::size_t n, T fill = T{}) {
    reserve(n);
    for (std::size_t i = size_; i < n; ++i) ptr()[i] = fill;
    size_ = n;
  }
  void push_back(T v) {
    if (size_ == capacity_) reserve(capacity_ * 2);
    ptr()[size_++] = v;
  }
  void clear() { size_ = 0; }
  void assign(std::size_t n, T fill) {
    size_ = 0;
    resize(n, fill);
  }
  template <class It>
  void assign(It first, It last) {
    std::size_t n = static_cast<std::size_t>(std::distance(first, last));
    size_ = 0;
    reserve(n);
    std::copy(first, last, ptr());
    size_ = n;
  }

  friend bool operator==(const SmallVector& a, const SmallVector& b) {
    return a.size_ == b.size_ && std::equal(a.begin(), a.end(), b.begin());
  }

 private:
  T* ptr() { return heap_ ? heap_ : inline_; }
  const T* ptr() const { return heap_ ? heap_ : inline_; }
  void free_heap() {
    if (heap_) std::free(heap_);
    heap_ = nullptr;
    capacity_ = N;
  }
  void steal(SmallVector& o) {
    size_ = o.size_;
    if (o.heap_) {
      heap_ = o.heap_;
      capacity_ = o.capacity_;
      o.heap_ = nullptr;
      o.capacity_ = N;
    } else {
      std::copy(o.inline_, o.inline_ + o.size_, inline_);
    }
    o.size_ = 0;
  }

  T* heap_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = N;
  T inline_[N];
};

}  // namespace quarn
