// SSE2 kernel: 4 pixels a vector, several vectors in flight.
#include "render/kernels.h"

#include <emmintrin.h>

// The benchmark builds this file a second time, under another name and kept
// to 8 vector registers, to estimate the speed of 32-bit code.
#ifndef SSE2_KERNEL_NAME
#define SSE2_KERNEL_NAME RenderFrameSse2
#endif

namespace {

constexpr int kLanes = 4;
// Independent vectors iterated side by side to hide the latency of one step
// (about 9 cycles). Three measured fastest both with 16 registers and with
// the 8 of 32-bit code, where some state then lives on the stack.
constexpr int kSlots = 3;
// Steps between checks for finished vectors; divides 128, so no pixel runs
// past 128 counted steps.
constexpr int kStepsPerCheck = 4;
constexpr int kMaxSteps = 128;

}  // namespace

void SSE2_KERNEL_NAME(const FrameGrid& grid)
{
    const __m128 two = _mm_set1_ps(2.0f);
    const __m128 four = _mm_set1_ps(4.0f);
    const __m128i laneIndex = _mm_setr_epi32(0, 1, 2, 3);

    __m128 zr[kSlots], zi[kSlots], zr2[kSlots], zi2[kSlots], cr[kSlots], ci[kSlots], active[kSlots];
    __m128i n[kSlots];
    uint32_t* out[kSlots];
    int32_t count[kSlots];
    int steps[kSlots];

    // The next chunk of up to 4 pixels of one row.
    int32_t nextY = 0, nextX = 0;
    int busy = 0;
    auto start = [&](int k) {
        if (nextY >= grid.height) {
            out[k] = nullptr;
            active[k] = _mm_setzero_ps();
            return;
        }
        count[k] = grid.width - nextX < kLanes ? grid.width - nextX : kLanes;
        cr[k] = _mm_loadu_ps(grid.columnRe + nextX);
        ci[k] = _mm_set1_ps(grid.rowIm[nextY]);
        zr[k] = zi[k] = zr2[k] = zi2[k] = _mm_setzero_ps();
        n[k] = _mm_setzero_si128();
        active[k] = _mm_castsi128_ps(_mm_cmpgt_epi32(_mm_set1_epi32(count[k]), laneIndex));
        steps[k] = 0;
        out[k] = grid.pixels + static_cast<int64_t>(nextY) * grid.width + nextX;
        ++busy;
        nextX += kLanes;
        if (nextX >= grid.width) {
            nextX = 0;
            ++nextY;
        }
    };

    for (int k = 0; k < kSlots; ++k)
        start(k);
    while (busy > 0) {
        for (int s = 0; s < kStepsPerCheck; ++s) {
#pragma GCC unroll 8
            for (int k = 0; k < kSlots; ++k) {
                const __m128 t = _mm_mul_ps(zr[k], two);
                zr[k] = _mm_add_ps(_mm_sub_ps(zr2[k], zi2[k]), cr[k]);
                zi[k] = _mm_add_ps(_mm_mul_ps(zi[k], t), ci[k]);
                zr2[k] = _mm_mul_ps(zr[k], zr[k]);
                zi2[k] = _mm_mul_ps(zi[k], zi[k]);
                // The escape is recorded on the step it happens: the mask is
                // sticky, since later steps of an escaped lane reach inf and NaN.
                const __m128 escaped = _mm_cmpgt_ps(_mm_add_ps(zr2[k], zi2[k]), four);
                active[k] = _mm_andnot_ps(escaped, active[k]);
                n[k] = _mm_sub_epi32(n[k], _mm_castps_si128(active[k]));  // active lanes are -1
            }
        }
#pragma GCC unroll 8
        for (int k = 0; k < kSlots; ++k) {
            steps[k] += kStepsPerCheck;
            if (out[k] && (_mm_movemask_ps(active[k]) == 0 || steps[k] >= kMaxSteps)) {
                alignas(16) int32_t counts[kLanes];
                _mm_store_si128(reinterpret_cast<__m128i*>(counts), n[k]);
                for (int32_t i = 0; i < count[k]; ++i)
                    out[k][i] = grid.colors[counts[i]];
                --busy;
                start(k);
            }
        }
    }
}
