#include "ops/conv_ops.hpp"

#include <string>
#include <utility>

#include "autograd/graph.hpp"
#include "core/operation.hpp"
#include "engine/conv/conv.hpp"
#include "engine/storage_ops.hpp"

namespace quarn::ops {

namespace {

using autograd::Node;
using autograd::thread_graph;
using engine::Window;

// Arguments above this are refused outright: no window could use them, and
// the output extents computed from them stay far from overflowing.
constexpr std::int64_t kLargest = std::int64_t{1} << 31;

std::string shape_text(const Storage& s) { return format_shape(s.shape()); }
std::string pair_text(const char* sep, std::size_t a, std::size_t b) {
  return std::to_string(a) + sep + std::to_string(b);
}
std::size_t u(std::int64_t v) { return static_cast<std::size_t>(v); }

std::optional<Error> dtype_errors(Op op, const Tensor& x, const Tensor* w, const Tensor* bias) {
  for (const Tensor* t : {&x, w, bias})
    if (t != nullptr)
      if (auto error = unsupported_dtype(op, t->data.dtype())) return error;
  for (const Tensor* t : {w, bias})
    if (t != nullptr && t->data.dtype() != x.data.dtype())
      return runtime_error(std::string(info(op).name) + " expects input, weight and bias of one dtype, got input " +
                           std::string(dtype_short_name(x.data.dtype())) + " and " +
                           (t == w ? "weight " : "bias ") + std::string(dtype_short_name(t->data.dtype())));
  return std::nullopt;
}

std::optional<Error> positive(const Pair& p, std::size_t first, const char* what) {
  for (std::size_t i = first; i < 2; ++i) {
    if (p[i] <= 0) return runtime_error(std::string("non-positive ") + what + " is not supported");
    if (p[i] >= kLargest) return runtime_error(std::string(what) + " must be below 2**31");
  }
  return std::nullopt;
}

std::optional<Error> non_negative(const Pair& p, std::size_t first, const char* what) {
  for (std::size_t i = first; i < 2; ++i) {
    if (p[i] < 0) return runtime_error(std::string("negative ") + what + " is not supported");
    if (p[i] >= kLargest) return runtime_error(std::string(what) + " must be below 2**31");
  }
  return std::nullopt;
}

// What a convolution with a bias records after itself; see the header.
template <class Compute>
Result<Tensor> record_convolution(const Tensor& x, const Tensor& w, const Tensor* bias, Node node,
                                  Compute&& compute) {
  const bool conv_tracked = x.requires_grad || w.requires_grad;
  const bool tracked = conv_tracked || (bias != nullptr && bias->requires_grad);
  if (!tracked) return Tensor{std::nullopt, compute(), false};
  auto& graph = thread_graph();
  QUARN_CHECK(graph.check_current(x));
  QUARN_CHECK(graph.check_current(w));
  if (bias != nullptr) QUARN_CHECK(graph.check_current(*bias));
  Storage out = compute();
  Tensor conv{std::nullopt, out, false};
  if (conv_tracked) {
    QUARN_TRY(std::size_t id, graph.record(x, w, std::move(node)));
    graph.complete(id, out);
    conv = Tensor{id, out, true, graph.identity()};
  }
  if (bias == nullptr) return conv;
  QUARN_TRY(std::size_t id, graph.record(conv, *bias, Node::of(Op::channel_bias)));
  graph.complete(id, out);
  return Tensor{id, std::move(out), true, graph.identity()};
}

Node conv_node(Op op, const Tensor& x, const Tensor& w, const Window& win) {
  if (!x.requires_grad && !w.requires_grad) return Node::of(op);
  Node node = Node::saving(op, x.data, &w.data);
  node.saved->window = win;
  return node;
}

// The checks every convolution shares, for `dims` spatial axes (1 or 2,
// the last `dims` entries of each Pair): dtypes, ranks, arguments.
std::optional<Error> common_checks(Op op, const Tensor& x, const Tensor& w, const Tensor* bias, const ConvArgs& a,
                                   std::size_t dims) {
  if (auto error = dtype_errors(op, x, &w, bias)) return error;
  const std::string name(info(op).name);
  const std::size_t rank = dims + 2;
  if (x.data.ndim() != rank)
    return runtime_error("Expected " + std::to_string(rank) + "D (batched) input to " + name +
                         ", but got input of size: " + shape_text(x.data));
  if (w.data.ndim() != rank)
    return runtime_error("Expected " + std::to_string(rank) + "-dimensional weight for " + std::to_string(rank) +
                         "-dimensional input " + shape_text(x.data) + ", but got " + std::to_string(w.data.ndim()) +
                         "-dimensional weight of size " + shape_text(w.data) + " instead");
  const std::size_t first = 2 - dims;
  if (auto error = positive(a.stride, first, "stride")) return error;
  if (auto error = non_negative(a.padding, first, "padding")) return error;
  if (auto error = positive(a.dilation, first, "dilation")) return error;
  if (auto error = non_negative(a.output_padding, first, "output_padding")) return error;
  if (a.groups <= 0) return runtime_error("non-positive groups is not supported");
  if (a.groups >= kLargest) return runtime_error("groups must be below 2**31");
  return std::nullopt;
}

// The window of a convolution of `x` by filters of `w` (both viewed 4-D),
// or the error for a kernel larger than the padded input.
Result<Window> conv_window(const Shape& x, const Shape& w, const ConvArgs& a, std::size_t dims) {
  if (w[2] == 0 || w[3] == 0)
    return runtime_error("Expected a kernel of at least one element, but got weight of size " + format_shape(w));
  Window win;
  win.groups = u(a.groups);
  win.kh = w[2];
  win.kw = w[3];
  win.sh = u(a.stride[0]);
  win.sw = u(a.stride[1]);
  win.dh = u(a.dilation[0]);
  win.dw = u(a.dilation[1]);
  std::size_t end_h = u(a.padding[0]), end_w = u(a.padding[1]);
  if (a.padding_mode == ConvArgs::Padding::kSame) {
    // PyTorch's convention: the odd one of an even total goes after.
    const std::size_t th = win.dh * (win.kh - 1), tw = win.dw * (win.kw - 1);
    win.ph = th / 2;
    win.pw = tw / 2;
    end_h = th - win.ph;
    end_w = tw - win.pw;
  } else if (a.padding_mode == ConvArgs::Padding::kValid) {
    end_h = end_w = 0;
  } else {
    win.ph = end_h;
    win.pw = end_w;
  }
  const std::size_t padded_h = x[2] + win.ph + end_h, padded_w = x[3] + win.pw + end_w;
  const std::size_t span_h = win.dh * (win.kh - 1) + 1, span_w = win.dw * (win.kw - 1) + 1;
  if (span_h > padded_h || span_w > padded_w) {
    auto text = [dims](std::size_t h, std::size_t wd) {
      return dims == 1 ? std::to_string(wd) : pair_text(" x ", h, wd);
    };
    return runtime_error("Calculated padded input size per channel: (" + text(padded_h, padded_w) +
                         "). Kernel size: (" + text(span_h, span_w) +
                         "). Kernel size can't be greater than actual input size");
  }
  win.oh = (padded_h - span_h) / win.sh + 1;
  win.ow = (padded_w - span_w) / win.sw + 1;
  return win;
}

std::optional<Error> bias_check(const Tensor& w, const Tensor* bias, std::size_t channels) {
  if (bias == nullptr) return std::nullopt;
  if (bias->data.ndim() != 1 || bias->data.shape()[0] != channels)
    return runtime_error("Given weight of size " + shape_text(w.data) + ", expected bias to be 1-dimensional with " +
                         std::to_string(channels) + " elements, but got bias of size " + shape_text(bias->data) +
                         " instead");
  return std::nullopt;
}

// A 1-D operand seen as 2-D with a height of 1.
Storage as_2d(const Storage& s) {
  const Shape& at = s.shape();
  // Row-major first, so that the extra axis is a relabelling.
  return engine::reshape(engine::row_major(s), Shape{at[0], at[1], 1, at[2]}).value();
}

Result<Tensor> convolution(Op op, const Tensor& x, const Tensor& w, const Tensor* bias, ConvArgs a,
                           std::size_t dims) {
  if (auto error = common_checks(op, x, w, bias, a, dims)) return *error;
  if (a.padding_mode == ConvArgs::Padding::kSame && (a.stride[0] != 1 || a.stride[1] != 1))
    return value_error("padding='same' is not supported for strided convolutions");
  const Storage x4 = dims == 1 ? as_2d(x.data) : x.data;
  const Storage w4 = dims == 1 ? as_2d(w.data) : w.data;
  const Shape& xs = x4.shape();
  const Shape& ws = w4.shape();
  const std::size_t groups = u(a.groups);
  if (ws[0] % groups != 0)
    return runtime_error("Given groups=" + std::to_string(groups) + ", expected weight to be divisible by " +
                         std::to_string(groups) + " at dimension 0, but got weight of size " + shape_text(w.data) +
                         " instead");
  if (xs[1] != ws[1] * groups)
    return runtime_error("Given groups=" + std::to_string(groups) + ", weight of size " + shape_text(w.data) +
                         ", expected input" + shape_text(x.data) + " to have " + std::to_string(ws[1] * groups) +
                         " channels, but got " + std::to_string(xs[1]) + " channels instead");
  if (auto error = bias_check(w, bias, ws[0])) return *error;
  QUARN_TRY(Window win, conv_window(xs, ws, a, dims));
  return record_convolution(x, w, bias, conv_node(op, x, w, win), [&]() -> Storage {
    Storage y = engine::convolution(x4, w4, bias != nullptr ? &bias->data : nullptr, win);
    if (dims == 2) return y;
    return engine::reshape(y, Shape{y.shape()[0], y.shape()[1], y.shape()[3]}).value();
  });
}

Result<Window> pool_window(Op op, const Tensor& x, const PoolArgs& a) {
  if (auto error = unsupported_dtype(op, x.data.dtype())) return *error;
  const std::string name(info(op).name);
  if (x.data.ndim() != 4)
    return runtime_error(name + ": Expected 4D (batched) input [N, C, H, W], but got input of size: " +
                         shape_text(x.data));
  if (a.kernel[0] <= 0 || a.kernel[1] <= 0)
    return runtime_error(name + ": kernel_size must be greater than zero, but got kH: " +
                         std::to_string(a.kernel[0]) + " kW: " + std::to_string(a.kernel[1]));
  if (a.stride[0] <= 0 || a.stride[1] <= 0)
    return runtime_error(name + ": stride should be greater than zero, but got dH: " + std::to_string(a.stride[0]) +
                         " dW: " + std::to_string(a.stride[1]));
  if (a.dilation[0] <= 0 || a.dilation[1] <= 0)
    return runtime_error(name + ": dilation should be greater than zero, but got dilationH: " +
                         std::to_string(a.dilation[0]) + " dilationW: " + std::to_string(a.dilation[1]));
  if (auto error = non_negative(a.padding, 0, "padding")) return *error;
  for (const Pair* p : {&a.kernel, &a.stride, &a.dilation})
    if ((*p)[0] >= kLargest || (*p)[1] >= kLargest) return runtime_error(name + ": arguments must be below 2**31");
  for (std::size_t i = 0; i < 2; ++i)
    if (a.padding[i] > a.kernel[i] / 2)
      return runtime_error("pad should be at most half of effective kernel size, but got pad=" +
                           std::to_string(a.padding[i]) + ", kernel_size=" + std::to_string(a.kernel[i]) +
                           " and dilation=" + std::to_string(a.dilation[i]));
  Window win;
  win.kh = u(a.kernel[0]);
  win.kw = u(a.kernel[1]);
  win.sh = u(a.stride[0]);
  win.sw = u(a.stride[1]);
  win.dh = u(a.dilation[0]);
  win.dw = u(a.dilation[1]);
  win.ph = u(a.padding[0]);
  win.pw = u(a.padding[1]);
  win.count_pad = a.count_include_pad;
  // The output extent as PyTorch computes it: with ceil_mode, a last window
  // that starts inside the input or its leading padding is kept.
  auto extent = [&](std::size_t in, std::size_t k, std::size_t s, std::size_t d, std::size_t p) -> std::ptrdiff_t {
    const auto room = static_cast<std::ptrdiff_t>(in + 2 * p) - static_cast<std::ptrdiff_t>(d * (k - 1) + 1);
    if (room < 0) return 0;
    const auto step = static_cast<std::ptrdiff_t>(s);
    std::ptrdiff_t out = (a.ceil_mode ? (room + step - 1) / step : room / step) + 1;
    if (a.ceil_mode && (out - 1) * step >= static_cast<std::ptrdiff_t>(in + p)) --out;
    return out;
  };
  const Shape& xs = x.data.shape();
  const std::ptrdiff_t oh = extent(xs[2], win.kh, win.sh, win.dh, win.ph);
  const std::ptrdiff_t ow = extent(xs[3], win.kw, win.sw, win.dw, win.pw);
  if (oh < 1 || ow < 1)
    return runtime_error("Given input size: (" + std::to_string(xs[1]) + "x" + pair_text("x", xs[2], xs[3]) +
                         "). Calculated output size: (" + std::to_string(xs[1]) + "x" + std::to_string(oh) + "x" +
                         std::to_string(ow) + "). Output size is too small");
  win.oh = static_cast<std::size_t>(oh);
  win.ow = static_cast<std::size_t>(ow);
  return win;
}

template <class Compute>
Result<Tensor> record_pool(Op op, const Tensor& x, const Window& win, Compute&& compute) {
  if (!x.requires_grad) return Tensor{std::nullopt, compute(), false};
  auto& graph = thread_graph();
  QUARN_CHECK(graph.check_current(x));
  Node node = op == Op::max_pool2d ? Node::saving(op, x.data) : Node::of(op);
  if (!node.saved) node.saved = std::make_unique<autograd::Saved>();
  node.saved->shape = x.data.shape();
  node.saved->window = win;
  Storage out = compute();
  QUARN_TRY(std::size_t id, graph.record(x, std::move(node)));
  graph.complete(id, out);
  return Tensor{id, std::move(out), true, graph.identity()};
}

}  // namespace

Result<Tensor> conv2d(const Tensor& x, const Tensor& w, const Tensor* bias, const ConvArgs& args) {
  return convolution(Op::conv2d, x, w, bias, args, 2);
}

Result<Tensor> conv1d(const Tensor& x, const Tensor& w, const Tensor* bias, const ConvArgs& args) {
  ConvArgs a = args;
  a.stride[0] = a.dilation[0] = 1;
  a.padding[0] = a.output_padding[0] = 0;
  return convolution(Op::conv1d, x, w, bias, a, 1);
}

Result<Tensor> conv_transpose2d(const Tensor& x, const Tensor& w, const Tensor* bias, const ConvArgs& a) {
  constexpr Op op = Op::conv_transpose2d;
  if (auto error = common_checks(op, x, w, bias, a, 2)) return *error;
  const Shape& xs = x.data.shape();
  const Shape& ws = w.data.shape();
  const std::size_t groups = u(a.groups);
  if (xs[1] != ws[0])
    return runtime_error("Given transposed=1, weight of size " + shape_text(w.data) + ", expected input" +
                         shape_text(x.data) + " to have " + std::to_string(ws[0]) + " channels, but got " +
                         std::to_string(xs[1]) + " channels instead");
  if (ws[0] % groups != 0)
    return runtime_error("Given groups=" + std::to_string(groups) + ", expected weight to be divisible by " +
                         std::to_string(groups) + " at dimension 0, but got weight of size " + shape_text(w.data) +
                         " instead");
  if (auto error = bias_check(w, bias, ws[1] * groups)) return *error;
  if (ws[2] == 0 || ws[3] == 0)
    return runtime_error("Expected a kernel of at least one element, but got weight of size " + shape_text(w.data));
  for (std::size_t i = 0; i < 2; ++i)
    if (a.output_padding[i] >= a.stride[i] && a.output_padding[i] >= a.dilation[i])
      return runtime_error("output padding must be smaller than either stride or dilation, but got "
                           "output_padding_height: " + std::to_string(a.output_padding[0]) +
                           " output_padding_width: " + std::to_string(a.output_padding[1]) +
                           " stride_height: " + std::to_string(a.stride[0]) + " stride_width: " +
                           std::to_string(a.stride[1]) + " dilation_height: " + std::to_string(a.dilation[0]) +
                           " dilation_width: " + std::to_string(a.dilation[1]));
  Window win;
  win.groups = groups;
  win.kh = ws[2];
  win.kw = ws[3];
  win.sh = u(a.stride[0]);
  win.sw = u(a.stride[1]);
  win.dh = u(a.dilation[0]);
  win.dw = u(a.dilation[1]);
  win.ph = u(a.padding[0]);
  win.pw = u(a.padding[1]);
  win.oh = xs[2];
  win.ow = xs[3];
  // (H - 1) * stride - 2 * padding + dilation * (k - 1) + output_padding + 1
  auto extent = [](std::size_t in, std::size_t s, std::size_t p, std::size_t d, std::size_t k, std::int64_t op_) {
    if (in == 0) return std::ptrdiff_t{0};
    return static_cast<std::ptrdiff_t>((in - 1) * s + d * (k - 1) + u(op_) + 1) - static_cast<std::ptrdiff_t>(2 * p);
  };
  const std::ptrdiff_t oh = extent(xs[2], win.sh, win.ph, win.dh, win.kh, a.output_padding[0]);
  const std::ptrdiff_t ow = extent(xs[3], win.sw, win.pw, win.dw, win.kw, a.output_padding[1]);
  if (oh < 1 || ow < 1)
    return runtime_error("Given input size per channel: (" + pair_text(" x ", xs[2], xs[3]) +
                         "). Calculated output size per channel: (" + std::to_string(oh) + " x " +
                         std::to_string(ow) + "). Output size is too small");
  return record_convolution(x, w, bias, conv_node(op, x, w, win), [&] {
    return engine::convolution_transpose(x.data, w.data, bias != nullptr ? &bias->data : nullptr, win,
                                         static_cast<std::size_t>(oh), static_cast<std::size_t>(ow));
  });
}

Result<Tensor> max_pool2d(const Tensor& x, const PoolArgs& args) {
  QUARN_TRY(Window win, pool_window(Op::max_pool2d, x, args));
  return record_pool(Op::max_pool2d, x, win, [&] { return engine::max_pool(x.data, win); });
}

Result<Tensor> avg_pool2d(const Tensor& x, const PoolArgs& args) {
  PoolArgs a = args;
  a.dilation = {1, 1};
  QUARN_TRY(Window win, pool_window(Op::avg_pool2d, x, a));
  return record_pool(Op::avg_pool2d, x, win, [&] { return engine::avg_pool(x.data, win); });
}

Result<Tensor> adaptive_avg_pool2d(const Tensor& x, Pair size) {
  constexpr Op op = Op::adaptive_avg_pool2d;
  if (auto error = unsupported_dtype(op, x.data.dtype())) return *error;
  if (x.data.ndim() != 4)
    return runtime_error("adaptive_avg_pool2d: Expected 4D (batched) input [N, C, H, W], but got input of size: " +
                         shape_text(x.data));
  const Shape& xs = x.data.shape();
  for (std::size_t i = 0; i < 2; ++i) {
    if (size[i] < 0) size[i] = static_cast<std::int64_t>(xs[2 + i]);  // None: keep the extent
    if (size[i] == 0 || xs[2 + i] == 0)
      return runtime_error("adaptive_avg_pool2d: elements of output_size and of the input's spatial extents must "
                           "be greater than zero, got output_size " + pair_text(" x ", u(size[0]), u(size[1])) +
                           " for input " + shape_text(x.data));
  }
  if (xs[2] % u(size[0]) != 0 || xs[3] % u(size[1]) != 0)
    return value_error("adaptive_avg_pool2d supports only output sizes that divide the input size, got output "
                       "size " + pair_text(" x ", u(size[0]), u(size[1])) + " for input size " +
                       pair_text(" x ", xs[2], xs[3]));
  Window win;
  win.kh = win.sh = xs[2] / u(size[0]);
  win.kw = win.sw = xs[3] / u(size[1]);
  win.oh = u(size[0]);
  win.ow = u(size[1]);
  return record_pool(op, x, win, [&] { return engine::avg_pool(x.data, win); });
}

}  // namespace quarn::ops
