// The engine's side of the maps with numbers, the two-tensor maps and
// where: storages in, a new storage (or an Error) out.
#pragma once

#include <utility>

#include "core/operation.hpp"
#include "core/storage.hpp"
#include "engine/storage_ops.hpp"
#include "runtime/error.hpp"

namespace quarn::engine {

// `op`'s map with its two numbers (QUARN_PARAM_MAPS), computed in binary32
// and rounded once to the dtype. Bool fails with "Tensor Dtype not supported
// for this operation: <name>" (TypeError).
Result<Storage> param_map(Op op, const Storage& a, float first, float second);
// Its gradient at the input x for the incoming gradient g (x's dtype), over
// the broadcast of both.
Result<Storage> param_map_gradient(Op op, const Storage& x, const Storage& g, float first, float second);

// maximum, minimum or pow of two storages of one float dtype, broadcast;
// the arithmetic dtype refusals otherwise.
Result<Storage> pairwise(Op op, const Storage& a, const Storage& b);
// Their contributions {to a, to b} for the incoming gradient g, of the
// broadcast shape of a, b and g. maximum (minimum): g to the larger
// (smaller) operand, g / 2 to each at a tie, g to both where either is
// NaN. pow: g b a^(b - 1) (0 where b = 0) and g a^b log a (0 where a = 0
// and b >= 0). Each computed in binary32 and rounded once.
Result<std::pair<Storage, Storage>> pairwise_backward(Op op, const Storage& a, const Storage& b, const Storage& g,
                                                      Needs needs = {});

// a where `cond` (Bool) is true, else b; a and b of one float dtype, all
// three broadcast.
Result<Storage> where(const Storage& cond, const Storage& a, const Storage& b);
// {g where cond, g where not cond}, of the broadcast shape of cond and g.
Result<std::pair<Storage, Storage>> where_backward(const Storage& cond, const Storage& g, Needs needs = {});

}  // namespace quarn::engine
