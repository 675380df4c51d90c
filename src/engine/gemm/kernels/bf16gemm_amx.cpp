// The AMX bfloat16 kernels: a 32 x 32 tile of C held in four 16 x 16 float32
// tile registers (2 x 2), with two A and two B tiles reloaded per block of
// 16 pairs, and the packing into the tile layout of bf16_amx_kernels.hpp.
#include <immintrin.h>

#include "engine/gemm/kernels/bf16_amx_kernels.hpp"

namespace quarn::gemm {

namespace {

constexpr std::size_t kTileBytes = 64;  // bytes per tile row, for every tile

// Palette 1's layout of the 64-byte operand of LDTILECFG.
struct alignas(64) TileConfig {
  std::uint8_t palette;
  std::uint8_t start_row;
  std::uint8_t reserved[14];
  std::uint16_t bytes_per_row[16];
  std::uint8_t rows[16];
};

std::ptrdiff_t off(std::size_t i) { return static_cast<std::ptrdiff_t>(i); }

std::uint32_t pair_word(std::uint16_t first, std::uint16_t second) {
  return static_cast<std::uint32_t>(first) | static_cast<std::uint32_t>(second) << 16;
}

// Value p of a lane, or zero past the end of k.
std::uint16_t value_at(const std::uint16_t* lane, std::ptrdiff_t ks, std::size_t p,
                       std::size_t kc) {
  return p < kc ? lane[off(p) * ks] : std::uint16_t{0};
}

}  // namespace

void bf16gemm_amx_pack_a(const std::uint16_t* src, std::ptrdiff_t ls, std::ptrdiff_t ks,
                         std::size_t lanes, std::size_t kc, std::uint32_t* dst) {
  const std::size_t pairs = (kc + 1) / 2;
  const std::size_t blocks = (pairs + kAmxPairsPerTile - 1) / kAmxPairsPerTile;
  // Lane by lane, each through all its blocks: where k is contiguous, a
  // lane's values are read front to back, not 32 rows of A a page apart
  // for every block.
  for (std::size_t i = 0; i < kAmxLanes; ++i) {
    for (std::size_t kb = 0; kb < blocks; ++kb) {
      const std::size_t p0 = 2 * kAmxPairsPerTile * kb;
      // Row i of the block's first or second tile.
      std::uint32_t* out = dst + (kb * 2 + i / 16) * kAmxTileWords + (i % 16) * kAmxPairsPerTile;
      if (i >= lanes) {
        for (std::size_t q = 0; q < kAmxPairsPerTile; ++q) out[q] = 0;
        continue;
      }
      const std::uint16_t* lane = src + off(i) * ls;
      if (ks == 1 && p0 + 2 * kAmxPairsPerTile <= kc) {
        // k contiguous: the pair words are the values as they lie.
        _mm512_store_si512(out, _mm512_loadu_si512(lane + off(p0)));
        continue;
      }
      for (std::size_t q = 0; q < kAmxPairsPerTile; ++q)
        out[q] = pair_word(value_at(lane, ks, p0 + 2 * q, kc), value_at(lane, ks, p0 + 2 * q + 1, kc));
    }
  }
}

void bf16gemm_amx_pack_b(const std::uint16_t* src, std::ptrdiff_t ls, std::ptrdiff_t ks,
                         std::size_t lanes, std::size_t kc, std::uint32_t* dst) {
  const std::size_t pairs = (kc + 1) / 2;
  const std::size_t blocks = (pairs + kAmxPairsPerTile - 1) / kAmxPairsPerTile;
  for (std::size_t kb = 0; kb < blocks; ++kb) {
    for (std::size_t q = 0; q < kAmxPairsPerTile; ++q) {
      const std::size_t p = 2 * (kb * kAmxPairsPerTile + q);
      std::uint32_t* out0 = dst + kb * 2 * kAmxTileWords + q * 16;
      std::uint32_t* out1 = out0 + kAmxTileWords;
      if (ls == 1 && lanes == kAmxLanes && p + 1 < kc) {
        // Columns contiguous: the two rows of k interleaved 16 bits at a
        // time, k = 2q into the lower halves. Within each 128-bit lane the
        // unpacks give columns 0-3 (lo) and 4-7 (hi) of that lane's eight.
        const std::uint16_t* r0 = src + off(p) * ks;
        const __m512i even = _mm512_loadu_si512(r0);
        const __m512i odd = _mm512_loadu_si512(r0 + ks);
        const __m512i lo = _mm512_unpacklo_epi16(even, odd);
        const __m512i hi = _mm512_unpackhi_epi16(even, odd);
        _mm512_store_si512(out0, _mm512_permutex2var_epi64(lo, _mm512_setr_epi64(0, 1, 8, 9, 2, 3, 10, 11), hi));
        _mm512_store_si512(out1, _mm512_permutex2var_epi64(lo, _mm512_setr_epi64(4, 5, 12, 13, 6, 7, 14, 15), hi));
        continue;
      }
      // Each tile's row through a pointer of its own. Not as
      // `(j < 16 ? out0 : out1)[j % 16]`: with UBSan's division and shift
      // checks, g++ 12 evaluates the saved index of such a subscript in the
      // first arm of the conditional only, and the second arm's stores (the
      // tile of columns 16-31) went to a stale position, leaving the rest
      // of that tile unwritten.
      for (std::size_t half = 0; half < 2; ++half) {
        std::uint32_t* out = half == 0 ? out0 : out1;
        for (std::size_t t = 0; t < kAmxPairsPerTile; ++t) {
          const std::size_t j = half * kAmxPairsPerTile + t;
          std::uint32_t word = 0;
          if (j < lanes) {
            const std::uint16_t* lane = src + off(j) * ls;
            word = pair_word(value_at(lane, ks, p, kc), value_at(lane, ks, p + 1, kc));
          }
          out[t] = word;
        }
      }
    }
  }
}

void bf16gemm_amx_pack_b_rows(const std::uint16_t* src, std::ptrdiff_t ks, std::size_t panels,
                              std::size_t kc, std::uint32_t* dst, std::size_t panel_words) {
  const std::size_t pairs = (kc + 1) / 2;
  const std::size_t blocks = (pairs + kAmxPairsPerTile - 1) / kAmxPairsPerTile;
  const __m512i first_half = _mm512_setr_epi64(0, 1, 8, 9, 2, 3, 10, 11);
  const __m512i second_half = _mm512_setr_epi64(4, 5, 12, 13, 6, 7, 14, 15);
  for (std::size_t q = 0; q < blocks * kAmxPairsPerTile; ++q) {
    const std::size_t p = 2 * q;
    const std::uint16_t* r0 = src + off(p) * ks;
    std::uint32_t* out0 = dst + q / kAmxPairsPerTile * 2 * kAmxTileWords + q % kAmxPairsPerTile * 16;
    for (std::size_t t = 0; t < panels; ++t, out0 += panel_words) {
      // As the fast path of bf16gemm_amx_pack_b, with a row past k (the
      // odd one of the last pair, or the padding) read as zeros.
      const __m512i even = p < kc ? _mm512_loadu_si512(r0 + off(t * kAmxLanes)) : _mm512_setzero_si512();
      const __m512i odd = p + 1 < kc ? _mm512_loadu_si512(r0 + ks + off(t * kAmxLanes)) : _mm512_setzero_si512();
      const __m512i lo = _mm512_unpacklo_epi16(even, odd);
      const __m512i hi = _mm512_unpackhi_epi16(even, odd);
      _mm512_store_si512(out0, _mm512_permutex2var_epi64(lo, first_half, hi));
      _mm512_store_si512(out0 + kAmxTileWords, _mm512_permutex2var_epi64(lo, second_half, hi));
    }
  }
}

namespace {

constexpr TileConfig every_tile_16x64() {
  TileConfig config{};
  config.palette = 1;
  for (int t = 0; t < 8; ++t) {
    config.bytes_per_row[t] = kTileBytes;
    config.rows[t] = 16;
  }
  return config;
}

// In static storage, filled before the program runs: the compiler's
// LDTILECFG intrinsic tells it that only the first 8 bytes are read, so the
// stores to a local configuration could be dropped as dead.
constexpr TileConfig kTileConfig = every_tile_16x64();

}  // namespace

void bf16gemm_amx_begin() { _tile_loadconfig(&kTileConfig); }

void bf16gemm_amx_end() { _tile_release(); }

void bf16gemm_amx_32x32(std::size_t blocks, const std::uint32_t* a, const std::uint32_t* b,
                        const float* from, std::ptrdiff_t ld_from, float* c, std::ptrdiff_t ldc) {
  const std::ptrdiff_t row_bytes = ldc * off(sizeof(float));
  float* c01 = c + 16;
  float* c10 = c + 16 * ldc;
  float* c11 = c10 + 16;
  // g++'s tile load intrinsic tells the compiler about the address only,
  // not that memory is read there: were this inlined after the packing
  // (or after a store to `from`), those stores could sink past the loads.
  // The barrier costs nothing at run time.
  __asm__ volatile("" ::: "memory");
  if (from != nullptr) {
    const std::ptrdiff_t from_bytes = ld_from * off(sizeof(float));
    _tile_loadd(0, from, from_bytes);
    _tile_loadd(1, from + 16, from_bytes);
    _tile_loadd(2, from + 16 * ld_from, from_bytes);
    _tile_loadd(3, from + 16 * ld_from + 16, from_bytes);
  } else {
    _tile_zero(0);
    _tile_zero(1);
    _tile_zero(2);
    _tile_zero(3);
  }
  for (std::size_t kb = 0; kb < blocks; ++kb) {
    _tile_loadd(4, a, kTileBytes);
    _tile_loadd(6, b, kTileBytes);
    _tile_dpbf16ps(0, 4, 6);
    _tile_loadd(7, b + kAmxTileWords, kTileBytes);
    _tile_dpbf16ps(1, 4, 7);
    _tile_loadd(5, a + kAmxTileWords, kTileBytes);
    _tile_dpbf16ps(2, 5, 6);
    _tile_dpbf16ps(3, 5, 7);
    a += 2 * kAmxTileWords;
    b += 2 * kAmxTileWords;
  }
  _tile_stored(0, c, row_bytes);
  _tile_stored(1, c01, row_bytes);
  _tile_stored(2, c10, row_bytes);
  _tile_stored(3, c11, row_bytes);
}

}  // namespace quarn::gemm
