// The one kernel design that every instruction set shares, written over a
// small set of per-set operations (an `Ops` struct in each kernel's file):
// which pixels are in flight, when a vector takes new ones, and how their
// step counts become words.
//
// kVectors vectors of Ops::kLanes lanes iterate side by side to hide the
// latency of one step; each works on a chunk of up to kLanes neighbouring
// pixels of one row. Every kStepsPerCheck steps a vector whose lanes have all
// finished stores its chunk's words and takes the next chunk. The check is one
// branch a vector, taken once a chunk: cheap when not taken. (Refilling lanes
// one by one, and checks without branches, measured slower: their extra work
// at every check costs more than the idle lanes they save.)
//
// The step keeps only z in registers: z^2's parts are recomputed from it,
// which gives the same bits as carrying them. An instruction set may bring
// its own step (kOwnStep), the same operations in the same order with the
// registers allocated by hand: the 32-bit build has only 8 vector registers,
// and the compiler's choice there spills z, whose store and reload then lie
// on the loop-carried chain. A lane's count starts at -1 and
// the test of z0 = 0 (never an escape) brings it to 0, so after testing z_j a
// lane still inside holds j, exactly as the reference counts. A lane that
// escaped stops counting (the mask is sticky: escaped lanes go on to inf and
// NaN). A chunk runs until no lane is active or a check finds that more than
// 128 steps have run, and counts past 128 (from the steps up to that check)
// are capped, then coloured in the vector: no second pass over the frame.
#pragma once
#include "render/kernels.h"
#include "render/reference.h"

#include <cstdint>
#include <utility>

// Compiled once per instruction set, with that set's flags: everything stays
// internal to each kernel's file, since a shared copy picked by the linker
// could run one set's instructions on a CPU that lacks them.
namespace {

// Calls body(k) for k = 0 .. count - 1 with k a compile-time constant, so
// that per-vector arrays indexed by k can live in registers.
template <class Body, int... k>
__attribute__((always_inline)) inline void ForEachIndex(std::integer_sequence<int, k...>, Body&& body)
{
    (body(std::integral_constant<int, k>()), ...);
}

// The word of each lane's step count n (0 to 128): HsvToColor(1, n, n < 128)
// by its own operations, as the reference colours a count. Hue 1 lies in
// sector 0, whose word holds p, t and V from byte 2 down.
template <class Ops>
__attribute__((always_inline)) inline typename Ops::I StepWords(typename Ops::I n)
{
    using F = typename Ops::F;
    const float f = static_cast<float>(1.0 / 60.0);  // h / 60 - i, rounded as HsvToColor rounds it
    const F one = Ops::Broadcast(1.0f);
    const F s = Ops::ToFloat(n);
    const F V = Ops::WhereBelow(n, MAX_ITERATIONS, Ops::Broadcast(255.0f));  // v * 255, with v = 1 or 0
    const F p = Ops::Mul(Ops::Sub(one, s), V);
    const F t = Ops::Mul(Ops::Sub(one, Ops::Mul(Ops::Broadcast(1.0f - f), s)), V);
    return Ops::Or(Ops::Or(Ops::ShiftLeft(Ops::LowByte(p), 16), Ops::ShiftLeft(Ops::LowByte(t), 8)),
                   Ops::LowByte(V));
}

template <class Ops, int kVectors, int kStepsPerCheck>
void RenderGrid(const FrameGrid& grid)
{
    using F = typename Ops::F;
    using I = typename Ops::I;
    using M = typename Ops::M;
    constexpr int kLanes = Ops::kLanes;
    constexpr auto kEach = std::make_integer_sequence<int, kVectors>();

    // The lanes in flight, one array element a vector, indexed only by
    // compile-time constants so that they can stay in registers.
    F zr[kVectors], zi[kVectors], cr[kVectors], ci[kVectors];
    M active[kVectors];
    I n[kVectors];
    uint32_t* words[kVectors];  // where each chunk's words go; null once there are no more
    int32_t size[kVectors];     // pixels in each chunk
    int steps[kVectors];        // steps each chunk has run

    // The next chunk, in grid order, and where its words go in the frame.
    // Frames the kernels get have word indices that fit in 32 unsigned bits
    // (the dispatcher checks its largest side against that).
    int32_t nextX = 0, nextY = grid.firstRow;
    uint32_t nextAt = static_cast<uint32_t>(grid.rowStart[nextY]) * static_cast<uint32_t>(grid.stride);
    int busy = 0;

    auto start = [&](int k) __attribute__((always_inline)) {
        if (nextY >= grid.endRow) {
            // Idle until the other vectors are done: no lane counts.
            words[k] = nullptr;
            size[k] = 0;
            steps[k] = 0;
            cr[k] = ci[k] = zr[k] = zi[k] = Ops::Broadcast(0.0f);
            n[k] = Ops::Counts(0);
            active[k] = Ops::FirstLanes(0);
            return;
        }
        size[k] = grid.columns - nextX < kLanes ? grid.columns - nextX : kLanes;
        cr[k] = Ops::LoadColumns(grid.columnRe + nextX);
        ci[k] = Ops::Broadcast(grid.rowIm[nextY]);
        zr[k] = zi[k] = Ops::Broadcast(0.0f);
        n[k] = Ops::Counts(-1);
        active[k] = Ops::FirstLanes(size[k]);
        steps[k] = 0;
        words[k] = grid.pixels + nextAt;
        ++busy;
        nextAt += size[k];
        nextX += size[k];
        if (nextX == grid.columns) {
            nextX = 0;
            if (++nextY < grid.endRow)
                nextAt = static_cast<uint32_t>(grid.rowStart[nextY]) * static_cast<uint32_t>(grid.stride);
        }
    };

    ForEachIndex(kEach, [&](auto k) __attribute__((always_inline)) { start(k); });
    const F four = Ops::Broadcast(4.0f);
    while (busy > 0) {
#pragma GCC unroll 16
        for (int s = 0; s < kStepsPerCheck; ++s) {
            ForEachIndex(kEach, [&](auto k) __attribute__((always_inline)) {
                if constexpr (Ops::kOwnStep) {
                    Ops::Step(zr[k], zi[k], cr[k], ci[k], active[k], n[k], four);
                } else {
                    const F zr2 = Ops::Mul(zr[k], zr[k]);
                    const F zi2 = Ops::Mul(zi[k], zi[k]);
                    active[k] = Ops::StayActive(active[k], Ops::Add(zr2, zi2), four);
                    n[k] = Ops::CountActive(n[k], active[k]);
                    const F twiceZr = Ops::Add(zr[k], zr[k]);  // the same bits as zr * 2
                    zi[k] = Ops::Add(Ops::Mul(zi[k], twiceZr), ci[k]);
                    zr[k] = Ops::Add(Ops::Sub(zr2, zi2), cr[k]);
                }
            });
        }
        ForEachIndex(kEach, [&](auto k) __attribute__((always_inline)) {
            if (!words[k])
                return;  // idle: no chunks left for it
            steps[k] += kStepsPerCheck;
            if (!Ops::AnyLane(active[k]) || steps[k] > MAX_ITERATIONS) {
                const I chunkWords = StepWords<Ops>(Ops::Cap(n[k], MAX_ITERATIONS));
                if (size[k] == kLanes) {
                    Ops::Store(words[k], chunkWords);
                } else {
                    alignas(64) uint32_t lane[kLanes];
                    Ops::Store(lane, chunkWords);
                    for (int i = 0; i < size[k]; ++i)
                        words[k][i] = lane[i];
                }
                --busy;
                start(k);
            }
        });
    }
}

}  // namespace
