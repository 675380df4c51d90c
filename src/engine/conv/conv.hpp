// Convolutions and pooling over NCHW arrays. The front ends
// (ops/conv_ops.cpp) check every shape and make the window; these trust
// both. Operands may have any layout and any float dtype (both operands of
// one call the same); results are row-major in the operands' dtype.
//
// Rounding: float16 and bfloat16 operands are widened to float32, every
// output element is accumulated in float32 (the convolutions through the
// float32 GEMM, the bias added before rounding) and rounded once to the
// dtype, as matmul does. The gradients are computed the same way. Max
// pooling is exact.
#pragma once

#include <cstddef>
#include <utility>

#include "core/storage.hpp"
#include "engine/conv/conv_isa.hpp"
#include "engine/conv/window.hpp"
#include "engine/storage_ops.hpp"

namespace quarn::engine {

// x [N, C, H, W], w [O, C / groups, kh, kw], bias [O] or null:
// [N, O, oh, ow]. Each output element is one dot product of a window of x
// with a filter, plus the bias.
Storage convolution(const Storage& x, const Storage& w, const Storage* bias, const Window& win);
// {dL/dx, dL/dw} for the gradient g of the result ([N, O, oh, ow]); a
// contribution that `needs` leaves out comes back empty.
std::pair<Storage, Storage> convolution_backward(const Storage& x, const Storage& w, const Storage& g,
                                                 const Window& win, Needs needs);

// The transposed convolution, the gradient of `convolution` with respect to
// its input: x [N, Cin, H, W], w [Cin, Cout / groups, kh, kw], bias [Cout]
// or null, to [N, Cout, out_h, out_w]. `win` is the window of the
// convolution that maps such a result back to x's shape (win.oh == H,
// win.ow == W).
Storage convolution_transpose(const Storage& x, const Storage& w, const Storage* bias, const Window& win,
                              std::size_t out_h, std::size_t out_w);
// {dL/dx, dL/dw} for g of the result's shape.
std::pair<Storage, Storage> convolution_transpose_backward(const Storage& x, const Storage& w, const Storage& g,
                                                           const Window& win, Needs needs);

// g summed over every axis but axis 1: the gradient of a per-channel bias.
Storage channel_sum(const Storage& g);

// The largest element of each window (padding never wins), NaN when the
// window holds one. x [N, C, H, W] to [N, C, oh, ow].
Storage max_pool(const Storage& x, const Window& win);
// g sent to the first largest element of each window in row-major order
// (the first NaN, if any), summed where windows overlap.
Storage max_pool_backward(const Storage& x, const Storage& g, const Window& win);
// The mean of each window; win.count_pad says whether padding counts.
Storage avg_pool(const Storage& x, const Window& win);
// g / divisor spread over each window's elements, summed where they overlap.
Storage avg_pool_backward(const Shape& x_shape, const Storage& g, const Window& win);

// For the native tests: the unit-stride forward pass and weight gradient
// with a given set of tiles (an empty storage where that path does not
// apply), and the column-block paths, which serve every other window. All
// take row-major float32 operands; the forward passes give no bias.
Storage convolution_shifted_with(const ConvKernels& kern, const Storage& x, const Storage& w, const Window& win);
Storage convolution_by_columns(const Storage& x, const Storage& w, const Window& win);
// dL/dw for the gradient g of the result, w of shape `w_shape`.
Storage convolution_weight_shifted_with(const ConvKernels& kern, const Storage& x, const Storage& g,
                                        const Shape& w_shape, const Window& win);
Storage convolution_weight_by_columns(const Storage& x, const Storage& g, const Shape& w_shape, const Window& win);

}  // namespace quarn::engine
