// Indexing in the engine: which selections share the operand's buffer (a
// view must point into it, at the right element), that views are read from
// where they start by the operations that take them, and that the
// scatter-add of a large gather is the same bit for bit on any number of
// threads.
#include <cstring>
#include <string>
#include <vector>

#include "check.hpp"
#include "engine/indexing.hpp"
#include "engine/storage_ops.hpp"
#include "runtime/thread_pool.hpp"

using namespace quarn;
using quarn_test::check;

namespace {

Storage iota(Shape shape) {
  Storage s = Storage::allocate_row_major(DType::F32, std::move(shape));
  float* p = s.mutable_data_as<float>();
  for (std::size_t i = 0; i < s.numel(); ++i) p[i] = static_cast<float>(i);
  return s;
}

// A basic selection of a [rows, cols] operand: rows [r0, r0 + rn) by
// `rstep`, columns [c0, c0 + cn) by `cstep`.
engine::Selection block(const Shape& shape, std::size_t r0, std::size_t rn, std::ptrdiff_t rstep, std::size_t c0,
                        std::size_t cn, std::ptrdiff_t cstep) {
  engine::Selection s;
  s.operand = shape;
  s.start = {r0, c0};
  s.step = {rstep, cstep};
  s.shape = {rn, cn};
  s.source = {0, 1};
  return s;
}

void selections_share_the_buffer_only_when_dense() {
  const Storage a = iota({10, 6});
  const Storage at = engine::transpose(a, 0, 1);  // [6, 10], column-major
  struct Case {
    const char* name;
    const Storage* from;
    engine::Selection sel;
    bool view;
    std::ptrdiff_t first;  // the element of `a` the result starts at
  } cases[] = {
      {"row block", &a, block({10, 6}, 2, 5, 1, 0, 6, 1), true, 12},
      {"one row", &a, block({10, 6}, 7, 1, 1, 0, 6, 1), true, 42},
      {"inner-axis slice", &a, block({10, 6}, 2, 5, 1, 1, 4, 1), false, 13},
      {"rows stepped", &a, block({10, 6}, 0, 5, 2, 0, 6, 1), false, 0},
      {"rows reversed", &a, block({10, 6}, 9, 10, -1, 0, 6, 1), false, 54},
      {"column block of a transposed operand", &at, block({6, 10}, 0, 6, 1, 3, 4, 1), true, 18},
  };
  for (const Case& c : cases) {
    const Storage out = engine::select(*c.from, c.sel);
    const float* base = a.data_as<float>();
    const bool shares = out.data_as<float>() == base + c.first;
    check(shares == c.view, std::string(c.name) + ": a view exactly when the selection is a dense block");
    const Storage rows = engine::row_major(out);
    const float* got = rows.data_as<float>();
    bool values = true;
    const Strides& st = c.from->strides();
    for (std::size_t i = 0; i < c.sel.shape[0]; ++i)
      for (std::size_t j = 0; j < c.sel.shape[1]; ++j) {
        const auto r = static_cast<std::ptrdiff_t>(c.sel.start[0]) + static_cast<std::ptrdiff_t>(i) * c.sel.step[0];
        const auto k = static_cast<std::ptrdiff_t>(c.sel.start[1]) + static_cast<std::ptrdiff_t>(j) * c.sel.step[1];
        values = values && got[i * c.sel.shape[1] + j] == base[r * st[0] + k * st[1]];
      }
    check(values, std::string(c.name) + ": the selected values");
  }
}

void views_are_read_from_where_they_start() {
  const Storage a = iota({8, 4});
  const Storage rows = engine::select(a, block({8, 4}, 3, 2, 1, 0, 4, 1));  // elements 12 .. 19
  const Storage row = engine::select(rows, block({2, 4}, 1, 1, 1, 0, 4, 1));  // a view of a view: 16 .. 19
  check(row.data_as<float>() == a.data_as<float>() + 16, "a view of a view starts at the sum of both offsets");
  const Storage* parts[] = {&rows, &row};
  const Storage joined = engine::concatenate(parts, 0);
  const float* j = joined.data_as<float>();
  bool ok = joined.numel() == 12;
  for (std::size_t i = 0; ok && i < 12; ++i) ok = j[i] == static_cast<float>(i < 8 ? 12 + i : 8 + i);
  check(ok, "concatenate reads views from their first element");
  engine::Positions p;
  p.shape = {3};
  p.flat = {1, 0, 1};
  const Storage taken = engine::take(rows, p);
  const float* t = taken.data_as<float>();
  check(t[0] == 16 && t[4] == 12 && t[8] == 16 && t[11] == 19, "take reads a view from its first element");
  const Storage doubled = *engine::scalar_product(rows, 2.0f);
  check(doubled.data_as<float>()[0] == 24 && doubled.data_as<float>()[7] == 38, "element-wise maps read views");
}

void scatter_add_is_the_same_on_any_thread_count() {
  for (DType dtype : {DType::F32, DType::BF16, DType::F16}) {
    const std::size_t rows = 700, cols = 48, n = 9000;
    engine::Positions p;
    p.shape = {n};
    for (std::size_t j = 0; j < n; ++j) p.flat.push_back((j * 7919) % rows);
    Storage g = Storage::allocate_row_major(dtype, {n, cols});
    std::vector<float> values(n * cols);
    for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<float>((i * 2654435761u) % 1000) / 37.0f - 13.0f;
    if (dtype == DType::F32)
      std::memcpy(g.mutable_data(), values.data(), g.nbytes());
    else
      engine::round_from_f32(dtype, values.data(), g.mutable_data(), values.size());
    std::vector<std::string> results;
    for (std::size_t threads : {1, 2, 3}) {
      set_num_threads(threads);
      const Storage out = engine::take_backward(g, {rows, cols}, p);
      results.emplace_back(static_cast<const char*>(out.data()), out.nbytes());
    }
    set_num_threads(1);
    check(results[0] == results[1] && results[1] == results[2],
          "take_backward: the same bits on 1, 2 and 3 threads (dtype " + std::string(dtype_name(dtype)) + ")");
  }
}

}  // namespace

int main() {
  selections_share_the_buffer_only_when_dense();
  views_are_read_from_where_they_start();
  scatter_add_is_the_same_on_any_thread_count();
  return quarn_test::report();
}
