// The AMX bfloat16 GEMM driver (bf16gemm_amx.hpp): baseline code around the
// tile kernels of kernels/bf16gemm_amx.cpp, which it reaches only once the
// CPU and the OS have both said yes.
//
//   pack all of A and all of B, in panels of kc (a multiple of 32) of k
//   for ic in m step mc          the A panels of the block stay in L2
//     for jc in n step nc
//       for each k block         32 x 32 tiles of C, in scratch tiles until
//         for jr, ir             the last k block, which writes whole tiles
//                                straight to C
#include "engine/gemm/bf16gemm_amx.hpp"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__) && defined(__linux__)
#include <cpuid.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include "engine/gemm/blocking.hpp"
#include "engine/gemm/kernels/bf16_amx_kernels.hpp"
#include "engine/gemm/pack_buffer.hpp"
#include "engine/gemm/sgemm.hpp"
#include "runtime/thread_pool.hpp"

namespace quarn::gemm {

namespace {

#if defined(__x86_64__) && defined(__linux__)
// Null where the tile unit may be used, else the reason it may not.
const char* detect_amx() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  constexpr unsigned kAmxBf16 = 1u << 22, kAmxTile = 1u << 24;
  if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0 || (edx & kAmxBf16) == 0 ||
      (edx & kAmxTile) == 0)
    return "this CPU has no AMX-BF16 tile unit";
  constexpr unsigned kOsXsave = 1u << 27;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0 || (ecx & kOsXsave) == 0)
    return "the operating system does not enable the AMX tile state";
  unsigned xcr0_low = 0, xcr0_high = 0;
  __asm__ volatile("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
  constexpr unsigned kTileState = 3u << 17;  // XTILECFG and XTILEDATA
  if ((xcr0_low & kTileState) != kTileState)
    return "the operating system does not enable the AMX tile state";
  // Linux hands out the 8 KiB of tile data only to processes that ask; a
  // tile instruction before that faults. The grant covers every thread of
  // the process, those the pool has already started included: each gets
  // its own larger save area on its first tile instruction. The kernel
  // refuses when a thread's alternate signal stack is too small for the
  // larger signal frame.
  constexpr long kArchReqXcompPerm = 0x1023;
  constexpr long kXfeatureXtiledata = 18;
  if (syscall(SYS_arch_prctl, kArchReqXcompPerm, kXfeatureXtiledata) != 0)
    return "the operating system refused this process the AMX tile state";
  return nullptr;
}
#endif

// Every tile load of A and B comes from L2 at these sizes; what the blocking
// buys is fewer round trips of C through the tiles (a C whose row stride is
// a large power of two keeps its tile rows in one L1 set) and fewer repacks
// of A (one per block of n).
// k per block: up to 2048 in one, so that each tile of C stays in the tile
// registers for all of k instead of going through the scratch between k
// blocks; on the Intel core this was written on, 2048^3 took about a tenth
// less time than with blocks of 512 (whose 32 KiB B panel fits in L1 but
// shares it with the A panels streaming past). The block of A then takes
// 1 MiB of L2 (256 rows), and twice that would not fit.
constexpr std::size_t kKC = 2048;
constexpr std::size_t kMC = 256;  // rows of C per block: 1 MiB of packed A at k = 2048
constexpr std::size_t kNC = 256;  // columns of C per block: 256 KiB of scratch tiles
constexpr std::size_t kKeptWords = std::size_t{4} << 20;  // 16 MiB

struct Workspace {
  PackBuffer<std::uint32_t> a;
  PackBuffer<std::uint32_t> b;
  PackBuffer<float> c;
};

Workspace& thread_workspace() {
  thread_local Workspace workspace;
  return workspace;
}

#if defined(__x86_64__)
// Releases the tiles however the loop nest is left.
struct TileSession {
  TileSession() { bf16gemm_amx_begin(); }
  ~TileSession() { bf16gemm_amx_end(); }
  TileSession(const TileSession&) = delete;
  TileSession& operator=(const TileSession&) = delete;
};

// The valid part of a block of C held as contiguous 32 x 32 tiles, row of
// tiles after row of tiles, `tiles_per_row` to a row, into C.
void store_block(const float* tiles, std::size_t tiles_per_row, std::size_t rows, std::size_t cols,
                 float* c, std::ptrdiff_t rsc, std::ptrdiff_t csc) {
  for (std::size_t i = 0; i < rows; ++i) {
    const float* tile_row =
        tiles + (i / kAmxLanes * tiles_per_row) * kAmxLanes * kAmxLanes + (i % kAmxLanes) * kAmxLanes;
    float* out = c + off(i) * rsc;
    for (std::size_t j0 = 0; j0 < cols; j0 += kAmxLanes) {
      const float* from = tile_row + j0 * kAmxLanes;
      const std::size_t width = std::min(kAmxLanes, cols - j0);
      if (csc == 1) {
        std::memcpy(out + j0, from, width * sizeof(float));
      } else {
        for (std::size_t j = 0; j < width; ++j) out[off(j0 + j) * csc] = from[j];
      }
    }
  }
}

// store_block for a C of unit column stride whose whole tiles were written
// directly: only the last partial row and column of tiles.
void store_edges(const float* tiles, std::size_t tiles_per_row, std::size_t rows, std::size_t cols,
                 float* c, std::ptrdiff_t rsc) {
  const std::size_t full_rows = rows / kAmxLanes * kAmxLanes, full_cols = cols / kAmxLanes * kAmxLanes;
  if (full_cols < cols) {
    const std::size_t tile_col = full_cols / kAmxLanes;
    for (std::size_t i = 0; i < full_rows; ++i)
      std::memcpy(c + off(i) * rsc + off(full_cols),
                  tiles + (i / kAmxLanes * tiles_per_row + tile_col) * kAmxLanes * kAmxLanes +
                      (i % kAmxLanes) * kAmxLanes,
                  (cols - full_cols) * sizeof(float));
  }
  if (full_rows < rows)
    store_block(tiles + full_rows / kAmxLanes * tiles_per_row * kAmxLanes * kAmxLanes, tiles_per_row,
                rows - full_rows, cols, c + off(full_rows) * rsc, rsc, 1);
}
#endif

}  // namespace

const char* amx_bf16_refusal() {
#if defined(__x86_64__) && defined(__linux__)
  static const char* const refusal = detect_amx();
  return refusal;
#else
  return "the AMX tile unit is used only on x86-64 Linux";
#endif
}

bool amx_bf16_usable() { return amx_bf16_refusal() == nullptr; }

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
  // thread may be given, and so are the sums.
  const std::size_t kc_step = balanced_step(k, kKC, 2 * kAmxPairsPerTile);
  const std::size_t k_blocks = (k + kc_step - 1) / kc_step;
  const std::size_t panel = amx_panel_words(kc_step);
  const std::size_t mc_step = balanced_step(m, kMC, kAmxLanes);
  const std::size_t nc_step = balanced_step(n, kNC, kAmxLanes);
  const std::size_t m_panels = round_up(m, kAmxLanes) / kAmxLanes;
  const std::size_t n_panels = round_up(n, kAmxLanes) / kAmxLanes;
  const std::size_t nc_panels = round_up(std::min(n, nc_step), kAmxLanes) / kAmxLanes;
  const std::size_t mc_panels = round_up(std::min(m, mc_step), kAmxLanes) / kAmxLanes;

  // A and B packed once each, all of k. A block of rows of A (all of k)
  // stays in L2 while the B panels pass by it block of columns after block
  // of columns, each B panel in L1 for the A panels of the block. C's block
  // is accumulated in contiguous tiles: C's own rows may lie a large power
  // of two apart, which keeps a tile's rows in one L1 set, so C is only
  // written, once a tile is complete.
  // Packed operands up to kKeptWords stay with the thread for the next
  // product; larger ones are given back when this one is done, so that one
  // large product does not hold its operands' size per thread for good.
  Workspace& ws = thread_workspace();
  PackBuffer<std::uint32_t> large_a, large_b;
  const std::size_t a_words = k_blocks * m_panels * panel, b_words = k_blocks * n_panels * panel;
  std::uint32_t* apack = (a_words <= kKeptWords ? ws.a : large_a).get(a_words);
  std::uint32_t* bpack = (b_words <= kKeptWords ? ws.b : large_b).get(b_words);
  const auto a_panel = [&](std::size_t kb, std::size_t ir) {
    return apack + (kb * m_panels + ir / kAmxLanes) * panel;
  };
  const auto b_panel = [&](std::size_t kb, std::size_t jr) {
    return bpack + (kb * n_panels + jr / kAmxLanes) * panel;
  };

  // Packing: a job packs one panel of A, or a group of up to kPackGroup
  // panels of B side by side, each to its own place. B's whole panels in a
  // group go together when its columns are contiguous, so that its rows
  // are read along, not down.
  constexpr std::size_t kPackGroup = 8;
  const std::size_t b_groups = (n_panels + kPackGroup - 1) / kPackGroup;
  const std::size_t pack_jobs = k_blocks * (m_panels + b_groups);
  const auto pack = [&](std::size_t first, std::size_t last) {
    for (std::size_t job = first; job < last; ++job) {
      const std::size_t kb = job / (m_panels + b_groups), panel_no = job % (m_panels + b_groups);
      const std::size_t pc = kb * kc_step, kc = std::min(kc_step, k - pc);
      if (panel_no < m_panels) {
        const std::size_t ir = panel_no * kAmxLanes;
        bf16gemm_amx_pack_a(a + off(ir) * rsa + off(pc) * csa, rsa, csa, std::min(kAmxLanes, m - ir), kc,
                            a_panel(kb, ir));
        continue;
      }
      std::size_t jr = (panel_no - m_panels) * kPackGroup * kAmxLanes;
      const std::size_t group_end = std::min(n, jr + kPackGroup * kAmxLanes);
      if (csb == 1 && group_end - jr >= kAmxLanes) {
        const std::size_t whole = (group_end - jr) / kAmxLanes;
        bf16gemm_amx_pack_b_rows(b + off(pc) * rsb + off(jr), rsb, whole, kc, b_panel(kb, jr), panel);
        jr += whole * kAmxLanes;
      }
      for (; jr < group_end; jr += kAmxLanes)
        bf16gemm_amx_pack_b(b + off(pc) * rsb + off(jr) * csb, csb, rsb, std::min(kAmxLanes, n - jr), kc,
                            b_panel(kb, jr));
    }
  };

  // One block of C (rows from ic, columns from jc), all of k, on the
  // calling thread's tiles and scratch.
  const auto block = [&](std::size_t ic, std::size_t jc) {
    const std::size_t mc = std::min(mc_step, m - ic), nc = std::min(nc_step, n - jc);
    float* cbuf = thread_workspace().c.get(mc_panels * nc_panels * kAmxLanes * kAmxLanes);
    const TileSession tiles;
    for (std::size_t kb = 0; kb < k_blocks; ++kb) {
      const std::size_t blocks = amx_panel_words(std::min(kc_step, k - kb * kc_step)) / (2 * kAmxTileWords);
      for (std::size_t jr = 0; jr < nc; jr += kAmxLanes)
        for (std::size_t ir = 0; ir < mc; ir += kAmxLanes) {
          float* tile = cbuf + (ir / kAmxLanes * nc_panels + jr / kAmxLanes) * kAmxLanes * kAmxLanes;
          const float* from = kb == 0 ? nullptr : tile;
          // A whole tile of C in the last k block goes straight to C; the
          // rest waits in the scratch for store_edges or store_block.
          if (kb + 1 == k_blocks && csc == 1 && mc - ir >= kAmxLanes && nc - jr >= kAmxLanes) {
            bf16gemm_amx_32x32(blocks, a_panel(kb, ic + ir), b_panel(kb, jc + jr), from, off(kAmxLanes),
                               c + off(ic + ir) * rsc + off(jc + jr), rsc);
            continue;
          }
          bf16gemm_amx_32x32(blocks, a_panel(kb, ic + ir), b_panel(kb, jc + jr), from, off(kAmxLanes),
                             tile, off(kAmxLanes));
        }
    }
    if (csc == 1)
      store_edges(cbuf, nc_panels, mc, nc, c + off(ic) * rsc + off(jc) * csc, rsc);
    else
      store_block(cbuf, nc_panels, mc, nc, c + off(ic) * rsc + off(jc) * csc, rsc, csc);
  };

  const std::size_t ic_blocks = (m + mc_step - 1) / mc_step, jc_blocks = (n + nc_step - 1) / nc_step;
  const std::size_t threads = sgemm_threads(m, n, k);
  if (threads == 1) {
    pack(0, pack_jobs);
    for (std::size_t ic = 0; ic < m; ic += mc_step)
      for (std::size_t jc = 0; jc < n; jc += nc_step) block(ic, jc);
    return;
  }
  // On several threads the blocks of C are shared out whole: every element
  // is summed by the same tiles over the same k blocks wherever it runs.
  // Consecutive tasks share a block of rows, so a thread's A panels stay
  // in its L2 while it moves along the columns.
  const std::size_t pack_tasks = std::min(pack_jobs, 4 * threads);
  parallel_for(pack_tasks, [&](std::size_t t) {
    pack(chunk_begin(t, pack_tasks, pack_jobs, 1), chunk_begin(t + 1, pack_tasks, pack_jobs, 1));
  });
  const std::size_t blocks = ic_blocks * jc_blocks;
  const std::size_t tasks = std::min(blocks, threads);
  parallel_for(tasks, [&](std::size_t t) {
    for (std::size_t i = chunk_begin(t, tasks, blocks, 1); i < chunk_begin(t + 1, tasks, blocks, 1); ++i)
      block(i / jc_blocks * mc_step, i % jc_blocks * nc_step);
  });
#else
  (void)m, (void)n, (void)k, (void)a, (void)rsa, (void)csa, (void)b, (void)rsb, (void)csb,
      (void)c, (void)rsc, (void)csc;
#endif
}

}  // namespace quarn::gemm
