// Eight threads record, compute and differentiate at the same time, each on
// its own graph, with a matrix product and element-wise work over input
// storages that all of them share. Every thread checks its forward values and
// gradients against a scalar reference, and its graph's length against the
// length a single-threaded run of the same work leaves behind: a graph shared
// by mistake would have grown with the other threads' nodes. Built with
// -fsanitize=thread (make test-tsan) this also proves the engine free of data
// races on shared buffers and reference counts.
//
// Every input is a small multiple of 1/4 and the offset is an odd multiple of
// 1/32, so each product, sum and gradient below is exact in binary32 whatever
// the summation order: results must match the reference bit for bit, and no
// pre-activation is ever exactly zero, where ReLU's gradient is a convention.
#include <cstdio>
#include <latch>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "autograd/engine.hpp"
#include "autograd/graph.hpp"
#include "ops/tensor_ops.hpp"
#include "core/storage.hpp"

namespace {

using quarn::DType;
using quarn::Result;
using quarn::Shape;
using quarn::Storage;
using quarn::Tensor;
namespace ops = quarn::ops;
namespace autograd = quarn::autograd;

constexpr std::size_t kN = 64;  // square operands, kN x kN
constexpr int kThreads = 8;
constexpr int kRounds = 3;

// Small multiples of 1/4 in [-2, 2] from a fixed formula: no generator state
// is shared between threads.
float quarter(std::size_t i, std::size_t j, unsigned salt) {
  unsigned h = static_cast<unsigned>(i * 131 + j * 31 + salt * 977);
  h ^= h >> 7;
  h *= 2654435761u;
  return static_cast<float>(static_cast<int>((h >> 11) % 17) - 8) / 4.0f;
}

Storage matrix(unsigned salt) {
  Storage s = Storage::allocate_row_major(DType::F32, Shape{kN, kN});
  float* p = s.mutable_data_as<float>();
  for (std::size_t i = 0; i < kN; ++i)
    for (std::size_t j = 0; j < kN; ++j) p[i * kN + j] = quarter(i, j, salt);
  return s;
}

// Element (i, j) of a 2-D F32 storage in whatever layout it has.
float at(const Storage& s, std::size_t i, std::size_t j) {
  return s.data_as<float>()[static_cast<std::ptrdiff_t>(i) * s.strides()[0] +
                            static_cast<std::ptrdiff_t>(j) * s.strides()[1]];
}

using Matrix = std::vector<double>;  // row-major kN x kN

Matrix to_matrix(const Storage& s) {
  Matrix m(kN * kN);
  for (std::size_t i = 0; i < kN; ++i)
    for (std::size_t j = 0; j < kN; ++j) m[i * kN + j] = at(s, i, j);
  return m;
}

// The shared inputs: read by every thread, written by none after this.
struct Inputs {
  Storage x = matrix(1);
  Storage w = matrix(2);
};

// What one thread works out for its own `salt`:
//   out = k * (relu(x @ w + s) * c + x),  backward seeded with g,
// where x and w are shared leaves, c is this thread's own leaf, and x is
// reached along two paths, so its gradient is an accumulation.
struct Work {
  unsigned salt;
  float s, k;
  Storage c, g;
  explicit Work(unsigned t)
      : salt(t), s(1.0f / 32 + static_cast<float>(t % 3) / 8),
        k(static_cast<float>(1 + t % 4) / 2), c(matrix(100 + t)), g(matrix(200 + t)) {}
};

struct Expected {
  Matrix out, dx, dw, dc;
};

Expected reference(const Inputs& in, const Work& w) {
  Matrix x = to_matrix(in.x), wt = to_matrix(in.w), c = to_matrix(w.c), g = to_matrix(w.g);
  Matrix h(kN * kN, 0.0);
  for (std::size_t i = 0; i < kN; ++i)
    for (std::size_t j = 0; j < kN; ++j) {
      double acc = 0;
      for (std::size_t p = 0; p < kN; ++p) acc += x[i * kN + p] * wt[p * kN + j];
      h[i * kN + j] = acc + w.s;
    }
  Expected e{Matrix(kN * kN), Matrix(kN * kN), Matrix(kN * kN, 0.0), Matrix(kN * kN)};
  Matrix dh(kN * kN);
  for (std::size_t q = 0; q < kN * kN; ++q) {
    double r = h[q] > 0 ? h[q] : 0;
    double dout = w.k * g[q];
    e.out[q] = w.k * (r * c[q] + x[q]);
    e.dc[q] = dout * r;
    dh[q] = h[q] > 0 ? dout * c[q] : 0;
    e.dx[q] = dout;
  }
  for (std::size_t i = 0; i < kN; ++i)
    for (std::size_t j = 0; j < kN; ++j)
      for (std::size_t p = 0; p < kN; ++p) {
        e.dx[i * kN + p] += dh[i * kN + j] * wt[p * kN + j];  // dh @ w^T
        e.dw[p * kN + j] += x[i * kN + p] * dh[i * kN + j];   // x^T @ dh
      }
  return e;
}

// Failures are collected per thread and printed by the main thread.
struct Outcome {
  int passed = 0, failed = 0;
  std::vector<std::string> failures;  // the first few, for the log
  void check(bool ok, const std::string& what) {
    if (ok) {
      ++passed;
    } else if (++failed <= 20) {
      failures.push_back(what);
    }
  }
};

template <class T>
T take(Result<T>&& r, Outcome& o, const char* what) {
  if (!r.ok()) {
    o.check(false, std::string(what) + ": " + r.error().message);
    return T{};
  }
  return std::move(r).value();
}

void compare(const Storage& got, const Matrix& want, Outcome& o, const std::string& what) {
  bool shape_ok = got.dtype() == DType::F32 && got.ndim() == 2 && got.shape()[0] == kN &&
                  got.shape()[1] == kN;
  o.check(shape_ok, what + ": dtype or shape");
  if (!shape_ok) return;
  std::size_t wrong = 0;
  for (std::size_t i = 0; i < kN; ++i)
    for (std::size_t j = 0; j < kN; ++j)
      if (static_cast<double>(at(got, i, j)) != want[i * kN + j]) ++wrong;
  o.check(wrong == 0, what + ": " + std::to_string(wrong) + " elements differ");
}

void compare_grad(const Tensor& t, const Matrix& want, Outcome& o, const std::string& what) {
  std::optional<Storage> g;
  if (t.node_id) g = autograd::thread_graph().get_grad(*t.node_id);
  o.check(g.has_value(), what + ": no gradient stored");
  if (g) compare(*g, want, o, what);
}

// One round on the calling thread's graph; returns the graph's length after
// the backward pass.
std::size_t run_round(const Inputs& in, const Work& w, const Expected& e, Outcome& o,
                      const std::string& who) {
  autograd::thread_graph().clear();
  const int failed_before = o.failed;
  Tensor x = ops::make_leaf(in.x, true);
  Tensor wt = ops::make_leaf(in.w, true);
  Tensor c = ops::make_leaf(w.c, true);
  Tensor y = take(ops::matmul(x, wt), o, "matmul");
  Tensor h = take(ops::scalar_add(y, w.s), o, "scalar_add");
  Tensor r = take(ops::relu(h), o, "relu");
  Tensor m = take(ops::mul(r, c), o, "mul");
  Tensor sum = take(ops::add(m, x), o, "add");
  Tensor out = take(ops::scalar_mul(sum, w.k), o, "scalar_mul");
  if (o.failed != failed_before) return 0;
  compare(out.data, e.out, o, who + " forward");

  o.check(out.node_id.has_value(), who + ": result has no node");
  if (!out.node_id) return 0;
  Result<void> done = autograd::run_backward(*out.node_id, w.g);
  o.check(done.ok(), who + ": backward failed: " + (done.ok() ? "" : done.error().message));
  if (!done.ok()) return 0;
  compare_grad(x, e.dx, o, who + " grad x");
  compare_grad(wt, e.dw, o, who + " grad w");
  compare_grad(c, e.dc, o, who + " grad c");
  return autograd::thread_graph().size();
}

}  // namespace

int main() {
  const Inputs inputs;
  std::vector<Work> work;
  std::vector<Expected> expected;
  for (int t = 0; t < kThreads; ++t) {
    work.emplace_back(static_cast<unsigned>(t));
    expected.push_back(reference(inputs, work.back()));
  }

  // The same work once on this thread alone: the graph length every thread
  // must see, and a first check of the values before any concurrency.
  Outcome single;
  const std::size_t graph_len = run_round(inputs, work[0], expected[0], single, "single");
  autograd::thread_graph().clear();
  single.check(graph_len > 0, "single-threaded run recorded no graph");

  std::vector<Outcome> outcomes(kThreads);
  std::latch start(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      Outcome& o = outcomes[t];
      start.arrive_and_wait();  // all threads compute at the same time
      for (int round = 0; round < kRounds; ++round) {
        std::string who = "thread " + std::to_string(t) + " round " + std::to_string(round);
        std::size_t len = run_round(inputs, work[t], expected[t], o, who);
        o.check(len == graph_len, who + ": graph holds " + std::to_string(len) +
                                      " nodes, expected " + std::to_string(graph_len));
      }
    });
  }
  for (auto& th : threads) th.join();

  // This thread's graph saw none of the others' nodes.
  single.check(autograd::thread_graph().size() == 0, "main thread's graph was written to");

  int passed = single.passed, failed = single.failed;
  for (const auto& f : single.failures) std::printf("FAIL: %s\n", f.c_str());
  for (const auto& o : outcomes) {
    passed += o.passed;
    failed += o.failed;
    for (const auto& f : o.failures) std::printf("FAIL: %s\n", f.c_str());
  }
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
