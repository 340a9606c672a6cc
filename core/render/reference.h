// The plain scalar renderer: the reference every fast path must equal, word
// for word, and what the others fall back to.
#pragma once
#include <cstdint>

constexpr int MAX_ITERATIONS = 128;

// A view of the plane: the frame spans 3/zoom by 2/zoom around its centre.
struct ViewState {
    float zoom;
    float centerRe;  // point shown by the centre pixel
    float centerIm;
};

// Step count 0..128 of z <- z^2 + c from z = 0; 128 means it never escaped.
int EscapeCount(float cr, float ci);

// Colour word for step count n (0..128): HsvToColor(1, n, n < 128).
uint32_t StepColor(int n);

// Writes the W x H words of the view, row after row from the top.
void RenderReference(const ViewState& view, uint32_t* pixels, int32_t W, int32_t H);
// The same for frame rows firstRow up to (not including) endRow alone.
void RenderReferenceRows(const ViewState& view, uint32_t* pixels, int32_t W, int32_t H, int32_t firstRow,
                         int32_t endRow);
