// Broadcasting: one target shape for two operands, and read-only views that
// reach it by giving every stretched axis stride 0.
#include <string>

#include "engine/broadcast.hpp"
#include "engine/storage_ops.hpp"

namespace quarn::engine {

View view_of(const Storage& s) { return View{s.dtype(), s.data(), s.shape(), s.strides()}; }

Result<Shape> broadcast_shape(const Shape& a, const Shape& b) {
  const std::size_t n = a.size() > b.size() ? a.size() : b.size();
  Shape target(n, 1);
  // j counts positions from the last axis, where both shapes are aligned.
  for (std::size_t j = 0; j < n; ++j) {
    std::size_t ea = j < a.size() ? a[a.size() - 1 - j] : 1;
    std::size_t eb = j < b.size() ? b[b.size() - 1 - j] : 1;
    std::size_t e;
    if (ea == eb || eb == 1) {
      e = ea;
    } else if (ea == 1) {
      e = eb;
    } else {
      return runtime_error("Shape mismatch: cannot broadcast " + format_shape(a) + " and " +
                           format_shape(b));
    }
    target[n - 1 - j] = e;
  }
  return target;
}

Result<Strides> expanded_strides(const Storage& s, const Shape& target, const char* which) {
  std::optional<Strides> strides;
  if (checked_numel(target)) strides = stretch_strides(s.shape(), s.strides(), target);
  if (!strides)
    return runtime_error(std::string("Broadcast failed for ") + which + ": " + format_shape(s.shape()) + " -> " +
                         format_shape(target));
  return std::move(*strides);
}

Result<View> expand_to(const Storage& s, const Shape& target, const char* which) {
  QUARN_TRY(Strides strides, expanded_strides(s, target, which));
  return View{s.dtype(), s.data(), target, std::move(strides)};
}

Result<std::pair<View, View>> broadcast_operands(const Storage& a, const Storage& b) {
  QUARN_TRY(Shape target, broadcast_shape(a.shape(), b.shape()));
  QUARN_TRY(View va, expand_to(a, target, "A"));
  QUARN_TRY(View vb, expand_to(b, target, "B"));
  return std::pair<View, View>(std::move(va), std::move(vb));
}

}  // namespace quarn::engine
