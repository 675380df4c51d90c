// Entry points of the AMX file (bf16gemm_amx.cpp), for the baseline driver in
// bf16gemm_amx_driver.cpp, which calls them only after amx_bf16_usable().
//
// Packed layout, in tiles of 16 x 16 32-bit words (1 KiB): a pair word holds
// k = 2q in its lower half and k = 2q + 1 in its upper one, the order the
// tile instruction reads them in. Panels are 32 lanes wide and padded with
// zeros to whole tiles in both directions.
//   A panel (32 rows):    for each block of 16 pairs, the tile of rows 0-15
//                         then of rows 16-31; word (row i, pair q) at i * 16 + q
//   B panel (32 columns): for each block of 16 pairs, the tile of columns
//                         0-15 then of 16-31; word (pair q, column j) at q * 16 + j
#pragma once

#include <cstddef>
#include <cstdint>

namespace quarn::gemm {

inline constexpr std::size_t kAmxLanes = 32;        // rows of A / columns of B per panel
inline constexpr std::size_t kAmxPairsPerTile = 16;
inline constexpr std::size_t kAmxTileWords = 256;

// Words of one panel holding `kc` values of k.
inline std::size_t amx_panel_words(std::size_t kc) {
  const std::size_t blocks = (kc + 2 * kAmxPairsPerTile - 1) / (2 * kAmxPairsPerTile);
  return blocks * 2 * kAmxTileWords;
}

#if defined(__x86_64__)
// Panel packing: `lanes` (at most 32) real lanes, lane l's value p at
// src[l * lane_stride + p * k_stride].
void bf16gemm_amx_pack_a(const std::uint16_t* src, std::ptrdiff_t lane_stride,
                         std::ptrdiff_t k_stride, std::size_t lanes, std::size_t kc,
                         std::uint32_t* dst);
void bf16gemm_amx_pack_b(const std::uint16_t* src, std::ptrdiff_t lane_stride,
                         std::ptrdiff_t k_stride, std::size_t lanes, std::size_t kc,
                         std::uint32_t* dst);
// Whole panels of a B with unit column stride, `panels` of them side by
// side from src (row stride ks), panel t at dst + t * panel_words: B's
// rows are read front to back, each once, where bf16gemm_amx_pack_b reads
// 64 bytes of a row per panel.
void bf16gemm_amx_pack_b_rows(const std::uint16_t* src, std::ptrdiff_t ks, std::size_t panels,
                              std::size_t kc, std::uint32_t* dst, std::size_t panel_words);
// Configures the tile registers for this thread; bf16gemm_amx_end releases
// them.
void bf16gemm_amx_begin();
void bf16gemm_amx_end();
// One 32 x 32 tile of C (unit column stride, row stride ldc) from `blocks`
// blocks of 16 pairs. The sums continue from the 32 x 32 floats at `from`
// (row stride ld_from; it may be c itself), or start from zero when `from`
// is null.
void bf16gemm_amx_32x32(std::size_t blocks, const std::uint32_t* a, const std::uint32_t* b,
                        const float* from, std::ptrdiff_t ld_from, float* c, std::ptrdiff_t ldc);
#endif

}  // namespace quarn::gemm
