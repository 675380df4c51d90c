// The unit-stride convolution paths (register tiles reading the padded
// image in place), forward and weight gradient, with every set of tiles
// this CPU runs, held against the column-block paths through the GEMM
// driver, over windows that exercise padding, dilation, groups, edge tiles
// of channels and taps, panels overhanging the image and several blocks of
// taps and of output rows. Three-wide windows are also run through the
// tile over single taps, which must give the same bits as the tile over
// rows of taps.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "engine/conv/conv.hpp"
#include "engine/cpu_features.hpp"
#include "engine/conv/conv_isa.hpp"

namespace {

using quarn::DType;
using quarn::Shape;
using quarn::Storage;
using quarn::engine::Window;
using quarn_test::check;

Storage random_storage(const Shape& shape, std::mt19937& gen) {
  Storage s = Storage::allocate_row_major(DType::F32, shape);
  std::normal_distribution<float> dist;
  for (std::size_t i = 0; i < s.numel(); ++i) s.mutable_data_as<float>()[i] = dist(gen);
  return s;
}

struct Case {
  std::size_t n, c, h, w, o, kh, kw, ph, pw, dh, dw, groups;
};

Window window_of(const Case& k) {
  Window win;
  win.kh = k.kh;
  win.kw = k.kw;
  win.ph = k.ph;
  win.pw = k.pw;
  win.dh = k.dh;
  win.dw = k.dw;
  win.groups = k.groups;
  win.oh = k.h + 2 * k.ph - k.dh * (k.kh - 1);
  win.ow = k.w + 2 * k.pw - k.dw * (k.kw - 1);
  return win;
}

}  // namespace

double worst_gap(const Storage& got, const Storage& want) {
  double worst = 0, scale = 0;
  for (std::size_t i = 0; i < want.numel(); ++i) {
    worst = std::max(worst, std::fabs(double(got.data_as<float>()[i]) - want.data_as<float>()[i]));
    scale = std::max(scale, std::fabs(double(want.data_as<float>()[i])));
  }
  return worst / (scale + 1);
}

int main() {
  const quarn::engine::CpuFeatures& f = quarn::engine::cpu_features();
  const Case cases[] = {
      {2, 3, 7, 6, 4, 3, 3, 1, 1, 1, 1, 1},    {1, 4, 9, 8, 6, 3, 2, 0, 2, 1, 2, 2},
      {2, 2, 6, 7, 17, 4, 2, 2, 1, 2, 1, 1},   {1, 1, 5, 5, 3, 5, 5, 2, 2, 1, 1, 1},
      {1, 8, 12, 40, 29, 3, 3, 1, 1, 1, 1, 1}, {3, 6, 5, 4, 6, 2, 2, 0, 0, 1, 1, 3},
      {2, 4, 6, 9, 64, 3, 3, 1, 1, 1, 1, 1},   {1, 4, 7, 5, 32, 2, 3, 1, 0, 2, 1, 2},
      // Several blocks of taps (forward) and of output rows (weights),
      // channel panels past the widest weight tile, a 5 x 5 window.
      {2, 51, 9, 11, 70, 3, 3, 1, 1, 1, 1, 1}, {3, 6, 14, 13, 16, 5, 5, 0, 0, 1, 1, 1},
      {17, 1, 30, 28, 6, 5, 5, 0, 0, 1, 1, 1},
      // Padding past the window's reach: output rows longer than the
      // padded image's.
      {2, 3, 5, 6, 5, 2, 2, 3, 3, 1, 1, 1},
  };
  std::mt19937 gen(7);
  for (const Case& k : cases) {
    const Storage x = random_storage(Shape{k.n, k.c, k.h, k.w}, gen);
    const Shape w_shape{k.o, k.c / k.groups, k.kh, k.kw};
    const Storage w = random_storage(w_shape, gen);
    const Window win = window_of(k);
    const Storage g = random_storage(Shape{k.n, k.o, win.oh, win.ow}, gen);
    const Storage want = quarn::engine::convolution_by_columns(x, w, win);
    const Storage want_dw = quarn::engine::convolution_weight_by_columns(x, g, w_shape, win);
    for (const quarn::engine::ConvKernels* kern : quarn::engine::conv_kernel_sets()) {
      if (!kern->supported(f)) continue;
      const std::string what = std::string(kern->name) + " case c=" + std::to_string(k.c) + " o=" + std::to_string(k.o);
      const Storage got = quarn::engine::convolution_shifted_with(*kern, x, w, win);
      check(got.numel() == want.numel(), what + ": the forward path applies");
      if (got.numel() == want.numel())
        check(worst_gap(got, want) <= 1e-5, what + ": forward matches the column-block path");
      // Without the tile over rows of taps, every window takes the tile
      // over single taps: the same FMA chains, so the same bits.
      quarn::engine::ConvKernels per_tap = *kern;
      per_tap.forward_rows = nullptr;
      const Storage single = quarn::engine::convolution_shifted_with(per_tap, x, w, win);
      check(single.numel() == got.numel() &&
                std::memcmp(single.data(), got.data(), got.numel() * sizeof(float)) == 0,
            what + ": tiles over rows of taps and over single taps give the same bits");
      const Storage dw = quarn::engine::convolution_weight_shifted_with(*kern, x, g, w_shape, win);
      check(dw.numel() == want_dw.numel(), what + ": the weight path applies");
      if (dw.numel() == want_dw.numel())
        check(worst_gap(dw, want_dw) <= 1e-5, what + ": weight gradient matches the column-block path");
    }
  }
  return quarn_test::report();
}
