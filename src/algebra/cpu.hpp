#pragma once
// What the processor offers beyond baseline x86-64, asked once per process, and
// the run-time choice of field multiply that follows from it.
//
// The fast multiply needs BMI2 (MULX: a product that leaves the flags alone)
// and ADX (ADCX/ADOX: two independent carry chains). Both only use the general
// registers, so no operating-system support needs checking beyond CPUID.

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <cpuid.h>
#define ALGEBRA_X86_ASM 1
#else
#define ALGEBRA_X86_ASM 0
#endif

namespace algebra {

namespace cpu {

// CPUID leaf 7, sub-leaf 0: EBX bit 8 is BMI2, bit 19 is ADX.
inline bool has_mulx_adx() noexcept {
#if ALGEBRA_X86_ASM
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return false;
    constexpr unsigned BMI2 = 1u << 8, ADX = 1u << 19;
    return (ebx & (BMI2 | ADX)) == (BMI2 | ADX);
#else
    return false;
#endif
}

// AVX2 (leaf 7 EBX bit 5), usable only when the operating system saves the
// YMM registers: OSXSAVE (leaf 1 ECX bit 27) and XCR0 bits 1 and 2.
inline bool has_avx2() noexcept {
#if ALGEBRA_X86_ASM
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0 || (ecx & (1u << 27)) == 0) return false;
    unsigned xcr0_low = 0, xcr0_high = 0;
    __asm__("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
    if ((xcr0_low & 6u) != 6u) return false;
    if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return false;
    return (ebx & (1u << 5)) != 0;
#else
    return false;
#endif
}

// AVX-512 F and IFMA (leaf 7 EBX bits 16 and 21), usable only when the
// operating system saves the opmask and ZMM registers as well: XCR0 bits 1,
// 2 and 5 to 7.
inline bool has_avx512ifma() noexcept {
#if ALGEBRA_X86_ASM
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0 || (ecx & (1u << 27)) == 0) return false;
    unsigned xcr0_low = 0, xcr0_high = 0;
    __asm__("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
    if ((xcr0_low & 0xE6u) != 0xE6u) return false;
    if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return false;
    constexpr unsigned AVX512F = 1u << 16, IFMA = 1u << 21;
    return (ebx & (AVX512F | IFMA)) == (AVX512F | IFMA);
#else
    return false;
#endif
}

}  // namespace cpu

namespace detail {

// Whether constant-time table scans use AVX2; chosen once, like the multiply.
inline bool scan_with_avx2 = cpu::has_avx2();

// Read by every field multiply: a plain load and a branch that always goes the
// same way. Static storage is zeroed before any dynamic initialisation, so a
// multiply run by another static initialiser before this one takes the portable
// path, which gives the same limbs.
inline bool multiply_with_mulx_adx = cpu::has_mulx_adx();

}  // namespace detail

// Whether field multiplies currently use the MULX/ADX assembly.
inline bool fast_multiply() noexcept { return detail::multiply_with_mulx_adx; }

// For tests and benchmarks only: switch between the assembly and the portable
// multiply, which must agree limb for limb. Switching on is refused when the
// processor lacks the instructions; returns the setting now in force. Call it
// only while no other thread is computing in a field.
inline bool set_fast_multiply(bool on) noexcept {
    detail::multiply_with_mulx_adx = on && cpu::has_mulx_adx();
    return detail::multiply_with_mulx_adx;
}

// Whether constant-time table scans currently use AVX2.
inline bool avx2_scan() noexcept { return detail::scan_with_avx2; }

// For tests and benchmarks only, like set_fast_multiply: both scans must
// select the same entries.
inline bool set_avx2_scan(bool on) noexcept {
    detail::scan_with_avx2 = on && cpu::has_avx2();
    return detail::scan_with_avx2;
}

}  // namespace algebra
