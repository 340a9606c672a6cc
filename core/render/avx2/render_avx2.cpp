// AVX2 kernel: 8 lanes a vector.
#include "render/grid_kernel.h"
#include "render/vex_step.h"

#include <immintrin.h>

namespace {

struct Avx2 {
    static constexpr int kLanes = 8;
    using F = __m256;
    using I = __m256i;
    using M = __m256;  // all ones in the lanes it holds

    static F Broadcast(float x) { return _mm256_set1_ps(x); }
    static F Add(F a, F b) { return _mm256_add_ps(a, b); }
    static F Sub(F a, F b) { return _mm256_sub_ps(a, b); }
    static F Mul(F a, F b) { return _mm256_mul_ps(a, b); }
    static I Counts(int n) { return _mm256_set1_epi32(n); }

    // Ordered greater-than is false for NaN, which the reference does not count as an escape.
    static M StayActive(M active, F r2, F four) { return _mm256_andnot_ps(_mm256_cmp_ps(r2, four, _CMP_GT_OQ), active); }
    static I CountActive(I n, M active) { return _mm256_sub_epi32(n, _mm256_castps_si256(active)); }

    static bool AnyLane(M lanes) { return _mm256_movemask_ps(lanes) != 0; }
    static M FirstLanes(int count)
    {
        return _mm256_castsi256_ps(_mm256_cmpgt_epi32(_mm256_set1_epi32(count), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7)));
    }
    static F LoadColumns(const float* re) { return _mm256_loadu_ps(re); }
    static I Cap(I n, int most) { return _mm256_min_epi32(n, Counts(most)); }
    static void Store(uint32_t* words, I w) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(words), w); }

    static F ToFloat(I n) { return _mm256_cvtepi32_ps(n); }
    // Truncation toward zero, then the low byte: how the colour conversion takes a byte.
    static I LowByte(F x) { return _mm256_and_si256(_mm256_cvttps_epi32(x), Counts(0xFF)); }
    static I ShiftLeft(I a, int bits) { return _mm256_slli_epi32(a, bits); }
    static I Or(I a, I b) { return _mm256_or_si256(a, b); }
    static F WhereBelow(I n, int limit, F x)
    {
        return _mm256_and_ps(_mm256_castsi256_ps(_mm256_cmpgt_epi32(Counts(limit), n)), x);
    }

#if defined(__x86_64__)
    static constexpr bool kOwnStep = false;
#else
    // One step with two temporaries, so that three vectors' z fit in the 8
    // registers; c, 4, the mask and the count are memory operands.
    static constexpr bool kOwnStep = true;
    static void Step(F& zr, F& zi, const F& cr, const F& ci, M& active, I& n, const F& four)
    {
        F t1, t2;
        asm(VEX_Z_STEP
            "vcmpps $30, %[four], %[t1], %[t1]\n\t"  // ordered |z|^2 > 4: escaped
            "vandnps %[active], %[t1], %[t2]\n\t"
            "vmovups %[t2], %[active]\n\t"
            "vmovdqu %[n], %[t1]\n\t"
            "vpsubd %[t2], %[t1], %[t1]\n\t"
            "vmovdqu %[t1], %[n]"
            : [zr] "+x"(zr), [zi] "+x"(zi), [active] "+m"(active), [n] "+m"(n), [t1] "=&x"(t1), [t2] "=&x"(t2)
            : [cr] "m"(cr), [ci] "m"(ci), [four] "m"(four));
    }
#endif
};

// Vectors in flight and steps between checks, measured fastest on Zen 4 for
// the 16 vector registers of the 64-bit build and the 8 of the 32-bit one.
#if defined(__x86_64__)
constexpr int kVectors = 4, kStepsPerCheck = 8;
#else
constexpr int kVectors = 3, kStepsPerCheck = 10;
#endif

}  // namespace

void RenderGridAvx2(const FrameGrid& grid)
{
    RenderGrid<Avx2, kVectors, kStepsPerCheck>(grid);
}
