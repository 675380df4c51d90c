// Single-precision general matrix multiply, C <- A * B, on the calling
// thread. Each matrix is given by its first element and its row and column
// strides in elements, of either sign (0 too, for broadcast operands). C is
// only written, never read: with k == 0 it becomes zeros. Any of m, n, k may
// be 0. C must not overlap A or B.
//
// Throws std::bad_alloc when the packing buffers cannot be had.
#pragma once

#include <cstddef>

namespace quarn::gemm {

struct SgemmKernel;

void sgemm(std::size_t m, std::size_t n, std::size_t k, const float* a, std::ptrdiff_t rsa,
           std::ptrdiff_t csa, const float* b, std::ptrdiff_t rsb, std::ptrdiff_t csb, float* c,
           std::ptrdiff_t rsc, std::ptrdiff_t csc);

// The same with a given kernel set instead of the one chosen for this CPU,
// so that the tests can hold every set against the reference. `direct`
// false keeps small products on the packed path as well.
void sgemm_with(const SgemmKernel& kernel, bool direct, std::size_t m, std::size_t n,
                std::size_t k, const float* a, std::ptrdiff_t rsa, std::ptrdiff_t csa,
                const float* b, std::ptrdiff_t rsb, std::ptrdiff_t csb, float* c,
                std::ptrdiff_t rsc, std::ptrdiff_t csc);

// How many threads sgemm would use for an m x n x k product (1: the
// calling thread alone), so that a caller with many small products can
// share them out itself.
std::size_t sgemm_threads(std::size_t m, std::size_t n, std::size_t k);

// The kernel set chosen for this CPU, once per process.
const SgemmKernel& sgemm_active_kernel();

}  // namespace quarn::gemm
