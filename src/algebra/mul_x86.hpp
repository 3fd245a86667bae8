#pragma once
// Montgomery multiplication of 4-limb integers in x86-64 assembly with MULX,
// ADCX and ADOX (BMI2 + ADX). The caller checks that the processor has them
// (cpu.hpp); the assembler accepts them without any -march flag.
//
// Same algorithm as the portable multiply in field.hpp (word-by-word CIOS, one
// conditional subtraction at the end), so the limbs agree exactly. GCC turns
// the portable form into ~390 instructions full of 128-bit carry juggling; here
// MULX leaves the flags alone, so the low halves of a row of products are
// summed on the OF chain (ADOX) while the high halves ride the CF chain (ADCX),
// and the running sum never leaves registers.

#include <cstdint>

#include "algebra/bigint.hpp"
#include "algebra/cpu.hpp"

#if ALGEBRA_X86_ASM

namespace algebra::x86 {

// GCC sizes an asm statement by its line count when it decides what to
// inline, and then kept the field operators out of line; "asm inline" has it
// count the statement as small.
#if defined(__clang__)
#define ALGEBRA_X86_ASM_STATEMENT __asm__
#else
#define ALGEBRA_X86_ASM_STATEMENT __asm__ inline
#endif

// Optimised builds name the limbs the assembly reads, so the compiler may keep
// other values in registers across it; unoptimised builds cannot spare the
// address registers those operands take, and declare a memory clobber instead.
#if defined(__OPTIMIZE__)
#define ALGEBRA_X86_READS(...) , __VA_ARGS__
#define ALGEBRA_X86_CLOBBERS "rdx", "cc"
#else
#define ALGEBRA_X86_READS(...)
#define ALGEBRA_X86_CLOBBERS "rdx", "cc", "memory"
#endif

// Each step below works on the running sum t held in five registers T0..T4
// (least significant first); the steps rotate the names so that dropping the
// lowest word after a reduction costs no moves.

// t += a·b_i for i > 0, b_i at byte OFFSET of b. T4 is zero on entry (the
// word a reduction just cleared); the xor also clears both carry flags.
#define ALGEBRA_X86_MUL_ROW(OFFSET, T0, T1, T2, T3, T4) \
    "movq " #OFFSET                                     \
    "(%[b]), %%rdx\n\t"                                 \
    "xorl %k[" #T4 "], %k[" #T4                         \
    "]\n\t"                                             \
    "mulxq 0(%[a]), %[lo], %[hi]\n\t"                   \
    "adoxq %[lo], %[" #T0                               \
    "]\n\t"                                             \
    "adcxq %[hi], %[" #T1                               \
    "]\n\t"                                             \
    "mulxq 8(%[a]), %[lo], %[hi]\n\t"                   \
    "adoxq %[lo], %[" #T1                               \
    "]\n\t"                                             \
    "adcxq %[hi], %[" #T2                               \
    "]\n\t"                                             \
    "mulxq 16(%[a]), %[lo], %[hi]\n\t"                  \
    "adoxq %[lo], %[" #T2                               \
    "]\n\t"                                             \
    "adcxq %[hi], %[" #T3                               \
    "]\n\t"                                             \
    "mulxq 24(%[a]), %[lo], %[hi]\n\t"                  \
    "adoxq %[lo], %[" #T3                               \
    "]\n\t"                                             \
    "adcxq %[" #T4                                      \
    "], %[hi]\n\t"                                      \
    "adoxq %[hi], %[" #T4 "]\n\t"

// t += m·p with m = T0·INV mod 2^64, which makes T0 zero; t then fits in
// T1..T4 (it stays below 2p because p has a spare top bit), and T0, now zero,
// serves as the zero operand of the last carry.
#define ALGEBRA_X86_REDUCE(T0, T1, T2, T3, T4) \
    "movq %[" #T0                              \
    "], %%rdx\n\t"                             \
    "imulq %[inv], %%rdx\n\t"                  \
    "xorl %k[lo], %k[lo]\n\t"                  \
    "mulxq 0(%[p]), %[lo], %[hi]\n\t"          \
    "adcxq %[lo], %[" #T0                      \
    "]\n\t"                                    \
    "adoxq %[hi], %[" #T1                      \
    "]\n\t"                                    \
    "mulxq 8(%[p]), %[lo], %[hi]\n\t"          \
    "adcxq %[lo], %[" #T1                      \
    "]\n\t"                                    \
    "adoxq %[hi], %[" #T2                      \
    "]\n\t"                                    \
    "mulxq 16(%[p]), %[lo], %[hi]\n\t"         \
    "adcxq %[lo], %[" #T2                      \
    "]\n\t"                                    \
    "adoxq %[hi], %[" #T3                      \
    "]\n\t"                                    \
    "mulxq 24(%[p]), %[lo], %[hi]\n\t"         \
    "adcxq %[lo], %[" #T3                      \
    "]\n\t"                                    \
    "adoxq %[hi], %[" #T4                      \
    "]\n\t"                                    \
    "adcxq %[" #T0 "], %[" #T4 "]\n\t"

// a·b·2^(-256) mod p, fully reduced, for a, b < p; p odd with its top bit
// clear, inv = -p^(-1) mod 2^64. a and b may be the same object.
[[gnu::always_inline]] inline BigInt<4> montgomery_mul_mulx_adx(const BigInt<4>& a, const BigInt<4>& b,
                                                                const BigInt<4>& p, std::uint64_t inv) {
    std::uint64_t t0, t1, t2, t3, t4, lo, hi;
    ALGEBRA_X86_ASM_STATEMENT(
        // t = a·b_0: a single carry chain suffices on an empty sum.
        "movq 0(%[b]), %%rdx\n\t"
        "mulxq 0(%[a]), %[t0], %[t1]\n\t"
        "mulxq 8(%[a]), %[lo], %[t2]\n\t"
        "addq %[lo], %[t1]\n\t"
        "mulxq 16(%[a]), %[lo], %[t3]\n\t"
        "adcq %[lo], %[t2]\n\t"
        "mulxq 24(%[a]), %[lo], %[t4]\n\t"
        "adcq %[lo], %[t3]\n\t"
        "adcq $0, %[t4]\n\t" ALGEBRA_X86_REDUCE(t0, t1, t2, t3, t4) ALGEBRA_X86_MUL_ROW(8, t1, t2, t3, t4, t0)
            ALGEBRA_X86_REDUCE(t1, t2, t3, t4, t0) ALGEBRA_X86_MUL_ROW(16, t2, t3, t4, t0, t1) ALGEBRA_X86_REDUCE(
                t2, t3, t4, t0, t1) ALGEBRA_X86_MUL_ROW(24, t3, t4, t0, t1, t2) ALGEBRA_X86_REDUCE(t3, t4, t0, t1, t2)
        // t (in t4, t0, t1, t2) is below 2p: subtract p into copies and keep
        // them unless that borrowed. No branch on the data.
        "movq %[t4], %[lo]\n\t"
        "subq 0(%[p]), %[lo]\n\t"
        "movq %[t0], %[hi]\n\t"
        "sbbq 8(%[p]), %[hi]\n\t"
        "movq %[t1], %%rdx\n\t"
        "sbbq 16(%[p]), %%rdx\n\t"
        "movq %[t2], %[t3]\n\t"
        "sbbq 24(%[p]), %[t3]\n\t"
        "cmovncq %[lo], %[t4]\n\t"
        "cmovncq %[hi], %[t0]\n\t"
        "cmovncq %%rdx, %[t1]\n\t"
        "cmovncq %[t3], %[t2]\n\t"
        : [t0] "=&r"(t0), [t1] "=&r"(t1), [t2] "=&r"(t2), [t3] "=&r"(t3), [t4] "=&r"(t4), [lo] "=&r"(lo), [hi] "=&r"(hi)
        : [a] "r"(a.limbs.data()), [b] "r"(b.limbs.data()), [p] "r"(p.limbs.data()),
          [inv] "rm"(inv)ALGEBRA_X86_READS("m"(a.limbs), "m"(b.limbs), "m"(p.limbs))
        : ALGEBRA_X86_CLOBBERS);
    return BigInt<4>{{t4, t0, t1, t2}};
}

// a²·2^(-256) mod p, fully reduced, for a < p; same conditions as above.
// With a² = H·2^256 + L, the Montgomery reduction of a² is H plus that of L:
// the factors m depend on the low words only. The square takes 10 products
// (the cross products once, then doubled) instead of 16, and L's reduction
// is the multiply's step with a zero top word; H + u < 2p since H < p/2 and
// u <= p, so one conditional subtraction still finishes.
[[gnu::always_inline]] inline BigInt<4> montgomery_square_mulx_adx(const BigInt<4>& a, const BigInt<4>& p,
                                                                   std::uint64_t inv) {
    std::uint64_t r0, r1, r2, r3, r4, r5, r6, r7, lo, hi;
    // The address of a, and a spare word once a has been read.
    auto z = reinterpret_cast<std::uintptr_t>(a.limbs.data());
    ALGEBRA_X86_ASM_STATEMENT(
        // Cross products a_i·a_j (i < j) into r1..r6; r7 stays zero meanwhile.
        "xorl %k[r7], %k[r7]\n\t"
        "movq 0(%[z]), %%rdx\n\t"
        "mulxq 8(%[z]), %[r1], %[r2]\n\t"
        "mulxq 16(%[z]), %[lo], %[r3]\n\t"
        "adcxq %[lo], %[r2]\n\t"
        "mulxq 24(%[z]), %[lo], %[r4]\n\t"
        "adcxq %[lo], %[r3]\n\t"
        "movq 8(%[z]), %%rdx\n\t"
        "mulxq 16(%[z]), %[lo], %[hi]\n\t"
        "adoxq %[lo], %[r3]\n\t"
        "adcxq %[hi], %[r4]\n\t"
        "mulxq 24(%[z]), %[lo], %[r5]\n\t"
        "adoxq %[lo], %[r4]\n\t"
        "adcxq %[r7], %[r5]\n\t"
        "movq 16(%[z]), %%rdx\n\t"
        "mulxq 24(%[z]), %[lo], %[r6]\n\t"
        "adoxq %[lo], %[r5]\n\t"
        "adoxq %[r7], %[r6]\n\t"
        // Double them (CF chain) and add the squares a_i² (OF chain).
        "xorl %k[r7], %k[r7]\n\t"
        "movq 0(%[z]), %%rdx\n\t"
        "mulxq %%rdx, %[r0], %[hi]\n\t"
        "adcxq %[r1], %[r1]\n\t"
        "adoxq %[hi], %[r1]\n\t"
        "movq 8(%[z]), %%rdx\n\t"
        "mulxq %%rdx, %[lo], %[hi]\n\t"
        "adcxq %[r2], %[r2]\n\t"
        "adoxq %[lo], %[r2]\n\t"
        "adcxq %[r3], %[r3]\n\t"
        "adoxq %[hi], %[r3]\n\t"
        "movq 16(%[z]), %%rdx\n\t"
        "mulxq %%rdx, %[lo], %[hi]\n\t"
        "adcxq %[r4], %[r4]\n\t"
        "adoxq %[lo], %[r4]\n\t"
        "adcxq %[r5], %[r5]\n\t"
        "adoxq %[hi], %[r5]\n\t"
        "movq 24(%[z]), %%rdx\n\t"
        "mulxq %%rdx, %[lo], %[hi]\n\t"
        "adcxq %[r6], %[r6]\n\t"
        "adoxq %[lo], %[r6]\n\t"
        "adcxq %[r7], %[r7]\n\t"
        "adoxq %[hi], %[r7]\n\t"
        // Reduce L = r0..r3 into u; a has been read, so z joins as a zero word.
        "xorl %k[z], %k[z]\n\t" ALGEBRA_X86_REDUCE(r0, r1, r2, r3, z) ALGEBRA_X86_REDUCE(r1, r2, r3, z, r0)
            ALGEBRA_X86_REDUCE(r2, r3, z, r0, r1) ALGEBRA_X86_REDUCE(r3, z, r0, r1, r2)
        // u + H, then the conditional subtraction as in the multiply.
        "addq %[r4], %[z]\n\t"
        "adcq %[r5], %[r0]\n\t"
        "adcq %[r6], %[r1]\n\t"
        "adcq %[r7], %[r2]\n\t"
        "movq %[z], %[r4]\n\t"
        "subq 0(%[p]), %[r4]\n\t"
        "movq %[r0], %[r5]\n\t"
        "sbbq 8(%[p]), %[r5]\n\t"
        "movq %[r1], %[r6]\n\t"
        "sbbq 16(%[p]), %[r6]\n\t"
        "movq %[r2], %[r7]\n\t"
        "sbbq 24(%[p]), %[r7]\n\t"
        "cmovncq %[r4], %[z]\n\t"
        "cmovncq %[r5], %[r0]\n\t"
        "cmovncq %[r6], %[r1]\n\t"
        "cmovncq %[r7], %[r2]\n\t"
        : [r0] "=&r"(r0), [r1] "=&r"(r1), [r2] "=&r"(r2), [r3] "=&r"(r3), [r4] "=&r"(r4), [r5] "=&r"(r5),
          [r6] "=&r"(r6), [r7] "=&r"(r7), [lo] "=&r"(lo), [hi] "=&r"(hi), [z] "+&r"(z)
        // No operands naming the limbs read here: with z early-clobbered, one
        // for a would take a base register of its own, and an address-sanitised
        // build then runs out of registers.
        : [p] "r"(p.limbs.data()), [inv] "rm"(inv)
        : "rdx", "cc", "memory");
    return BigInt<4>{{static_cast<std::uint64_t>(z), r0, r1, r2}};
}

#undef ALGEBRA_X86_ASM_STATEMENT
#undef ALGEBRA_X86_READS
#undef ALGEBRA_X86_CLOBBERS
#undef ALGEBRA_X86_MUL_ROW
#undef ALGEBRA_X86_REDUCE

}  // namespace algebra::x86

#endif  // ALGEBRA_X86_ASM
