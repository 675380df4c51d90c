// The one check helper of the C++ test programs: counts passes and failures,
// prints the first failures, and gives main its exit status.
#pragma once

#include <cstdio>
#include <string>

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

}  // namespace quarn_test
