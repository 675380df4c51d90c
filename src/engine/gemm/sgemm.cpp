// The GEMM driver: the usual five loops around a register-tiled micro-kernel.
//
//   for jc in n step nc          B block  kc x nc  -> L3
//     for pc in k step kc        packed once per (jc, pc), panel by panel
//                                during the first ic step
//       for ic in m step mc      A block  mc x kc  -> L2, packed per (ic, pc)
//         for jr in nc step NR   B panel  kc x NR  -> L1
//           for ir in mc step MR micro-kernel: MR x NR tile of C in registers
//
// Packing copies each block into the kernel's panel layout, which absorbs any
// strides (negative, zero, transposed) so the kernel only ever sees unit
// steps. Tiles on the lower and right edges, and any C without a unit column
// stride, go through a temporary tile of which only the valid part is copied
// out, so nothing outside the matrices is read or written. Products small
// enough that packing would dominate run the direct kernel instead, and
// products with a single row or column run as matrix-vector products.
#include "engine/gemm/sgemm.hpp"

#include <algorithm>
#include <new>

#include "engine/cpu_features.hpp"
#include "engine/gemm/blocking.hpp"
#include "engine/gemm/kernels/kernels.hpp"
#include "engine/gemm/pack_buffer.hpp"
#include "runtime/thread_pool.hpp"

namespace quarn::gemm {

namespace {

constexpr std::size_t kPackAlignment = 64;
// Room past the last A panel for the vector packing's overhanging stores.
constexpr std::size_t kPackSlack = 16;
// Direct-kernel limit on k * n: B is read in place for every strip of A
// rows, so it must stay near the core. Measured on the AVX2 set, the direct
// kernel wins up to about 96 x 96 floats of B (up to 2x at 16 x 16, 10% at
// 96 x 96) and packing wins from 128 x 128 on, once A has hundreds of rows.
constexpr std::size_t kDirectMaxB = 12288;

struct Workspace {
  PackBuffer<float> a;
  PackBuffer<float> b;
};

Workspace& thread_workspace() {
  thread_local Workspace workspace;
  return workspace;
}

// k x n within the direct-kernel limit, without forming a product that could
// wrap around.
bool small_b(std::size_t k, std::size_t n) { return k <= kDirectMaxB / n; }

// rows x kc of A into one MR-wide panel: element (i, p) at dst[p * mr + i];
// rows past `rows` are zero. The panel is written strictly in order, with
// the reads spread over the source rows: the other way round (reading each
// row in order and scattering the writes) runs into store-to-load aliasing
// whenever the rows lie a multiple of 4 KiB apart and is several times
// slower.
void pack_a_panel(const float* a, std::ptrdiff_t rsa, std::ptrdiff_t csa, std::size_t rows,
                  std::size_t kc, std::size_t mr, float* dst) {
  const float* src[kMaxMR];
  for (std::size_t i = 0; i < rows; ++i) src[i] = a + off(i) * rsa;
  for (std::size_t p = 0; p < kc; ++p) {
    float* out = dst + p * mr;
    for (std::size_t i = 0; i < rows; ++i) out[i] = src[i][off(p) * csa];
    for (std::size_t i = rows; i < mr; ++i) out[i] = 0.0f;
  }
}

// mc x kc of A as MR-row panels, one after another in `dst`: the kernel
// set's own packing for full panels where it has one, else element by
// element.
void pack_a_block(const SgemmKernel& kern, const float* a, std::ptrdiff_t rsa, std::ptrdiff_t csa, std::size_t mc,
                  std::size_t kc, std::size_t mr, float* dst) {
  for (std::size_t ir = 0; ir < mc; ir += mr) {
    const std::size_t rows = std::min(mr, mc - ir);
    const float* src = a + off(ir) * rsa;
    float* panel = dst + ir * kc;
    if (rows == mr && kern.pack_a != nullptr && kern.pack_a(src, rsa, csa, kc, panel)) continue;
    pack_a_panel(src, rsa, csa, rows, kc, mr, panel);
  }
}

// kc x cols of B into one NR-wide panel: element (p, j) at dst[p * nr + j];
// columns past `cols` are zero. Written in order, like the A panels.
void pack_b_panel(const float* b, std::ptrdiff_t rsb, std::ptrdiff_t csb, std::size_t kc,
                  std::size_t cols, std::size_t nr, float* dst) {
  for (std::size_t p = 0; p < kc; ++p) {
    const float* src = b + off(p) * rsb;
    float* out = dst + p * nr;
    if (csb == 1) {
      std::copy(src, src + cols, out);
    } else {
      for (std::size_t j = 0; j < cols; ++j) out[j] = src[off(j) * csb];
    }
    std::fill(out + cols, out + nr, 0.0f);
  }
}

// One NR-wide panel of B: the kernel set's own packing where it has one for
// these strides, else element by element.
void pack_b_one(const SgemmKernel& kern, const float* b, std::ptrdiff_t rsb, std::ptrdiff_t csb,
                std::size_t kc, std::size_t cols, float* dst) {
  if (cols == kern.nr && kern.pack_b != nullptr && kern.pack_b(b, rsb, csb, kc, dst)) return;
  pack_b_panel(b, rsb, csb, kc, cols, kern.nr, dst);
}

void pack_b_block(const SgemmKernel& kern, const float* b, std::ptrdiff_t rsb,
                  std::ptrdiff_t csb, std::size_t kc, std::size_t nc, float* dst) {
  const std::size_t nr = kern.nr;
  for (std::size_t jr = 0; jr < nc; jr += nr)
    pack_b_one(kern, b + off(jr) * csb, rsb, csb, kc, std::min(nr, nc - jr), dst + jr * kc);
}

// The kc x nc block of B behind one (jc, pc) step, still unpacked. The first
// A block of the step packs each B panel just before its micro-kernels use
// it, so the panel is read while it is still in L1 rather than written out
// with the whole block and fetched back; later A blocks find it packed.
// When there is no later A block, every panel is packed into the same
// place, and the block never leaves L1 at all.
struct UnpackedB {
  const float* b;
  std::ptrdiff_t rsb, csb;
  bool reuse_panel;
};

void fill_zero(std::size_t m, std::size_t n, float* c, std::ptrdiff_t rsc, std::ptrdiff_t csc) {
  for (std::size_t i = 0; i < m; ++i) {
    float* row = c + off(i) * rsc;
    if (csc == 1) {
      std::fill(row, row + n, 0.0f);
    } else {
      for (std::size_t j = 0; j < n; ++j) row[off(j) * csc] = 0.0f;
    }
  }
}

// The jr/ir loops over one packed mc x kc block of A and kc x nc block of B;
// with `unpacked`, B is packed here, panel by panel (see UnpackedB).
void macro_kernel(const SgemmKernel& kern, std::size_t mc, std::size_t nc, std::size_t kc,
                  const float* apack, float* bpack, const UnpackedB* unpacked, float* c,
                  std::ptrdiff_t rsc, std::ptrdiff_t csc, bool accumulate) {
  const std::size_t mr = kern.mr;
  const std::size_t nr = kern.nr;
  alignas(kPackAlignment) float tile[kMaxTile];
  for (std::size_t jr = 0; jr < nc; jr += nr) {
    const std::size_t cols = std::min(nr, nc - jr);
    float* bp = bpack + jr * kc;
    if (unpacked != nullptr) {
      if (unpacked->reuse_panel) bp = bpack;
      pack_b_one(kern, unpacked->b + off(jr) * unpacked->csb, unpacked->rsb, unpacked->csb, kc, cols, bp);
    }
    for (std::size_t ir = 0; ir < mc; ir += mr) {
      const std::size_t rows = std::min(mr, mc - ir);
      const float* ap = apack + ir * kc;
      float* ct = c + off(ir) * rsc + off(jr) * csc;
      if (rows == mr && cols == nr && csc == 1) {
        kern.micro(kc, ap, bp, ct, rsc, accumulate);
        continue;
      }
      kern.micro(kc, ap, bp, tile, off(nr), false);
      for (std::size_t i = 0; i < rows; ++i) {
        float* row = ct + off(i) * rsc;
        const float* t = tile + i * nr;
        if (accumulate) {
          for (std::size_t j = 0; j < cols; ++j) row[off(j) * csc] += t[j];
        } else {
          for (std::size_t j = 0; j < cols; ++j) row[off(j) * csc] = t[j];
        }
      }
    }
  }
}

// The kc step for an m x k x n product: the serial and the threaded driver
// must cut k alike, since each kc step is a separate addition into C.
std::size_t kc_step_for(const SgemmKernel& kern, std::size_t m, std::size_t k) {
  return balanced_step(k, m <= kern.mc ? kern.kc_one_block : kern.kc, 1);
}

void packed_product(const SgemmKernel& kern, std::size_t m, std::size_t n, std::size_t k,
                    const float* a, std::ptrdiff_t rsa, std::ptrdiff_t csa, const float* b,
                    std::ptrdiff_t rsb, std::ptrdiff_t csb, float* c, std::ptrdiff_t rsc,
                    std::ptrdiff_t csc) {
  const std::size_t mr = kern.mr;
  const std::size_t nr = kern.nr;
  const std::size_t kc_step = kc_step_for(kern, m, k);
  const std::size_t mc_step = balanced_step(m, kern.mc, mr);
  const std::size_t nc_step = balanced_step(n, kern.nc, nr);

  const bool one_a_block = m <= mc_step;
  Workspace& ws = thread_workspace();
  float* apack = ws.a.get(round_up(std::min(m, mc_step), mr) * kc_step + kPackSlack);
  float* bpack = ws.b.get((one_a_block ? nr : round_up(std::min(n, nc_step), nr)) * kc_step);

  for (std::size_t jc = 0; jc < n; jc += nc_step) {
    const std::size_t nc = std::min(nc_step, n - jc);
    for (std::size_t pc = 0; pc < k; pc += kc_step) {
      const std::size_t kc = std::min(kc_step, k - pc);
      const UnpackedB bsrc{b + off(pc) * rsb + off(jc) * csb, rsb, csb, one_a_block};
      for (std::size_t ic = 0; ic < m; ic += mc_step) {
        const std::size_t mc = std::min(mc_step, m - ic);
        const float* asrc = a + off(ic) * rsa + off(pc) * csa;
        pack_a_block(kern, asrc, rsa, csa, mc, kc, mr, apack);
        macro_kernel(kern, mc, nc, kc, apack, bpack, ic == 0 ? &bsrc : nullptr,
                     c + off(ic) * rsc + off(jc) * csc, rsc, csc, pc != 0);
      }
    }
  }
}

// --- the same products on several threads -------------------------------------
//
// How a product is shared out never changes its arithmetic: every element of
// C is computed by the same micro-kernel over the same kc steps (kc does not
// depend on the thread count), block edges stay on multiples of MR and NR so
// that the edge tiles are the same tiles, and the direct and column kernels
// give each element one FMA chain wherever its rows or columns start. So the
// result is the same bit for bit on any number of threads.

// Multiply-adds below which a product stays on the calling thread. Waking a
// sleeping worker and collecting its part costs some 5 to 20 us; 2M
// multiply-adds (128^3) take about 30 us on one core here, so the hand-over
// is repaid from there on. To be checked on a quiet machine: the one this
// was set on was shared and fully loaded, and no size showed a gain.
constexpr std::size_t kParallelMinWork = std::size_t{1} << 21;

// Threads for a product of m x n x k, 1 when it should stay on this one.
std::size_t threads_for(std::size_t m, std::size_t n, std::size_t k) {
  const std::size_t threads = num_threads();
  if (threads <= 1) return 1;
  if (m * n >= kParallelMinWork || (m * n != 0 && k >= kParallelMinWork / (m * n))) return threads;
  return 1;
}

// Whether each thread should run the serial product on its own range of
// columns (see sgemm_with) rather than share packed B blocks with the
// others. Each thread then packs all of A itself, which costs little next to
// the barriers the sharing needs: from 256 columns a thread on, and for an A
// of up to 4M elements (16 MiB, held in the last-level cache) from one
// panel a thread on, own columns measured 2-10% faster at every shape tried
// (256x784 by 64 to 256 columns, 300^3, 1024 and 2048 squares, 4096x1024x128).
// Past that, threads reading all of a large A would share the memory bus.
constexpr std::size_t kOwnColumnsWide = 256;
constexpr std::size_t kOwnColumnsSmallA = std::size_t{1} << 22;

bool own_columns(const SgemmKernel& kern, std::size_t threads, std::size_t m, std::size_t n, std::size_t k) {
  if (n >= threads * kOwnColumnsWide) return true;
  return n >= threads * kern.nr && m <= kOwnColumnsSmallA / k;
}

// How the threaded product cuts C: `row_parts` ranges of MR-row tiles times
// `col_parts` ranges of NR-column panels, one task each, at most `threads`
// tasks. The cut with the smallest largest task wins (tiles, not rows, are
// what the micro-kernel spends time on), rows first on a tie: tasks that
// split rows share every packed B panel, where column tasks each pack the
// same A block again.
struct ThreadCut {
  std::size_t row_parts, col_parts;
};

ThreadCut cut_for_threads(std::size_t threads, std::size_t row_tiles, std::size_t panels) {
  ThreadCut best{1, 1};
  std::size_t best_cost = row_tiles * panels;
  for (std::size_t rows = 1; rows <= std::min(threads, row_tiles); ++rows) {
    const std::size_t cols = std::min(panels, threads / rows);
    const std::size_t cost = ceil_div(row_tiles, rows) * ceil_div(panels, cols);
    if (cost <= best_cost) {
      best = {rows, cols};
      best_cost = cost;
    }
  }
  return best;
}

// The packed product, threads sharing the packed B block of each (jc, pc)
// step: first they pack its panels between them, then each task takes a
// fixed range of C's row tiles and panels (one task per thread, so none
// waits for another's last block), packing its own A blocks.
void packed_product_parallel(const SgemmKernel& kern, std::size_t threads, std::size_t m,
                             std::size_t n, std::size_t k, const float* a, std::ptrdiff_t rsa,
                             std::ptrdiff_t csa, const float* b, std::ptrdiff_t rsb,
                             std::ptrdiff_t csb, float* c, std::ptrdiff_t rsc, std::ptrdiff_t csc) {
  const std::size_t mr = kern.mr;
  const std::size_t nr = kern.nr;
  const std::size_t kc_step = kc_step_for(kern, m, k);
  const std::size_t nc_step = balanced_step(n, kern.nc, nr);
  const std::size_t row_tiles = ceil_div(m, mr);

  float* bpack = thread_workspace().b.get(round_up(std::min(n, nc_step), nr) * kc_step);

  for (std::size_t jc = 0; jc < n; jc += nc_step) {
    const std::size_t nc = std::min(nc_step, n - jc);
    const std::size_t panels = ceil_div(nc, nr);
    const ThreadCut cut = cut_for_threads(threads, row_tiles, panels);
    for (std::size_t pc = 0; pc < k; pc += kc_step) {
      const std::size_t kc = std::min(kc_step, k - pc);
      const float* bsrc = b + off(pc) * rsb + off(jc) * csb;
      const std::size_t pack_tasks = std::min(panels, 4 * threads);
      parallel_for(pack_tasks, [&](std::size_t t) {
        const std::size_t first = chunk_begin(t, pack_tasks, panels, 1);
        const std::size_t last = chunk_begin(t + 1, pack_tasks, panels, 1);
        for (std::size_t p = first; p < last; ++p)
          pack_b_one(kern, bsrc + off(p * nr) * csb, rsb, csb, kc, std::min(nr, nc - p * nr),
                     bpack + p * nr * kc);
      });
      parallel_for(cut.row_parts * cut.col_parts, [&](std::size_t t) {
        const std::size_t row_part = t / cut.col_parts;
        const std::size_t col_part = t % cut.col_parts;
        const std::size_t top = chunk_begin(row_part, cut.row_parts, m, mr);
        const std::size_t bottom = chunk_begin(row_part + 1, cut.row_parts, m, mr);
        const std::size_t first = chunk_begin(col_part, cut.col_parts, panels, 1) * nr;
        const std::size_t last = std::min(nc, chunk_begin(col_part + 1, cut.col_parts, panels, 1) * nr);
        if (top >= bottom || first >= last) return;
        const std::size_t mc_step = balanced_step(bottom - top, kern.mc, mr);
        float* apack = thread_workspace().a.get(round_up(mc_step, mr) * kc_step + kPackSlack);
        for (std::size_t ic = top; ic < bottom; ic += mc_step) {
          const std::size_t mc = std::min(mc_step, bottom - ic);
          pack_a_block(kern, a + off(ic) * rsa + off(pc) * csa, rsa, csa, mc, kc, mr, apack);
          macro_kernel(kern, mc, last - first, kc, apack, bpack + first * kc, nullptr,
                       c + off(ic) * rsc + off(jc + first) * csc, rsc, csc, pc != 0);
        }
      });
    }
  }
}

// Runs run(begin, end) over [0, count) cut into `tasks` ranges on multiples of
// `grain`, on the pool.
template <class Run>
void split_range(std::size_t count, std::size_t grain, std::size_t threads, const Run& run) {
  const std::size_t tasks = std::min(ceil_div(count, grain), threads);
  parallel_for(tasks, [&](std::size_t t) {
    const std::size_t begin = chunk_begin(t, tasks, count, grain);
    const std::size_t end = chunk_begin(t + 1, tasks, count, grain);
    if (begin < end) run(begin, end);
  });
}

// A small B without unit column stride (a transposed operand, say) is
// packed once, which costs 1/m of the product; each packed panel is a
// row-major k x NR strip that the direct kernel reads in place of B.
void direct_packed_b(const SgemmKernel& kern, std::size_t m, std::size_t n, std::size_t k,
                     const float* a, std::ptrdiff_t rsa, std::ptrdiff_t csa, const float* b,
                     std::ptrdiff_t rsb, std::ptrdiff_t csb, float* c, std::ptrdiff_t rsc) {
  const std::size_t nr = kern.nr;
  float* bpack = thread_workspace().b.get(round_up(n, nr) * k);
  pack_b_block(kern, b, rsb, csb, k, n, bpack);
  auto rows = [&](std::size_t first, std::size_t last) {
    for (std::size_t jr = 0; jr < n; jr += nr)
      kern.direct(last - first, std::min(nr, n - jr), k, a + off(first) * rsa, rsa, csa,
                  bpack + jr * k, off(nr), c + off(first) * rsc + off(jr), rsc);
  };
  const std::size_t threads = threads_for(m, n, k);
  if (threads == 1) return rows(0, m);
  split_range(m, kern.mr, threads, rows);
}

// y <- M x for a rows x k matrix M (strides rs, cs) and vectors x, y (strides
// xs, ys): the one-column product A b, and the one-row product a B seen as
// B^T a^T. Packing would waste all but one column of each tile here, and
// the column kernel and the direct kernel do the same arithmetic, so it makes
// no difference to the result which of the two serves. Returns false when
// neither fits the strides.
bool vector_product(const SgemmKernel& kern, std::size_t rows, std::size_t k, const float* mat,
                    std::ptrdiff_t rs, std::ptrdiff_t cs, const float* x, std::ptrdiff_t xs,
                    float* y, std::ptrdiff_t ys) {
  const std::size_t threads = threads_for(rows, 1, k);
  if (cs == 1 && kern.column != nullptr) {
    auto part = [&](std::size_t first, std::size_t last) {
      kern.column(last - first, k, mat + off(first) * rs, rs, x, xs, y + off(first) * ys, ys);
    };
    if (threads == 1) {
      part(0, rows);
    } else {
      split_range(rows, kern.mr, threads, part);
    }
    return true;
  }
  if (rs == 1 && ys == 1) {
    // y^T = x^T M^T: a single row against M's contiguous columns.
    auto part = [&](std::size_t first, std::size_t last) {
      kern.direct(1, last - first, k, x, 0, xs, mat + off(first), cs, y + off(first), 0);
    };
    if (threads == 1) {
      part(0, rows);
    } else {
      split_range(rows, kern.nr, threads, part);
    }
    return true;
  }
  return false;
}

const SgemmKernel& choose_kernel() {
  const engine::CpuFeatures& features = engine::cpu_features();
  for (const SgemmKernel& kern : sgemm_kernels())
    if (kern.supported(features)) return kern;
  return sgemm_ref_kernel();
}

}  // namespace

std::size_t sgemm_threads(std::size_t m, std::size_t n, std::size_t k) { return threads_for(m, n, k); }

const SgemmKernel& sgemm_active_kernel() {
  static const SgemmKernel& chosen = choose_kernel();
  return chosen;
}

void sgemm_with(const SgemmKernel& kern, bool direct, std::size_t m, std::size_t n,
                std::size_t k, const float* a, std::ptrdiff_t rsa, std::ptrdiff_t csa,
                const float* b, std::ptrdiff_t rsb, std::ptrdiff_t csb, float* c,
                std::ptrdiff_t rsc, std::ptrdiff_t csc) {
  if (m == 0 || n == 0) return;
  if (k == 0) {
    fill_zero(m, n, c, rsc, csc);
    return;
  }
  if (direct) {
    if (n == 1 && vector_product(kern, m, k, a, rsa, csa, b, rsb, c, rsc)) return;
    if (m == 1 && vector_product(kern, n, k, b, csb, rsb, a, csa, c, csc)) return;
  }
  if (direct && csc == 1) {
    // A few rows read B once either way, so packing it would only add a copy.
    if (csb == 1 && (m <= kern.mr || small_b(k, n))) {
      const std::size_t threads = threads_for(m, n, k);
      if (threads == 1) {
        kern.direct(m, n, k, a, rsa, csa, b, rsb, c, rsc);
      } else if (m >= n) {
        split_range(m, kern.mr, threads, [&](std::size_t first, std::size_t last) {
          kern.direct(last - first, n, k, a + off(first) * rsa, rsa, csa, b, rsb, c + off(first) * rsc, rsc);
        });
      } else {
        split_range(n, kern.nr, threads, [&](std::size_t first, std::size_t last) {
          kern.direct(m, last - first, k, a, rsa, csa, b + off(first), rsb, c + off(first), rsc);
        });
      }
      return;
    }
    if (small_b(k, n)) {
      direct_packed_b(kern, m, n, k, a, rsa, csa, b, rsb, csb, c, rsc);
      return;
    }
  }
  const std::size_t threads = threads_for(m, n, k);
  if (threads > 1 && own_columns(kern, threads, m, n, k)) {
    // Wide enough that each thread can run the serial product on its own
    // columns: no thread waits for another, and each packs its B panels
    // just before use as the serial driver does. The price, each thread
    // packing all of A, is a few percent of the work from here on, and
    // this ran 2-5% faster than sharing packed B at 1024 and 2048.
    split_range(n, kern.nr, threads, [&](std::size_t first, std::size_t last) {
      packed_product(kern, m, last - first, k, a, rsa, csa, b + off(first) * csb, rsb, csb,
                     c + off(first) * csc, rsc, csc);
    });
    return;
  }
  if (threads > 1) {
    packed_product_parallel(kern, threads, m, n, k, a, rsa, csa, b, rsb, csb, c, rsc, csc);
    return;
  }
  packed_product(kern, m, n, k, a, rsa, csa, b, rsb, csb, c, rsc, csc);
}

void sgemm(std::size_t m, std::size_t n, std::size_t k, const float* a, std::ptrdiff_t rsa,
           std::ptrdiff_t csa, const float* b, std::ptrdiff_t rsb, std::ptrdiff_t csb, float* c,
           std::ptrdiff_t rsc, std::ptrdiff_t csc) {
  sgemm_with(sgemm_active_kernel(), true, m, n, k, a, rsa, csa, b, rsb, csb, c, rsc, csc);
}

}  // namespace quarn::gemm
