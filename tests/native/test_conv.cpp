// The unit-stride convolution path (B panels copied from the padded image,
// the GEMM micro-kernel called directly) with every kernel set and panel
// copy this CPU runs, held against the column-block path through the
// reference kernel's GEMM driver, over windows that exercise padding,
// dilation, groups, edge row tiles and panels overhanging the image.
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "engine/conv/conv.hpp"
#include "engine/cpu_features.hpp"
#include "engine/gemm/kernels/kernels.hpp"

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

struct Copy {
  const char* name;
  quarn::engine::PanelCopy fn;
  std::size_t multiple;
  bool supported;
};

}  // namespace

int main() {
  const quarn::engine::CpuFeatures& f = quarn::engine::cpu_features();
  std::vector<Copy> copies = {{"baseline", quarn::engine::panel_copy_baseline, 1, true}};
#if defined(__x86_64__)
  copies.push_back({"avx2", quarn::engine::panel_copy_avx2, 8, f.has_avx2_fma()});
  copies.push_back({"avx512", quarn::engine::panel_copy_avx512, 16, f.has_avx512()});
#endif
  const Case cases[] = {
      {2, 3, 7, 6, 4, 3, 3, 1, 1, 1, 1, 1},    {1, 4, 9, 8, 6, 3, 2, 0, 2, 1, 2, 2},
      {2, 2, 6, 7, 17, 4, 2, 2, 1, 2, 1, 1},   {1, 1, 5, 5, 3, 5, 5, 2, 2, 1, 1, 1},
      {1, 8, 12, 40, 29, 3, 3, 1, 1, 1, 1, 1}, {3, 6, 5, 4, 6, 2, 2, 0, 0, 1, 1, 3},
      {2, 4, 6, 9, 64, 3, 3, 1, 1, 1, 1, 1},   {1, 4, 7, 5, 32, 2, 3, 1, 0, 2, 1, 2},
  };
  std::mt19937 gen(7);
  for (const Case& k : cases) {
    const Storage x = random_storage(Shape{k.n, k.c, k.h, k.w}, gen);
    const Storage w = random_storage(Shape{k.o, k.c / k.groups, k.kh, k.kw}, gen);
    const Window win = window_of(k);
    const Storage want = quarn::engine::convolution_by_columns(x, w, win);
    for (const quarn::gemm::SgemmKernel& kern : quarn::gemm::sgemm_kernels()) {
      if (!kern.supported(f)) continue;
      for (const Copy& copy : copies) {
        if (!copy.supported || kern.nr % copy.multiple != 0) continue;
        const Storage got = quarn::engine::convolution_shifted_with(kern, copy.fn, x, w, win);
        const std::string what = std::string(kern.name) + "/" + copy.name + " case o=" + std::to_string(k.o);
        check(got.numel() == want.numel(), what + ": the path applies");
        if (got.numel() != want.numel()) continue;
        double worst = 0, scale = 0;
        for (std::size_t i = 0; i < want.numel(); ++i) {
          worst = std::max(worst, std::fabs(double(got.data_as<float>()[i]) - want.data_as<float>()[i]));
          scale = std::max(scale, std::fabs(double(want.data_as<float>()[i])));
        }
        check(worst <= 1e-5 * (scale + 1), what + ": matches the column-block path");
      }
    }
  }
  return quarn_test::report();
}
