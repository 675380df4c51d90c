// The AMX bfloat16 GEMM driver (bf16gemm_amx.hpp): baseline code around the
// tile kernels of kernels/bf16gemm_amx.cpp, which it reaches only once the
// CPU and the OS have both said yes.
//
//   for jc in n step nc        B block  kc x nc, packed per (jc, pc)
//     for pc in k step kc      kc a multiple of 32: whole blocks of 16 pairs
//       for ic in m step mc    A block  mc x kc, packed per (ic, pc)
//         for jr, ir           32 x 32 tile of C, resumed from C after the
//                              first k block
#include "engine/gemm/bf16gemm_amx.hpp"

#include <algorithm>

#if defined(__x86_64__) && defined(__linux__)
#include <cpuid.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include "engine/gemm/kernels/bf16_amx_kernels.hpp"
#include "engine/gemm/pack_buffer.hpp"

namespace quarn::gemm {

namespace {

#if defined(__x86_64__) && defined(__linux__)
bool detect_amx() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return false;
  constexpr unsigned kAmxBf16 = 1u << 22, kAmxTile = 1u << 24;
  if ((edx & kAmxBf16) == 0 || (edx & kAmxTile) == 0) return false;
  constexpr unsigned kOsXsave = 1u << 27;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0 || (ecx & kOsXsave) == 0) return false;
  unsigned xcr0_low = 0, xcr0_high = 0;
  __asm__ volatile("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
  constexpr unsigned kTileState = 3u << 17;  // XTILECFG and XTILEDATA
  if ((xcr0_low & kTileState) != kTileState) return false;
  // Linux hands out the 8 KiB of tile data only to processes that ask; a
  // tile instruction before that faults. The grant covers every thread.
  constexpr long kArchReqXcompPerm = 0x1023;
  constexpr long kXfeatureXtiledata = 18;
  return syscall(SYS_arch_prctl, kArchReqXcompPerm, kXfeatureXtiledata) == 0;
}
#endif

// Every tile load of A and B comes from L2 at these sizes; what the blocking
// buys is fewer round trips of C through the tiles (a C whose row stride is
// a large power of two keeps its tile rows in one L1 set) and fewer repacks
// of A (one per block of n).
constexpr std::size_t kKC = 512;   // k per block: 32 KiB per panel
constexpr std::size_t kMC = 128;   // rows of A per block: 128 KiB of L2
constexpr std::size_t kNC = 1024;  // columns of B per block: 1 MiB of L2

struct Workspace {
  PackBuffer<std::uint32_t> a;
  PackBuffer<std::uint32_t> b;
};

Workspace& thread_workspace() {
  thread_local Workspace workspace;
  return workspace;
}

std::ptrdiff_t off(std::size_t i) { return static_cast<std::ptrdiff_t>(i); }

std::size_t round_up(std::size_t x, std::size_t multiple) {
  return (x + multiple - 1) / multiple * multiple;
}

std::size_t balanced_step(std::size_t total, std::size_t limit, std::size_t multiple) {
  const std::size_t blocks = (total + limit - 1) / limit;
  return std::min(limit, round_up((total + blocks - 1) / blocks, multiple));
}

#if defined(__x86_64__)
// Releases the tiles however the loop nest is left.
struct TileSession {
  TileSession() { bf16gemm_amx_begin(); }
  ~TileSession() { bf16gemm_amx_end(); }
  TileSession(const TileSession&) = delete;
  TileSession& operator=(const TileSession&) = delete;
};

void macro_kernel(std::size_t mc, std::size_t nc, std::size_t kc, const std::uint32_t* apack,
                  const std::uint32_t* bpack, float* c, std::ptrdiff_t rsc, std::ptrdiff_t csc,
                  bool resume) {
  const std::size_t panel = amx_panel_words(kc);
  const std::size_t blocks = panel / (2 * kAmxTileWords);
  alignas(64) float tile[kAmxLanes * kAmxLanes];
  for (std::size_t jr = 0; jr < nc; jr += kAmxLanes) {
    const std::size_t cols = std::min(kAmxLanes, nc - jr);
    const std::uint32_t* bp = bpack + jr / kAmxLanes * panel;
    for (std::size_t ir = 0; ir < mc; ir += kAmxLanes) {
      const std::size_t rows = std::min(kAmxLanes, mc - ir);
      const std::uint32_t* ap = apack + ir / kAmxLanes * panel;
      float* ct = c + off(ir) * rsc + off(jr) * csc;
      if (rows == kAmxLanes && cols == kAmxLanes && csc == 1) {
        bf16gemm_amx_32x32(blocks, ap, bp, ct, rsc, resume);
        continue;
      }
      if (resume) {
        std::fill(tile, tile + kAmxLanes * kAmxLanes, 0.0f);
        for (std::size_t i = 0; i < rows; ++i)
          for (std::size_t j = 0; j < cols; ++j)
            tile[i * kAmxLanes + j] = ct[off(i) * rsc + off(j) * csc];
      }
      bf16gemm_amx_32x32(blocks, ap, bp, tile, off(kAmxLanes), resume);
      for (std::size_t i = 0; i < rows; ++i)
        for (std::size_t j = 0; j < cols; ++j)
          ct[off(i) * rsc + off(j) * csc] = tile[i * kAmxLanes + j];
    }
  }
}
#endif

}  // namespace

bool amx_bf16_usable() {
#if defined(__x86_64__) && defined(__linux__)
  static const bool usable = detect_amx();
  return usable;
#else
  return false;
#endif
}

void bf16gemm_amx(std::size_t m, std::size_t n, std::size_t k, const std::uint16_t* a,
                  std::ptrdiff_t rsa, std::ptrdiff_t csa, const std::uint16_t* b,
                  std::ptrdiff_t rsb, std::ptrdiff_t csb, float* c, std::ptrdiff_t rsc,
                  std::ptrdiff_t csc) {
#if defined(__x86_64__)
  if (m == 0 || n == 0) return;
  if (k == 0) {
    for (std::size_t i = 0; i < m; ++i)
      for (std::size_t j = 0; j < n; ++j) c[off(i) * rsc + off(j) * csc] = 0.0f;
    return;
  }
  // The k blocking depends on k alone: the same for every part of C that a
  // thread may be given.
  const std::size_t kc_step = balanced_step(k, kKC, 2 * kAmxPairsPerTile);
  const std::size_t mc_step = balanced_step(m, kMC, kAmxLanes);
  const std::size_t nc_step = balanced_step(n, kNC, kAmxLanes);
  const std::size_t panel = amx_panel_words(kc_step);

  Workspace& ws = thread_workspace();
  std::uint32_t* apack = ws.a.get(round_up(std::min(m, mc_step), kAmxLanes) / kAmxLanes * panel);
  std::uint32_t* bpack = ws.b.get(round_up(std::min(n, nc_step), kAmxLanes) / kAmxLanes * panel);

  const TileSession tiles;
  for (std::size_t jc = 0; jc < n; jc += nc_step) {
    const std::size_t nc = std::min(nc_step, n - jc);
    for (std::size_t pc = 0; pc < k; pc += kc_step) {
      const std::size_t kc = std::min(kc_step, k - pc);
      const std::size_t words = amx_panel_words(kc);
      const std::uint16_t* bsrc = b + off(pc) * rsb + off(jc) * csb;
      for (std::size_t jr = 0; jr < nc; jr += kAmxLanes)
        bf16gemm_amx_pack_b(bsrc + off(jr) * csb, csb, rsb, std::min(kAmxLanes, nc - jr), kc,
                            bpack + jr / kAmxLanes * words);
      for (std::size_t ic = 0; ic < m; ic += mc_step) {
        const std::size_t mc = std::min(mc_step, m - ic);
        const std::uint16_t* asrc = a + off(ic) * rsa + off(pc) * csa;
        for (std::size_t ir = 0; ir < mc; ir += kAmxLanes)
          bf16gemm_amx_pack_a(asrc + off(ir) * rsa, rsa, csa, std::min(kAmxLanes, mc - ir), kc,
                              apack + ir / kAmxLanes * words);
        macro_kernel(mc, nc, kc, apack, bpack, c + off(ic) * rsc + off(jc) * csc, rsc, csc,
                     pc != 0);
      }
    }
  }
#else
  (void)m, (void)n, (void)k, (void)a, (void)rsa, (void)csa, (void)b, (void)rsb, (void)csb,
      (void)c, (void)rsc, (void)csc;
#endif
}

}  // namespace quarn::gemm
