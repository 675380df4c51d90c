// Matrix products: the dtype dispatch, the F32 product over broadcast batch
// axes, and the half-precision wrappers that widen once, multiply in F32 and
// round each result element once. On CPUs where the dot-product instruction
// is the faster path, bfloat16 operands whose values allow it skip the
// widening: the instruction multiplies them as they are, into the F32
// results of one FMA chain per element (engine/gemm/bf16gemm.hpp).
//
// No operand element is ever copied: batch broadcasting reads through
// stride 0 and every 2-D slice goes to the GEMM with its own strides, so a
// transposed operand is multiplied in place.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/convert.hpp"
#include "engine/dtype_rules.hpp"
#include "engine/gemm/bf16gemm.hpp"
#include "engine/gemm/bf16gemm_amx.hpp"
#include "engine/gemm/sgemm.hpp"
#include "engine/nd_walk.hpp"
#include "engine/storage_ops.hpp"
#include "runtime/blocking.hpp"
#include "runtime/fault.hpp"
#include "runtime/thread_pool.hpp"

namespace quarn::engine {

namespace {

// The shape and strides of the F32 array the product writes into.
struct OutView {
  const Shape& shape;
  const Strides& strides;
};

// `s` expanded to batch + its own two matrix axes: a batch axis keeps its
// stride where the extents agree and reads through stride 0 where the operand
// has extent 1 or lacks the axis.
Result<View> expand_matrix(const Storage& s, const Shape& batch, const char* which) {
  const std::size_t n = s.ndim();
  Shape target(batch.begin(), batch.end());
  target.push_back(s.shape()[n - 2]);
  target.push_back(s.shape()[n - 1]);
  if (!checked_numel(target))
    return runtime_error(std::string("Broadcast failed for ") + which + " to " +
                         format_shape(target));
  // The matrix axes are the operand's own, so the stretch cannot fail.
  Strides strides = *stretch_strides(s.shape(), s.strides(), target);
  return View{s.dtype(), s.data(), std::move(target), std::move(strides)};
}

// The product over every batch position: one GEMM per 2-D slice, the batch
// axes walked by the engine's n-dimensional walk (last axis fastest), which
// carries the three slices' element offsets rather than pointers: an axis
// is taken back after its last position, and a pointer may not even point
// there.
template <class T, class Gemm>
void matmul_into(const T* a, const T* b, float* out, const View& av, const View& bv,
                 const OutView& ov, const Gemm& gemm) {
  const std::size_t nd = ov.shape.size();
  const std::size_t m = ov.shape[nd - 2], n = ov.shape[nd - 1], k = av.shape[nd - 1];
  const std::ptrdiff_t a_rs = av.strides[nd - 2], a_cs = av.strides[nd - 1];
  const std::ptrdiff_t b_rs = bv.strides[nd - 2], b_cs = bv.strides[nd - 1];
  const std::ptrdiff_t o_rs = ov.strides[nd - 2], o_cs = ov.strides[nd - 1];
  const std::ptrdiff_t* strides[3] = {av.strides.data(), bv.strides.data(), ov.strides.data()};
  std::size_t batches = 1;
  for (std::size_t d = 0; d + 2 < nd; ++d) batches *= ov.shape[d];
  // Many products each too small for the pool, but together large enough:
  // the batch positions are shared out instead, each product whole on one
  // thread (so computed exactly as on its own).
  if (batches > 1 && gemm::sgemm_threads(m, n, k) == 1 && gemm::sgemm_threads(batches * m, n, k) > 1) {
    const std::size_t tasks = std::min(batches, std::size_t{64});
    parallel_for(tasks, [&](std::size_t t) {
      const std::size_t first = chunk_begin(t, tasks, batches, 1);
      const std::size_t last = chunk_begin(t + 1, tasks, batches, 1);
      for (std::size_t pos = first; pos < last; ++pos) {
        std::ptrdiff_t off[3] = {0, 0, 0};
        std::size_t rest = pos;
        for (std::size_t d = nd - 2; d-- > 0;) {
          const auto i = static_cast<std::ptrdiff_t>(rest % ov.shape[d]);
          rest /= ov.shape[d];
          for (std::size_t o = 0; o < 3; ++o) off[o] += i * strides[o][d];
        }
        gemm(m, n, k, a + off[0], a_rs, a_cs, b + off[1], b_rs, b_cs, out + off[2], o_rs, o_cs);
      }
    });
    return;
  }
  walk_nd<3>(
      nd - 2, [&](std::size_t d) { return ov.shape[d]; },
      [&](std::size_t operand, std::size_t d) { return strides[operand][d]; },
      [&](const WalkOffsets<3>& off) {
        gemm(m, n, k, a + off[0], a_rs, a_cs, b + off[1], b_rs, b_cs, out + off[2], o_rs, o_cs);
      });
}

// Batch axes of extent 1 select nothing: dropping them leaves the same
// slices, lets the fold below see past them, and keeps the walk over only
// the axes that repeat.
void drop_unit_batch_axes(View& av, View& bv, Shape& out_shape, Strides& out_strides) {
  const std::size_t nd = out_shape.size();
  std::size_t kept = 0;
  for (std::size_t i = 0; i < nd; ++i) {
    if (i + 2 < nd && out_shape[i] == 1) continue;
    av.shape[kept] = av.shape[i];
    av.strides[kept] = av.strides[i];
    bv.shape[kept] = bv.shape[i];
    bv.strides[kept] = bv.strides[i];
    out_shape[kept] = out_shape[i];
    out_strides[kept] = out_strides[i];
    ++kept;
  }
  av.shape.resize(kept);
  av.strides.resize(kept);
  bv.shape.resize(kept);
  bv.strides.resize(kept);
  out_shape.resize(kept);
  out_strides.resize(kept);
}

// When the innermost batch axis of A steps exactly one matrix of rows and B
// is the same matrix all along it, the slices are one taller matrix: a
// [5, 2, 3] by [3, 4] product is a single 10 x 3 by 3 x 4 GEMM. Fewer, larger
// GEMMs keep the kernel busy; every result element is the same dot product.
void fold_batch_into_rows(View& av, View& bv, Shape& out_shape, Strides& out_strides) {
  while (out_shape.size() > 2) {
    const std::size_t nd = out_shape.size();
    const std::size_t axis = nd - 3;
    const std::size_t m = out_shape[nd - 2];
    if (bv.strides[axis] != 0 ||
        av.strides[axis] != static_cast<std::ptrdiff_t>(m) * av.strides[nd - 2] ||
        out_strides[axis] != static_cast<std::ptrdiff_t>(m) * out_strides[nd - 2])
      return;
    const std::size_t rows = out_shape[axis] * m;
    auto drop = [axis](auto& v, auto rows_value) {
      v[axis] = rows_value;
      for (std::size_t i = axis + 1; i + 1 < v.size(); ++i) v[i] = v[i + 1];
      v.resize(v.size() - 1);
    };
    drop(av.shape, rows);
    drop(av.strides, av.strides[nd - 2]);
    drop(bv.shape, bv.shape[nd - 2]);
    drop(bv.strides, bv.strides[nd - 2]);
    drop(out_shape, rows);
    drop(out_strides, out_strides[nd - 2]);
  }
}

// The F32 product of `a` and `b` (both of element type T) over their
// broadcast batch axes, each 2-D slice by `gemm`.
template <class T, class Gemm>
Result<Storage> batched_product(const Storage& a, const Storage& b, const Gemm& gemm) {
  const std::size_t na = a.ndim(), nb = b.ndim();
  if (na < 2 || nb < 2)
    return runtime_error("Matmul requires at least 2D tensors. A: " + std::to_string(na) +
                         "D, B: " + std::to_string(nb) + "D");
  const std::size_t m = a.shape()[na - 2], k = a.shape()[na - 1];
  const std::size_t k2 = b.shape()[nb - 2], n = b.shape()[nb - 1];
  if (k != k2)
    return runtime_error("Matrix inner dimensions mismatch for matmul: " + std::to_string(k) +
                         " vs " + std::to_string(k2));

  const Shape a_batch(a.shape().begin(), a.shape().end() - 2);
  const Shape b_batch(b.shape().begin(), b.shape().end() - 2);
  QUARN_TRY(Shape batch, broadcast_shape(a_batch, b_batch));
  QUARN_TRY(View av, expand_matrix(a, batch, "A"));
  QUARN_TRY(View bv, expand_matrix(b, batch, "B"));

  Shape out_shape = batch;
  out_shape.push_back(m);
  out_shape.push_back(n);
  // Every element is written by exactly one GEMM (with k == 0 it writes
  // zeros), so the result needs no clearing first.
  Storage out = Storage::allocate_row_major(DType::F32, out_shape);
  if (out.numel() == 0) return out;

  Strides out_strides = out.strides();
  drop_unit_batch_axes(av, bv, out_shape, out_strides);
  fold_batch_into_rows(av, bv, out_shape, out_strides);
  // A multiply-add here takes about an eighth of the time an element-wise
  // operation spends on one element, the guard's unit (measured at the
  // threshold: 64x32 by 32x32 in about 2 us, a 64K-element sum in about 15).
  const std::size_t results = out.numel();
  const std::size_t passes = std::max<std::size_t>(k / 8, 1);
  LongWork guard(results > SIZE_MAX / passes ? SIZE_MAX : results * passes);
  matmul_into(a.data_as<T>(), b.data_as<T>(), out.mutable_data_as<float>(), av, bv,
              OutView{out_shape, out_strides}, gemm);
  return out;
}

Storage rounded(DType dtype, const Storage& product) {
  Storage out = Storage::allocate_row_major(dtype, product.shape());
  round_from_f32(dtype, product.data_as<float>(), out.mutable_data(), product.numel());
  return out;
}

Result<Storage> matmul_half(const Storage& a, const Storage& b) {
  // Widening alone touches every operand element; the product's own guard
  // inside matmul_f32 covers products that are long for their operands.
  LongWork guard(a.numel() + b.numel());
  const DType dtype = a.dtype();
  // The widened copies keep the operands' strides: a transposed operand
  // stays transposed and nothing is reordered.
  const Storage wa = widened_f32(a);
  const Storage wb = widened_f32(b);
  QUARN_TRY(Storage product, matmul_f32(wa, wb));
  return rounded(dtype, product);
}

}  // namespace

Result<Storage> matmul(const Storage& a, const Storage& b) {
  if (auto error = arithmetic_dtype_error(a.dtype(), b.dtype())) return *error;
  switch (a.dtype()) {
    case DType::F32:
      return matmul_f32(a, b);
    case DType::F16:
      return matmul_f16(a, b);
    case DType::BF16:
      return matmul_bf16(a, b);
    case DType::Bool:
      break;
  }
  fault("internal error: a Bool pair passed the matmul dtype check");
}

Result<Storage> matmul_f32(const Storage& a, const Storage& b) {
  return batched_product<float>(a, b, gemm::sgemm);
}

Result<Storage> matmul_f16(const Storage& a, const Storage& b) { return matmul_half(a, b); }

Result<Storage> matmul_bf16(const Storage& a, const Storage& b) {
  const gemm::Bf16Kernel* kern = gemm::bf16gemm_serving_kernel();
  if (kern == nullptr) return matmul_half(a, b);
  // The scan reads every operand element once, as the widening it saves
  // would have; the product's own guard covers the rest.
  LongWork guard(a.numel() + b.numel());
  // Storages are dense, so each scan is one pass over a flat block.
  if (!gemm::bf16_dot_exact(*kern, a.data_as<std::uint16_t>(), a.numel()) ||
      !gemm::bf16_dot_exact(*kern, b.data_as<std::uint16_t>(), b.numel()))
    return matmul_half(a, b);
  // The tile unit flushes subnormals as the dot instruction does, so the
  // same scan admits operands to it.
  const bool amx = gemm::bf16_dot_mode() == gemm::Bf16DotMode::kAmx && gemm::amx_bf16_usable();
  QUARN_TRY(Storage product,
            batched_product<std::uint16_t>(
                a, b,
                [kern, amx](std::size_t m, std::size_t n, std::size_t k, const std::uint16_t* pa,
                       std::ptrdiff_t rsa, std::ptrdiff_t csa, const std::uint16_t* pb,
                       std::ptrdiff_t rsb, std::ptrdiff_t csb, float* pc, std::ptrdiff_t rsc,
                       std::ptrdiff_t csc) {
                  if (amx)
                    gemm::bf16gemm_amx(m, n, k, pa, rsa, csa, pb, rsb, csb, pc, rsc, csc);
                  else
                    gemm::bf16gemm_with(*kern, m, n, k, pa, rsa, csa, pb, rsb, csb, pc, rsc, csc);
                }));
  return rounded(DType::BF16, product);
}

}  // namespace quarn::engine
