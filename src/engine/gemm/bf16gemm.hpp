// bfloat16 general matrix multiply into float32, C <- A * B, on the calling
// thread, with the pairwise dot-product instruction. Matrices are given as
// in sgemm.hpp (first element, row and column strides in elements, of
// either sign); A and B hold bfloat16 bit patterns.
//
// For operands that pass bf16_dot_exact, every element of C is the float32
// FMA chain over p = 0, 1, ..., k - 1 from +0, bit for bit: what the float32
// GEMM gives the widened operands when it runs one chain per element. For
// other operands the instruction's flushing of subnormals (and its products
// outside float32's range) may show, so callers check first.
//
// Throws std::bad_alloc when the packing buffers cannot be had.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quarn::gemm {

struct Bf16Kernel;

// The fastest set this CPU can run, chosen once per process, or null when
// the CPU lacks the instruction.
const Bf16Kernel* bf16gemm_active_kernel();

// When bfloat16 products take the instruction (operands passing
// bf16_dot_exact in every mode):
//  - kAuto, the default: where its tiles multiply faster than the float32
//    GEMM's on this CPU, measured once per process. The instruction does
//    two multiply-adds per lane, but how fast it issues differs between
//    cores: on the Intel core this was measured on, its tiles took 1.9
//    times as long per multiply-add as the float32 ones.
//  - kOn: whenever the CPU has it (for benchmarks and tests);
//  - kOff: never;
//  - kAmx: on the AMX tile unit where the CPU has it and the OS grants it
//    (bf16gemm_amx.hpp), else as kOn. Only on request: its sums are not the
//    FMA chain's bit for bit.
enum class Bf16DotMode { kAuto, kOn, kOff, kAmx };
void set_bf16_dot_mode(Bf16DotMode mode);
Bf16DotMode bf16_dot_mode();

// The set that serves a bfloat16 product now under the mode, or null for
// the float32 path.
const Bf16Kernel* bf16gemm_serving_kernel();

// kAuto's measurement: whether the active set's full tiles take less time
// per multiply-add than the float32 GEMM's, by a clear margin. False
// without the instruction.
bool bf16_dot_measured_faster();

// True when all n values lie in the range where the instruction's result is
// the FMA chain's (bf16_dot_exact_value in kernels/bf16_kernels.hpp).
bool bf16_dot_exact(const Bf16Kernel& kern, const std::uint16_t* values, std::size_t n);

void bf16gemm_with(const Bf16Kernel& kern, std::size_t m, std::size_t n, std::size_t k,
                   const std::uint16_t* a, std::ptrdiff_t rsa, std::ptrdiff_t csa,
                   const std::uint16_t* b, std::ptrdiff_t rsb, std::ptrdiff_t csb, float* c,
                   std::ptrdiff_t rsc, std::ptrdiff_t csc);

}  // namespace quarn::gemm
