// What the dispatcher hands to the SIMD kernels: the frame's distinct pixel
// coordinates, computed once per frame by the same operations as the
// reference renderer.
#pragma once
#include <cstdint>

// Deep in the zoom neighbouring columns (and rows) get bitwise-equal
// coordinates, and equal coordinates give equal words. So a kernel renders
// only the distinct ones: a grid of `columns` x `rows` pixels, row-major with
// `columns` a row, at the start of `pixels`; the dispatcher then spreads
// their words over the whole frame.
struct FrameGrid {
    uint32_t* pixels;
    int32_t columns, rows;    // both at least 1
    const float* columnRe;    // cr of each distinct column; readable up to 16 floats past the last
    const float* rowIm;       // ci of each distinct row
};

// Each kernel writes the word of every pixel of the grid.
// They are compiled with their own instruction-set flags and may only run
// where the CPU has that set.
void RenderFrameSse2(const FrameGrid& grid);
void RenderFrameAvx2(const FrameGrid& grid);
void RenderFrameAvx512(const FrameGrid& grid);
