// What the processor offers, detected once per process.
#pragma once

namespace quarn::engine {

struct CpuFeatures {
  bool avx2 = false;
  bool fma = false;
  bool f16c = false;
  bool avx512f = false;
  bool avx512bw = false;
  bool avx512vl = false;
  bool avx512dq = false;
  bool avx512bf16 = false;

  bool has_avx2_fma() const { return avx2 && fma && f16c; }
  bool has_avx512() const { return has_avx2_fma() && avx512f && avx512bw && avx512vl && avx512dq; }
  // The bfloat16 dot-product instruction, on top of the AVX-512 sets that its
  // kernels also use.
  bool has_avx512_bf16() const { return has_avx512() && avx512bf16; }
};

const CpuFeatures& cpu_features();

}  // namespace quarn::engine
