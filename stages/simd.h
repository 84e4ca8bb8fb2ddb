// Builds the inner loops for more than one instruction set where the platform allows it.
#pragma once

// The inner loops run on the widest vectors the processor has: where the compiler can choose at
// run time (x86-64 Linux builds with optimisation), each of these functions is built for AVX2
// besides the baseline and the processor picks one when the program starts. AVX2 adds wider
// registers, not other arithmetic (no fused multiply-add), so both give the same results.
#if defined(ZEL_RUNTIME_SIMD) && defined(__x86_64__) && defined(__linux__)
#define ZEL_SIMD_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define ZEL_SIMD_CLONES
#endif
