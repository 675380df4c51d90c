// The engine's operations: storages in, a new storage (or an Error) out.
// Nothing here knows about Python or the graph. Every Error carries the
// exception class its message surfaces as.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "core/operation.hpp"
#include "core/storage.hpp"
#include "runtime/error.hpp"

namespace quarn::engine {

// ---- Broadcasting ---------------------------------------------------------

// A read-only view of a storage's elements under another shape; broadcast
// axes have stride 0. Never owns or copies elements.
struct View {
  DType dtype;
  const void* data;
  Shape shape;
  Strides strides;
};

View view_of(const Storage& s);

// "Shape mismatch: cannot broadcast [..] and [..]" (RuntimeError).
Result<Shape> broadcast_shape(const Shape& a, const Shape& b);
// Expands `s` to `target`; fails with "Broadcast failed for <which>: ..."
// when the target's element count overflows.
Result<View> expand_to(const Storage& s, const Shape& target, const char* which);
Result<std::pair<View, View>> broadcast_operands(const Storage& a, const Storage& b);

// ---- Element-wise arithmetic ---------------------------------------------

Result<Storage> add(const Storage& a, const Storage& b);
Result<Storage> sub(const Storage& a, const Storage& b);
Result<Storage> mul(const Storage& a, const Storage& b);
Result<Storage> div(const Storage& a, const Storage& b);

Result<Storage> scalar_add(const Storage& a, float s);
Result<Storage> scalar_sub(const Storage& a, float s);
Result<Storage> scalar_product(const Storage& a, float s);
// s / a, element-wise: a number on the left of `/`. Bool fails with the
// scalar-product dtype message.
Result<Storage> scalar_rdiv(const Storage& a, float s);

// ---- Comparisons and logic (results are Bool) ------------------------------

enum class CompareOp { kEq, kGe, kGt, kLe, kLt };

Result<Storage> compare(CompareOp op, const Storage& a, const Storage& b);
Result<Storage> compare_scalar(CompareOp op, const Storage& a, float s);

enum class LogicOp { kAnd, kOr, kXor };

Result<Storage> logical(LogicOp op, const Storage& a, const Storage& b);
// The caller has checked that `a` is Bool.
Storage logical_not(const Storage& a);

// ---- Element-wise maps of the operation table --------------------------------

// `op`'s map of every element: relu, abs and neg on bit patterns (exact),
// the transcendental maps in binary32 (half formats widened first) rounded
// once to the dtype, binary32 results within 1 ulp of the exact value. A
// dtype the operation does not accept fails with "Tensor Dtype not supported
// for this operation: <name>" (TypeError); an operation that is not a map is
// a fault.
Result<Storage> map(Op op, const Storage& a);
// The gradient of `op`'s map at `saved` (its input or result, as the table
// says; g itself for a map that saves nothing) for the incoming gradient g,
// over the broadcast of both: relu passes g where the input is above zero,
// the others compute the table's formula in binary32 and round once.
Result<Storage> map_gradient(Op op, const Storage& saved, const Storage& g);

inline Result<Storage> relu(const Storage& a) { return map(Op::relu, a); }
inline Result<Storage> exp(const Storage& a) { return map(Op::exp, a); }
inline Result<Storage> log(const Storage& a) { return map(Op::log, a); }
inline Result<Storage> tanh(const Storage& a) { return map(Op::tanh, a); }
inline Result<Storage> sigmoid(const Storage& a) { return map(Op::sigmoid, a); }  // 1 / (1 + e^-x)

// ---- Reductions ----------------------------------------------------------------

// The sum over `axes` (each below a.ndim(), ascending, no repeats; all axes
// when `axes` lists every one). With `keepdims` the summed axes stay as
// extent 1, otherwise they are dropped. Accumulates in binary32 by pairwise
// (blocked) summation and rounds once to the dtype. Bool fails with
// "Tensor Dtype not supported for this operation: sum" (TypeError).
Result<Storage> sum(const Storage& a, const Shape& axes, bool keepdims);
// The sum divided by the number of elements summed, in binary32, rounded once
// to the dtype (an empty reduction gives NaN).
Result<Storage> mean(const Storage& a, const Shape& axes, bool keepdims);

// One reduction engine behind all of these: `axes` ascending, no repeats,
// each below a.ndim() (checked by the caller); empty reduces nothing (each
// result is a reduction of one element). The result has the input's dtype,
// except argmax/argmin, whose float32 results are the flat row-major
// position of the chosen element within its group. Accuracy and rounding of
// each operation: see reduce.cpp. NaN propagates through max/min, and
// argmax/argmin give the first NaN's position; otherwise max/min give the
// first extreme element in row-major order, so of -0.0 and +0.0 the one
// that comes first (the element argmax picks). Empty groups: sum 0, prod 1,
// mean and var NaN, logsumexp -inf; max, min, argmax, argmin fail with
// NumPy's ValueError message. var divides by max(n - ddof, 0). argmax and
// argmin over groups of more than 2^24 elements fail (ValueError): their
// indices would not be exact. Bool fails with "Tensor Dtype not supported
// for this operation: <name>" (TypeError).
enum class ReduceOp : std::uint8_t { kSum, kMean, kProd, kMax, kMin, kArgmax, kArgmin, kLogSumExp, kVar };
Result<Storage> reduce(ReduceOp op, const Storage& a, const Shape& axes, bool keepdims, double ddof = 0);
// The gradient of max/min (kMax/kArgmax, kMin/kArgmin): g, of the result's
// shape (keepdims or not as `keepdims` says), placed at the element the
// forward selection chose in each group, +0 everywhere else; a's shape and
// dtype, row-major.
Result<Storage> reduce_select_backward(ReduceOp op, const Storage& a, const Storage& g, const Shape& axes,
                                       bool keepdims);
// A binary32 copy of a half-precision storage with the same strides (the
// storage itself when it is binary32 already).
Storage widened_f32(const Storage& s);

// ---- Softmax and losses ------------------------------------------------------------
// Each computes its whole formula in binary32 (half formats widened first)
// and rounds its result once to the dtype; so do their gradients. Rows run
// along `axis`, which the caller has checked; the maximum of each row is
// subtracted before exponentiating.

Storage log_softmax(const Storage& x, std::size_t axis);
Storage softmax(const Storage& x, std::size_t axis);
// g - softmax(x) * sum(g along axis), with g of x's shape.
Storage log_softmax_backward(const Storage& x, const Storage& g, std::size_t axis);
// y * (g - sum(g * y along axis)), y the forward result, g of y's shape.
Storage softmax_backward(const Storage& y, const Storage& g, std::size_t axis);

// The mean over rows of -log_softmax(logits)[row, target[row]], as a storage
// with no axes. `logits` is [N, C] and every target is below C (checked by
// the caller).
Storage cross_entropy(const Storage& logits, const std::vector<std::size_t>& targets);
// g * (softmax(logits) - onehot(targets)) / N, with g the one element of `g`.
Storage cross_entropy_backward(const Storage& logits, const std::vector<std::size_t>& targets,
                               const Storage& g);

// mean((pred - target)^2) over the broadcast of both, as a storage with no
// axes; shapes that do not broadcast fail with the broadcast message.
Result<Storage> mse_loss(const Storage& pred, const Storage& target);
// {g * 2 (pred - target) / n, -(that)} over the broadcast shape.
Result<std::pair<Storage, Storage>> mse_loss_backward(const Storage& pred, const Storage& target,
                                                      const Storage& g);

// ---- Matrix multiplication -------------------------------------------------

Result<Storage> matmul(const Storage& a, const Storage& b);
// Per-dtype routines (operands already known to be of that dtype); errors
// are RuntimeError.
Result<Storage> matmul_f32(const Storage& a, const Storage& b);
Result<Storage> matmul_f16(const Storage& a, const Storage& b);
Result<Storage> matmul_bf16(const Storage& a, const Storage& b);

// ---- Shape operations and fills --------------------------------------------

Result<Storage> reshape(const Storage& a, const Shape& shape);
// Faults (PanicException) when an axis is not below the number of axes.
Storage transpose(const Storage& a, std::size_t dim0, std::size_t dim1);
Storage zeros_like(const Storage& a);
Storage ones_like(const Storage& a);

// ---- Backward kernels --------------------------------------------------------
// Gradients of the operations above. Each checks dtypes first (TypeError),
// then works like the forward operation it mirrors. The gradient g may have
// any shape that the forward result broadcasts to.

// Which contributions of a two-operand rule are wanted; one that is not
// wanted comes back as an empty storage, its arithmetic skipped.
struct Needs {
  bool left = true;
  bool right = true;
};

// {g * b, g * a}
Result<std::pair<Storage, Storage>> mul_backward(const Storage& a, const Storage& g, const Storage& b,
                                                 Needs needs = {});
// {g / b, ((-g) * a) / (b * b)} over the broadcast of g, a and b.
Result<std::pair<Storage, Storage>> div_backward(const Storage& a, const Storage& g, const Storage& b,
                                                 Needs needs = {});
// {g @ b^T, a^T @ g} with the per-dtype product. Where g stretches the
// result's row (column) axis from extent 1, a (b) is read stretched along it.
Result<std::pair<Storage, Storage>> matmul_backward(const Storage& a, const Storage& g, const Storage& b,
                                                    Needs needs = {});
// g where t > 0, else +0, with t broadcast to g's shape; g's shape must be
// one that t broadcasts to.
Result<Storage> relu_backward(const Storage& t, const Storage& g);
// g * (-s / (t * t)): the gradient of s / t, rounded after every step.
Result<Storage> rdiv_backward(const Storage& t, const Storage& g, float s);

// ---- Reductions and layout for the backward pass ------------------------------

// `x` summed over the axes by which its shape exceeds `shape` (missing
// leading axes and extent-1 axes that x stretches), as a row-major storage of
// exactly `shape`. Accumulates in double precision and rounds once to x's
// dtype. Fails with the broadcast message when `shape` does not broadcast to
// x's shape.
Result<Storage> sum_to(const Storage& x, const Shape& shape);
// `s` itself when it is row-major, otherwise a row-major copy.
Storage row_major(const Storage& s);
// `s` read over the larger shape `target` (which its shape broadcasts to),
// laid out row-major.
Storage stretched_to(const Storage& s, const Shape& target);

}  // namespace quarn::engine
