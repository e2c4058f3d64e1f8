// The vector type of the hot loops, and their compilation once per
// instruction set, picked when the library loads. Thread-sanitizer builds get
// the generic version only: its runtime is not ready when the loader runs the
// choosing functions.
#pragma once

namespace morvat::vexolin {

// Sixteen floats as one vector: one register with AVX-512, two or four with
// narrower instruction sets; the arithmetic per lane is the same.
typedef float Lanes16 __attribute__((vector_size(64)));

}  // namespace morvat::vexolin

#if defined(__x86_64__) && !defined(__SANITIZE_THREAD__)
#define VEXOLIN_SIMD_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define VEXOLIN_SIMD_CLONES
#endif
