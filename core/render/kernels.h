// What the dispatcher hands to the SIMD kernels: the frame and its pixel
// coordinates, computed once per frame by the same operations as RenderFrame.
#pragma once
#include <cstdint>

struct FrameGrid {
    uint32_t* pixels;
    int32_t width, height;    // both at least 1
    const float* columnRe;    // cr of each column; readable up to 16 floats past width
    const float* rowIm;       // ci of each row
    const uint32_t* colors;   // word of each step count 0..128
};

// Fills the per-frame coordinate tables for the current view (static storage:
// a frame allocates nothing). W and H are 1 to 65535.
FrameGrid PrepareFrameGrid(uint32_t* pixels, int32_t W, int32_t H);

// Each kernel writes every word of the frame. They are compiled with their
// own instruction-set flags and may only run where the CPU has that set.
void RenderFrameSse2(const FrameGrid& grid);
void RenderFrameAvx2(const FrameGrid& grid);
void RenderFrameAvx512(const FrameGrid& grid);
