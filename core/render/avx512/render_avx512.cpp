// AVX-512F kernel: 16 lanes a vector, with mask registers for the lanes.
#include "render/grid_kernel.h"
#include "render/vex_step.h"

#include <immintrin.h>

namespace {

struct Avx512 {
    static constexpr int kLanes = 16;
    using F = __m512;
    using I = __m512i;
    using M = __mmask16;  // a bit for each lane it holds

    static F Broadcast(float x) { return _mm512_set1_ps(x); }
    static F Add(F a, F b) { return _mm512_add_ps(a, b); }
    static F Sub(F a, F b) { return _mm512_sub_ps(a, b); }
    static F Mul(F a, F b) { return _mm512_mul_ps(a, b); }
    static I Counts(int n) { return _mm512_set1_epi32(n); }

    // Not-greater is true for NaN, which the reference does not count as an escape.
    static M StayActive(M active, F r2, F four) { return _mm512_mask_cmp_ps_mask(active, r2, four, _CMP_NGT_UQ); }
    static I CountActive(I n, M active) { return _mm512_mask_add_epi32(n, active, n, Counts(1)); }

    static bool AnyLane(M lanes) { return lanes != 0; }
    static M FirstLanes(int count) { return static_cast<M>((1u << count) - 1); }
    static F LoadColumns(const float* re) { return _mm512_loadu_ps(re); }
    static I Cap(I n, int most)
    {
        return _mm512_mask_mov_epi32(n, _mm512_cmpgt_epi32_mask(n, Counts(most)), Counts(most));
    }
    static void Store(uint32_t* words, I w) { _mm512_storeu_si512(words, w); }

    // These three name all lanes by a mask, which compiles to the plain
    // instruction: GCC 12's unmasked forms warn of an undefined pass-through.
    static F ToFloat(I n) { return _mm512_maskz_cvtepi32_ps(0xFFFF, n); }
    // Truncation toward zero, then the low byte: how the colour conversion takes a byte.
    static I LowByte(F x) { return _mm512_and_si512(_mm512_maskz_cvttps_epi32(0xFFFF, x), Counts(0xFF)); }
    static I ShiftLeft(I a, int bits) { return _mm512_maskz_slli_epi32(0xFFFF, a, bits); }
    static I Or(I a, I b) { return _mm512_or_si512(a, b); }
    static F WhereBelow(I n, int limit, F x) { return _mm512_maskz_mov_ps(_mm512_cmplt_epi32_mask(n, Counts(limit)), x); }

#if defined(__x86_64__)
    static constexpr bool kOwnStep = false;
#else
    // One step with two temporaries, so that three vectors' z fit in the 8
    // registers; c, 4 and the count are memory operands.
    static constexpr bool kOwnStep = true;
    static void Step(F& zr, F& zi, const F& cr, const F& ci, M& active, I& n, const F& four)
    {
        static const int32_t one = 1;
        F t1, t2;
        M stay;
        asm(VEX_Z_STEP
            "vcmpps $26, %[four], %[t1], %[stay]%{%[active]%}\n\t"  // active and not |z|^2 > 4
            "vmovdqu32 %[n], %[t2]\n\t"
            "vpaddd %[one]%{1to16%}, %[t2], %[t2]%{%[stay]%}\n\t"
            "vmovdqu32 %[t2], %[n]"
            : [zr] "+v"(zr), [zi] "+v"(zi), [stay] "=&Yk"(stay), [n] "+m"(n), [t1] "=&v"(t1), [t2] "=&v"(t2)
            : [active] "Yk"(active), [cr] "m"(cr), [ci] "m"(ci), [four] "m"(four), [one] "m"(one));
        active = stay;
    }
#endif
};

// Vectors in flight and steps between checks, measured fastest on Zen 4 for
// the 32 vector registers of the 64-bit build and the 8 of the 32-bit one.
#if defined(__x86_64__)
constexpr int kVectors = 5, kStepsPerCheck = 4;
#else
constexpr int kVectors = 3, kStepsPerCheck = 10;
#endif

}  // namespace

void RenderGridAvx512(const FrameGrid& grid)
{
    RenderGrid<Avx512, kVectors, kStepsPerCheck>(grid);
}
