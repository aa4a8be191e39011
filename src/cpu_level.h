#pragma once
// Whether the CPU has the instructions of the x86-64 level a build was made
// for (CLASSIFY_CPU_LEVEL: 2, 3 or 4), asked of the CPU itself: the first
// thing a program's entry does, before the C runtime starts, on Linux and
// on Windows alike. Compiled for the base x86-64 instructions, with no stack
// protector and no library call.
#include <cpuid.h>

#include <cstdint>

#ifndef CLASSIFY_CPU_LEVEL
#error "CLASSIFY_CPU_LEVEL must name the level: 2, 3 or 4 (x86-64-v2, -v3, -v4)"
#endif

namespace {

// The extended control register that says which vector registers the
// operating system saves: AVX needs the SSE and AVX state, AVX-512 also the
// three of its own.
__attribute__((no_stack_protector)) uint64_t enabled_state() {
  uint32_t low, high;
  asm volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
  return (static_cast<uint64_t>(high) << 32) | low;
}

__attribute__((no_stack_protector)) bool has(uint32_t reg, int bit) { return (reg >> bit) & 1; }

// The instructions of the level and those below it. x86-64-v2: CMPXCHG16B,
// LAHF-SAHF, POPCNT, SSE3, SSE4.1, SSE4.2, SSSE3; v3: AVX, AVX2, BMI1, BMI2,
// F16C, FMA, LZCNT, MOVBE, XSAVE, with the operating system saving the AVX
// state; v4: AVX512F, BW, CD, DQ, VL, with the AVX-512 state.
__attribute__((no_stack_protector)) bool cpu_has_level() {
  uint32_t a, b, c, d;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
  const bool v2 = has(c, 13) && has(c, 0) && has(c, 9) && has(c, 19) && has(c, 20) && has(c, 23);
  const bool v3_leaf1 =
      has(c, 28) && has(c, 12) && has(c, 29) && has(c, 22) && has(c, 26) && has(c, 27);
  if (!v2) return false;
  uint32_t ax, bx, cx, dx;
  if (!__get_cpuid(0x80000001, &ax, &bx, &cx, &dx) || !has(cx, 0)) return false;
  if (CLASSIFY_CPU_LEVEL < 3) return true;
  if (!v3_leaf1 || !has(cx, 5) || __get_cpuid_max(0, nullptr) < 7) return false;
  if ((enabled_state() & 0x6) != 0x6) return false;
  uint32_t a7, b7, c7, d7;
  __cpuid_count(7, 0, a7, b7, c7, d7);
  if (!(has(b7, 5) && has(b7, 3) && has(b7, 8))) return false;
  if (CLASSIFY_CPU_LEVEL < 4) return true;
  return has(b7, 16) && has(b7, 30) && has(b7, 28) && has(b7, 17) && has(b7, 31) &&
         (enabled_state() & 0xE6) == 0xE6;
}

}  // namespace
