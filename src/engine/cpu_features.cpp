#include "engine/cpu_features.hpp"

namespace quarn::engine {

namespace {
CpuFeatures detect() {
  CpuFeatures f;
#if defined(__x86_64__) && defined(__GNUC__)
  // GCC's probe also checks that the OS saves the wider register state.
  __builtin_cpu_init();
  f.avx2 = __builtin_cpu_supports("avx2");
  f.fma = __builtin_cpu_supports("fma");
  f.f16c = __builtin_cpu_supports("f16c");
  f.avx512f = __builtin_cpu_supports("avx512f");
  f.avx512bw = __builtin_cpu_supports("avx512bw");
  f.avx512vl = __builtin_cpu_supports("avx512vl");
  f.avx512dq = __builtin_cpu_supports("avx512dq");
  f.avx512bf16 = __builtin_cpu_supports("avx512bf16");
#endif
  return f;
}
}  // namespace

// Threads making their first call together are safe: the language runs a
// function-local static's initialiser exactly once and makes the others wait
// for it, and detect() neither calls Python nor waits on anything, so no
// caller can block the one doing the work. The dispatch choices built on top
// of this (GEMM kernel, element-wise table, half converters) rely on the same
// rule.
const CpuFeatures& cpu_features() {
  static const CpuFeatures features = detect();
  return features;
}

}  // namespace quarn::engine
