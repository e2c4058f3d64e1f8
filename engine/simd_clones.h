// Hot loops are compiled once per instruction set and picked when the
// library loads. Thread-sanitizer builds get the generic version only: its
// runtime is not ready when the loader runs the choosing functions.
#pragma once

#if defined(__x86_64__) && !defined(__SANITIZE_THREAD__)
#define VEXOLIN_SIMD_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define VEXOLIN_SIMD_CLONES
#endif
