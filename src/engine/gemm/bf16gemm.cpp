// The bfloat16 GEMM driver: the loop nest of the float32 driver (sgemm.cpp)
// around the pair-packed micro-kernels of kernels/bf16_kernels.hpp.
//
//   for jc in n step nc        B block  kc x nc, packed per (jc, pc)
//     for pc in k step kc      (kc even, so every block but the last holds
//                              whole pairs)
//       for ic in m step mc    A block  mc x kc, packed per (ic, pc)
//         for jr, ir           micro-kernel on an MR x NR tile of C
//
// The k blocks after the first resume each element's chain from the value
// C holds, rather than adding a separate partial sum to it, so the blocking
// never changes a result. Edge tiles and a C without unit column stride go
// through a scratch tile of which only the valid part is read and written.
#include "engine/gemm/bf16gemm.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <new>

#include "engine/cpu_features.hpp"
#include "engine/gemm/kernels/bf16_kernels.hpp"
#include "engine/gemm/kernels/kernels.hpp"
#include "engine/gemm/pack_buffer.hpp"
#include "engine/gemm/sgemm.hpp"
#include "engine/gemm/blocking.hpp"

namespace quarn::gemm {

namespace {

constexpr std::size_t kPackAlignment = 64;

struct Workspace {
  PackBuffer<std::uint32_t> a;
  PackBuffer<std::uint32_t> b;
};

Workspace& thread_workspace() {
  thread_local Workspace workspace;
  return workspace;
}

std::size_t pairs_of(std::size_t kc) { return (kc + 1) / 2; }

// One panel of `width` lanes of which the first `lanes` are real, lane l's
// value p at src[l * ls + p * ks]: the set's own packing where it covers the
// strides, else word by word, written in order (see sgemm.cpp on why the
// writes rather than the reads go in order). Lanes past `lanes` are zero.
void pack_panel(Bf16Pack fast, std::size_t width, const std::uint16_t* src, std::ptrdiff_t ls,
                std::ptrdiff_t ks, std::size_t lanes, std::size_t kc, std::uint32_t* dst) {
  if (lanes == width && fast != nullptr && fast(src, ls, ks, kc, dst)) return;
  for (std::size_t q = 0; q < pairs_of(kc); ++q) {
    const std::uint16_t* s = src + 2 * off(q) * ks;
    const bool second = 2 * q + 1 < kc;
    std::uint32_t* out = dst + q * width;
    for (std::size_t l = 0; l < lanes; ++l) {
      const std::uint16_t* p = s + off(l) * ls;
      out[l] = static_cast<std::uint32_t>(p[0]) << 16 | (second ? p[ks] : 0u);
    }
    std::fill(out + lanes, out + width, 0u);
  }
}

void fill_zero(std::size_t m, std::size_t n, float* c, std::ptrdiff_t rsc, std::ptrdiff_t csc) {
  for (std::size_t i = 0; i < m; ++i)
    for (std::size_t j = 0; j < n; ++j) c[off(i) * rsc + off(j) * csc] = 0.0f;
}

void macro_kernel(const Bf16Kernel& kern, std::size_t mc, std::size_t nc, std::size_t pairs,
                  const std::uint32_t* apack, const std::uint32_t* bpack, float* c,
                  std::ptrdiff_t rsc, std::ptrdiff_t csc, bool resume) {
  const std::size_t mr = kern.mr;
  const std::size_t nr = kern.nr;
  alignas(kPackAlignment) float tile[kBf16MaxTile];
  for (std::size_t jr = 0; jr < nc; jr += nr) {
    const std::size_t cols = std::min(nr, nc - jr);
    const std::uint32_t* bp = bpack + jr * pairs;
    for (std::size_t ir = 0; ir < mc; ir += mr) {
      const std::size_t rows = std::min(mr, mc - ir);
      const std::uint32_t* ap = apack + ir * pairs;
      float* ct = c + off(ir) * rsc + off(jr) * csc;
      if (rows == mr && cols == nr && csc == 1) {
        kern.micro(pairs, ap, bp, ct, rsc, resume);
        continue;
      }
      if (resume) {
        std::fill(tile, tile + mr * nr, 0.0f);
        for (std::size_t i = 0; i < rows; ++i)
          for (std::size_t j = 0; j < cols; ++j) tile[i * nr + j] = ct[off(i) * rsc + off(j) * csc];
      }
      kern.micro(pairs, ap, bp, tile, off(nr), resume);
      for (std::size_t i = 0; i < rows; ++i)
        for (std::size_t j = 0; j < cols; ++j) ct[off(i) * rsc + off(j) * csc] = tile[i * nr + j];
    }
  }
}

// Seconds per multiply-add of `calls` back-to-back calls of a tile kernel.
template <class Call>
double seconds_per_madd(std::size_t calls, std::size_t madds_per_call, const Call& call) {
  const auto start = std::chrono::steady_clock::now();
  for (std::size_t i = 0; i < calls; ++i) call();
  const std::chrono::duration<double> spent = std::chrono::steady_clock::now() - start;
  return spent.count() / static_cast<double>(calls * madds_per_call);
}

// Full tiles of both kinds over the same k, from panels in L1, taking turns
// round after round; the best round of each counts, so that work elsewhere
// on the machine only ever slows a round down. The instruction has to win
// by a clear margin: on the Intel core this was tuned on its tiles took 1.9
// times as long per multiply-add as the float32 ones, so the verdict there
// is far from the line, and a core near parity stays on the float32 path
// rather than flipping between runs.
bool measure_dot_faster(const Bf16Kernel& kern) {
  const SgemmKernel& f32 = sgemm_active_kernel();
  constexpr std::size_t k = 256;
  constexpr std::size_t kRounds = 8, kCalls = 4;
  const std::size_t dot_a = kern.mr * k / 2, dot_b = kern.nr * k / 2;
  const std::size_t f32_a = f32.mr * k, f32_b = f32.nr * k;
  PackBuffer<std::uint32_t> buffer;
  std::uint32_t* base = buffer.get(dot_a + dot_b + f32_a + f32_b + std::max(kBf16MaxTile, kMaxTile));
  std::uint32_t* pa = base;
  std::uint32_t* pb = pa + dot_a;
  auto* fa = reinterpret_cast<float*>(pb + dot_b);
  float* fb = fa + f32_a;
  float* c = fb + f32_b;
  // Ones: the sums stay small integers, far from anything slow to compute.
  std::fill(pa, pa + dot_a + dot_b, 0x3f803f80u);
  std::fill(fa, fa + f32_a + f32_b, 1.0f);
  double dot = 1.0, single = 1.0;
  for (std::size_t round = 0; round < kRounds; ++round) {
    dot = std::min(dot, seconds_per_madd(kCalls, kern.mr * kern.nr * k, [&] {
                     kern.micro(k / 2, pa, pb, c, off(kern.nr), false);
                   }));
    single = std::min(single, seconds_per_madd(kCalls, f32.mr * f32.nr * k, [&] {
                        f32.micro(k, fa, fb, c, off(f32.nr), false);
                      }));
  }
  return dot * 1.25 < single;
}

std::atomic<Bf16DotMode> g_mode{Bf16DotMode::kAuto};

const Bf16Kernel* choose_kernel() {
  const engine::CpuFeatures& features = engine::cpu_features();
  for (const Bf16Kernel& kern : bf16_kernels())
    if (kern.supported(features)) return &kern;
  return nullptr;
}

}  // namespace

const Bf16Kernel* bf16gemm_active_kernel() {
  static const Bf16Kernel* const chosen = choose_kernel();
  return chosen;
}

bool bf16_dot_measured_faster() {
  static const bool faster = [] {
    const Bf16Kernel* kern = bf16gemm_active_kernel();
    return kern != nullptr && measure_dot_faster(*kern);
  }();
  return faster;
}

void set_bf16_dot_mode(Bf16DotMode mode) { g_mode.store(mode, std::memory_order_relaxed); }

Bf16DotMode bf16_dot_mode() { return g_mode.load(std::memory_order_relaxed); }

const Bf16Kernel* bf16gemm_serving_kernel() {
  switch (bf16_dot_mode()) {
    case Bf16DotMode::kOn:
    case Bf16DotMode::kAmx:
      return bf16gemm_active_kernel();
    case Bf16DotMode::kOff:
      return nullptr;
    case Bf16DotMode::kAuto:
      break;
  }
  return bf16_dot_measured_faster() ? bf16gemm_active_kernel() : nullptr;
}

bool bf16_dot_exact(const Bf16Kernel& kern, const std::uint16_t* values, std::size_t n) {
  if (kern.scan != nullptr) return kern.scan(values, n);
  return std::all_of(values, values + n, bf16_dot_exact_value);
}

void bf16gemm_with(const Bf16Kernel& kern, std::size_t m, std::size_t n, std::size_t k,
                   const std::uint16_t* a, std::ptrdiff_t rsa, std::ptrdiff_t csa,
                   const std::uint16_t* b, std::ptrdiff_t rsb, std::ptrdiff_t csb, float* c,
                   std::ptrdiff_t rsc, std::ptrdiff_t csc) {
  if (m == 0 || n == 0) return;
  if (k == 0) {
    fill_zero(m, n, c, rsc, csc);
    return;
  }
  const std::size_t mr = kern.mr;
  const std::size_t nr = kern.nr;
  const std::size_t kc_step = balanced_step(k, kern.kc, 2);
  const std::size_t mc_step = balanced_step(m, kern.mc, mr);
  const std::size_t nc_step = balanced_step(n, kern.nc, nr);

  Workspace& ws = thread_workspace();
  std::uint32_t* apack = ws.a.get(round_up(std::min(m, mc_step), mr) * pairs_of(kc_step));
  std::uint32_t* bpack = ws.b.get(round_up(std::min(n, nc_step), nr) * pairs_of(kc_step));

  for (std::size_t jc = 0; jc < n; jc += nc_step) {
    const std::size_t nc = std::min(nc_step, n - jc);
    for (std::size_t pc = 0; pc < k; pc += kc_step) {
      const std::size_t kc = std::min(kc_step, k - pc);
      const std::size_t pairs = pairs_of(kc);
      const std::uint16_t* bsrc = b + off(pc) * rsb + off(jc) * csb;
      for (std::size_t jr = 0; jr < nc; jr += nr)
        pack_panel(kern.pack_b, nr, bsrc + off(jr) * csb, csb, rsb, std::min(nr, nc - jr), kc,
                   bpack + jr * pairs);
      for (std::size_t ic = 0; ic < m; ic += mc_step) {
        const std::size_t mc = std::min(mc_step, m - ic);
        const std::uint16_t* asrc = a + off(ic) * rsa + off(pc) * csa;
        for (std::size_t ir = 0; ir < mc; ir += mr)
          pack_panel(kern.pack_a, mr, asrc + off(ir) * rsa, rsa, csa, std::min(mr, mc - ir), kc,
                     apack + ir * pairs);
        macro_kernel(kern, mc, nc, pairs, apack, bpack, c + off(ic) * rsc + off(jc) * csc, rsc,
                     csc, pc != 0);
      }
    }
  }
}

}  // namespace quarn::gemm
