// Front ends of the convolutions and pooling: every argument is checked
// (with the message PyTorch users know) before anything is recorded or
// computed; then the engine (engine/conv/conv.hpp) computes and the graph
// records. A convolution with a bias records two nodes, the convolution
// and channel_bias, but is computed in one pass (operations.def).
#pragma once

#include <array>
#include <cstdint>

#include "core/tensor.hpp"
#include "runtime/error.hpp"

namespace quarn::ops {

// Per spatial axis (height, width; a 1-D convolution uses the second).
using Pair = std::array<std::int64_t, 2>;

struct ConvArgs {
  Pair stride{1, 1};
  enum class Padding { kGiven, kSame, kValid } padding_mode = Padding::kGiven;
  Pair padding{0, 0};
  Pair dilation{1, 1};
  std::int64_t groups = 1;
  Pair output_padding{0, 0};  // transposed convolutions only
};

// `bias` may be null.
Result<Tensor> conv2d(const Tensor& x, const Tensor& w, const Tensor* bias, const ConvArgs& args);
Result<Tensor> conv1d(const Tensor& x, const Tensor& w, const Tensor* bias, const ConvArgs& args);
Result<Tensor> conv_transpose2d(const Tensor& x, const Tensor& w, const Tensor* bias, const ConvArgs& args);

struct PoolArgs {
  Pair kernel{1, 1};
  Pair stride{1, 1};  // the front end of the binding puts the kernel here for stride=None
  Pair padding{0, 0};
  Pair dilation{1, 1};
  bool ceil_mode = false;
  bool count_include_pad = true;
};

Result<Tensor> max_pool2d(const Tensor& x, const PoolArgs& args);
Result<Tensor> avg_pool2d(const Tensor& x, const PoolArgs& args);
// `size` entries below 0 keep the input's extent (None in Python).
Result<Tensor> adaptive_avg_pool2d(const Tensor& x, Pair size);

}  // namespace quarn::ops
