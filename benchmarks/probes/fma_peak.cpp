// Measures one core's fused multiply-add throughput: independent
// accumulator chains enough to cover the FMA latency on both pipes, nothing else
// in the loop. Prints GFLOP/s (2 per lane per FMA) of the best of several
// timed runs. Built and run by bench_matmul.py with the widest vector set
// the CPU has.
#include <immintrin.h>

#include <chrono>
#include <cstdio>

namespace {

#if defined(__AVX512F__)
using Vec = __m512;
constexpr int kLanes = 16;
Vec splat(float x) { return _mm512_set1_ps(x); }
Vec fma(Vec a, Vec b, Vec c) { return _mm512_fmadd_ps(a, b, c); }
float total(Vec v) { return _mm512_reduce_add_ps(v); }
#else
using Vec = __m256;
constexpr int kLanes = 8;
Vec splat(float x) { return _mm256_set1_ps(x); }
Vec fma(Vec a, Vec b, Vec c) { return _mm256_fmadd_ps(a, b, c); }
float total(Vec v) {
  alignas(32) float t[8];
  _mm256_store_ps(t, v);
  return t[0] + t[1] + t[2] + t[3] + t[4] + t[5] + t[6] + t[7];
}
#endif

// Two FMA pipes of four cycles' latency need eight chains in flight; more
// would spill registers on AVX2, whose sixteen must also hold the operands.
constexpr int kChains = 8;

float run(long iterations, Vec x, Vec y) {
  Vec acc[kChains];
  for (int i = 0; i < kChains; ++i) acc[i] = splat(static_cast<float>(i));
  for (long n = 0; n < iterations; ++n) {
#pragma GCC unroll 8
    for (int i = 0; i < kChains; ++i) acc[i] = fma(acc[i], x, y);
    // Keeps the compiler from folding the loop away.
    __asm__ volatile("" : "+x"(x));
  }
  float s = 0;
  for (int i = 0; i < kChains; ++i) s += total(acc[i]);
  return s;
}

}  // namespace

int main() {
  // Many short runs: the best of them is one that no other process
  // interrupted, even on a busy machine.
  const long iterations = 2'000'000;
  const Vec x = splat(0.999999f), y = splat(1e-7f);
  double best = 0;
  float sink = 0;
  for (int r = 0; r < 300; ++r) {
    const auto t0 = std::chrono::steady_clock::now();
    sink += run(iterations, x, y);
    const std::chrono::duration<double> dt = std::chrono::steady_clock::now() - t0;
    const double flops = 2.0 * kLanes * kChains * static_cast<double>(iterations);
    if (flops / dt.count() > best) best = flops / dt.count();
  }
  std::printf("%.2f %d %g\n", best / 1e9, kLanes, static_cast<double>(sink));
  return 0;
}
