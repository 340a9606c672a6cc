// What the dispatcher hands to the SIMD kernels: the frame's distinct pixel
// coordinates, computed once per frame by the same operations as the
// reference renderer.
#pragma once
#include <cstdint>

// Deep in the zoom neighbouring columns (and rows) get bitwise-equal
// coordinates, and equal coordinates give equal words. So a kernel renders
// only the distinct ones: distinct rows firstRow up to endRow of a grid
// `columns` wide. Distinct row r's words go to the start of row rowStart[r]
// of what is rendered (the frame, or a part of it), the first row it fills;
// the dispatcher then spreads them over the rest. Rows apart are untouched,
// so bands of rows can be rendered at once.
struct FrameGrid {
    uint32_t* pixels;         // what is rendered: the frame, or a part of it
    int32_t stride;           // words from one of its rows to the next
    const int32_t* rowStart;  // its row of each distinct row
    int32_t columns;          // at least 1
    int32_t firstRow, endRow;  // firstRow < endRow
    const float* columnRe;    // cr of each distinct column; readable up to 16 floats past the last
    const float* rowIm;       // ci of each distinct row
};

// Each kernel, void RenderGrid<Set>(const FrameGrid& grid), writes the word of
// every pixel of the grid's rows. It is compiled with its own instruction
// set's flags and may only run where the CPU has that set: the dispatcher's
// table of render paths (dispatch.cpp) declares it and says what it needs.
