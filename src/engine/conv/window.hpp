// The geometry of a sliding window over the two spatial axes of an NCHW
// array: what a convolution or a pooling slides, where it starts and how far
// it steps. Made and checked by the front ends (ops/conv_ops.cpp), kept in
// the node for the gradient rules, and read by the engine's kernels, which
// trust it.
#pragma once

#include <cstddef>

namespace quarn::engine {

struct Window {
  std::size_t kh = 1, kw = 1;  // window (kernel) extent
  std::size_t sh = 1, sw = 1;  // stride
  std::size_t dh = 1, dw = 1;  // dilation
  // Zero padding before the first row and column. The padding after them
  // only decides the output's extent (oh, ow), which the window keeps.
  std::size_t ph = 0, pw = 0;
  std::size_t oh = 0, ow = 0;  // output extent
  std::size_t groups = 1;      // convolutions: channel groups
  // Average pooling: whether padded positions count in the divisor. The
  // padding after the last row and column is ph and pw again there; a
  // window that ceil_mode lets overhang it counts only up to its edge.
  bool count_pad = true;
};

}  // namespace quarn::engine
