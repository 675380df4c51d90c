#include "core/shape.hpp"

#include <algorithm>
#include <limits>

namespace quarn {

std::optional<std::size_t> checked_numel(const Shape& shape) {
  constexpr auto kMax = static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max());
  std::size_t product = 1;
  bool has_zero = false;
  for (std::size_t e : shape) {
    if (e == 0) {
      has_zero = true;
      continue;
    }
    if (product > kMax / e) return std::nullopt;
    product *= e;
  }
  return has_zero ? 0 : product;
}

std::optional<Strides> stretch_strides(const Shape& shape, const Strides& strides, const Shape& target) {
  if (shape.size() > target.size()) return std::nullopt;
  const std::size_t lead = target.size() - shape.size();
  Strides out(target.size(), 0);
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (shape[i] == target[lead + i]) {
      out[lead + i] = strides[i];
    } else if (shape[i] != 1) {
      return std::nullopt;
    }
  }
  return out;
}

std::size_t numel(const Shape& shape) {
  std::size_t product = 1;
  for (std::size_t e : shape) product *= e;
  return product;
}

Strides row_major_strides(const Shape& shape) {
  Strides strides(shape.size(), 0);
  if (numel(shape) == 0) return strides;
  std::ptrdiff_t step = 1;
  for (std::size_t i = shape.size(); i-- > 0;) {
    strides[i] = step;
    step *= static_cast<std::ptrdiff_t>(shape[i]);
  }
  return strides;
}

Strides column_major_strides(const Shape& shape) {
  Strides strides(shape.size(), 0);
  if (numel(shape) == 0) return strides;
  std::ptrdiff_t step = 1;
  for (std::size_t i = 0; i < shape.size(); ++i) {
    strides[i] = step;
    step *= static_cast<std::ptrdiff_t>(shape[i]);
  }
  return strides;
}

namespace {
bool has_zero_extent(const Shape& shape) {
  return std::find(shape.begin(), shape.end(), std::size_t{0}) != shape.end();
}
}  // namespace

bool is_row_major_contiguous(const Shape& shape, const Strides& strides) {
  if (has_zero_extent(shape)) return true;
  std::ptrdiff_t expected = 1;
  for (std::size_t i = shape.size(); i-- > 0;) {
    if (shape[i] == 1) continue;
    if (strides[i] != expected) return false;
    expected *= static_cast<std::ptrdiff_t>(shape[i]);
  }
  return true;
}

bool is_column_major_contiguous(const Shape& shape, const Strides& strides) {
  if (has_zero_extent(shape)) return true;
  std::ptrdiff_t expected = 1;
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (shape[i] == 1) continue;
    if (strides[i] != expected) return false;
    expected *= static_cast<std::ptrdiff_t>(shape[i]);
  }
  return true;
}

bool is_dense_block(const Shape& shape, const Strides& strides) {
  if (has_zero_extent(shape)) return true;
  // Sort the axes longer than 1 by |stride|; the block is dense when each
  // |stride| is the product of the extents of the axes before it.
  SmallVector<std::size_t> axes;
  for (std::size_t i = 0; i < shape.size(); ++i)
    if (shape[i] != 1) axes.push_back(i);
  // The magnitude of a negative stride without negating it: -(s + 1) cannot
  // overflow, not even for the most negative stride.
  auto mag = [&](std::size_t i) -> std::size_t {
    const std::ptrdiff_t s = strides[i];
    return s < 0 ? static_cast<std::size_t>(-(s + 1)) + 1 : static_cast<std::size_t>(s);
  };
  std::sort(axes.begin(), axes.end(), [&](std::size_t a, std::size_t b) { return mag(a) < mag(b); });
  // The running product stays within the element count, which fits a signed
  // word for every array that exists.
  std::ptrdiff_t expected = 1;
  for (std::size_t i : axes) {
    if (strides[i] != expected && strides[i] != -expected) return false;
    expected *= static_cast<std::ptrdiff_t>(shape[i]);
  }
  return true;
}

std::string format_shape(const Shape& shape) {
  std::string out = "[";
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (i) out += ", ";
    out += std::to_string(shape[i]);
  }
  out += "]";
  return out;
}

}  // namespace quarn
