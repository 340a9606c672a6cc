// SSE2 kernel: 4 lanes a vector.
#include "render/grid_kernel.h"

#include <emmintrin.h>

namespace {

struct Sse2 {
    static constexpr int kLanes = 4;
    using F = __m128;
    using I = __m128i;
    using M = __m128;  // all ones in the lanes it holds

    static F Broadcast(float x) { return _mm_set1_ps(x); }
    static F Add(F a, F b) { return _mm_add_ps(a, b); }
    static F Sub(F a, F b) { return _mm_sub_ps(a, b); }
    static F Mul(F a, F b) { return _mm_mul_ps(a, b); }
    static I Counts(int n) { return _mm_set1_epi32(n); }

    // Greater-than is false for NaN, which the reference does not count as an escape.
    static M StayActive(M active, F r2, F four) { return _mm_andnot_ps(_mm_cmpgt_ps(r2, four), active); }
    static I CountActive(I n, M active) { return _mm_sub_epi32(n, _mm_castps_si128(active)); }

    static bool AnyLane(M lanes) { return _mm_movemask_ps(lanes) != 0; }
    static M FirstLanes(int count)
    {
        return _mm_castsi128_ps(_mm_cmpgt_epi32(_mm_set1_epi32(count), _mm_setr_epi32(0, 1, 2, 3)));
    }
    static F LoadColumns(const float* re) { return _mm_loadu_ps(re); }
    static I Cap(I n, int most)  // SSE2 has no integer minimum
    {
        const I over = _mm_cmpgt_epi32(n, Counts(most));
        return _mm_or_si128(_mm_and_si128(over, Counts(most)), _mm_andnot_si128(over, n));
    }
    static void Store(uint32_t* words, I w) { _mm_storeu_si128(reinterpret_cast<__m128i*>(words), w); }

    static F ToFloat(I n) { return _mm_cvtepi32_ps(n); }
    // Truncation toward zero, then the low byte: how the colour conversion takes a byte.
    static I LowByte(F x) { return _mm_and_si128(_mm_cvttps_epi32(x), Counts(0xFF)); }
    static I ShiftLeft(I a, int bits) { return _mm_slli_epi32(a, bits); }
    static I Or(I a, I b) { return _mm_or_si128(a, b); }
    static F WhereBelow(I n, int limit, F x) { return _mm_and_ps(_mm_castsi128_ps(_mm_cmplt_epi32(n, Counts(limit))), x); }

#if defined(__x86_64__)
    static constexpr bool kOwnStep = false;
#else
    // One step with two temporaries, so that three vectors' z fit in the 8
    // registers; c, 4, the mask and the count are memory operands.
    static constexpr bool kOwnStep = true;
    static void Step(F& zr, F& zi, const F& cr, const F& ci, M& active, I& n, const F& four)
    {
        F t1, t2;
        asm("movaps %[zr], %[t1]\n\t"
            "mulps %[zr], %[t1]\n\t"      // zr^2
            "movaps %[zi], %[t2]\n\t"
            "mulps %[zi], %[t2]\n\t"      // zi^2
            "addps %[zr], %[zr]\n\t"      // 2 zr
            "mulps %[zr], %[zi]\n\t"
            "addps %[ci], %[zi]\n\t"      // zi * 2 zr + ci
            "movaps %[t1], %[zr]\n\t"
            "subps %[t2], %[zr]\n\t"
            "addps %[cr], %[zr]\n\t"      // (zr^2 - zi^2) + cr
            "addps %[t2], %[t1]\n\t"      // |z|^2
            "movaps %[four], %[t2]\n\t"
            "cmpltps %[t1], %[t2]\n\t"    // 4 < |z|^2: escaped
            "andnps %[active], %[t2]\n\t"
            "movups %[t2], %[active]\n\t"
            "movdqu %[n], %[t1]\n\t"
            "psubd %[t2], %[t1]\n\t"
            "movdqu %[t1], %[n]"
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

void RenderGridSse2(const FrameGrid& grid)
{
    RenderGrid<Sse2, kVectors, kStepsPerCheck>(grid);
}
