// Processor features the rasterizer's vector paths choose by at run time.
#pragma once

// Marks a function compiled for AVX2; it may run only where cpuHasAvx2() holds.
#define QZ_AVX2 __attribute__((target("avx2")))

// Whether the processor runs AVX2 code; asked once.
inline bool cpuHasAvx2() {
  static const bool supported = __builtin_cpu_supports("avx2");
  return supported;
}
