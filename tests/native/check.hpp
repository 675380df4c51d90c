// The one check helper of the C++ test programs: counts passes and failures,
// prints the first failures, and gives main its exit status. Also the one
// reading of a stored element as a number, which several programs compare.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/dtype.hpp"
#include "engine/convert.hpp"

namespace quarn_test {

inline int g_passed = 0;
inline int g_failed = 0;

inline void check(bool ok, const std::string& what) {
  if (ok) {
    ++g_passed;
    return;
  }
  ++g_failed;
  if (g_failed <= 30) std::printf("FAIL: %s\n", what.c_str());
}

// Prints the totals; the program's exit status.
inline int report() {
  std::printf("%d passed, %d failed\n", g_passed, g_failed);
  return g_failed == 0 ? 0 : 1;
}

// The element at `p`, stored as dtype `d`, as a binary32 value (bool as 0
// or 1).
inline float element_value(quarn::DType d, const char* p) {
  std::uint16_t h;
  switch (d) {
    case quarn::DType::F16:
      std::memcpy(&h, p, 2);
      return quarn::engine::f16_to_f32(h);
    case quarn::DType::BF16:
      std::memcpy(&h, p, 2);
      return quarn::engine::bf16_to_f32(h);
    case quarn::DType::F32: {
      float f;
      std::memcpy(&f, p, 4);
      return f;
    }
    case quarn::DType::Bool:
      return static_cast<float>(static_cast<unsigned char>(*p));
  }
  return 0;
}

}  // namespace quarn_test
