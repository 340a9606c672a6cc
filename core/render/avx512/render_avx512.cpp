// AVX-512F kernel: 16 lanes a vector, with mask registers for the lanes.
#include "render/scheduler.h"

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
    static void Store(int32_t* counts, I n) { _mm512_storeu_si512(counts, n); }
};

// Vectors in flight and steps between checks, for the 16 vector registers of
// the 64-bit build (32 with AVX-512) and the 8 of the 32-bit one. Not measured:
// none of our machines has AVX-512, so these are the AVX2 kernel's choices.
#if defined(__x86_64__)
constexpr int kVectors = 4, kStepsPerCheck = 4;
#else
constexpr int kVectors = 2, kStepsPerCheck = 8;
#endif

}  // namespace

void RenderFrameAvx512(const FrameGrid& grid)
{
    RenderGrid<Avx512, kVectors, kStepsPerCheck>(grid);
}
