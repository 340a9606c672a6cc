// The plain scalar renderer: the reference every fast path must equal, word
// for word, and what the others fall back to.
#pragma once
#include <cstdint>
#include <cstring>

constexpr int MAX_ITERATIONS = 128;

// A view of the plane: the frame spans 3/zoom by 2/zoom around its centre.
struct ViewState {
    float zoom;
    float centerRe;  // point shown by the centre pixel
    float centerIm;
};

// Whether two views are the same bit for bit: a tick that leaves the view so
// leaves it so for good.
inline bool SameView(const ViewState& a, const ViewState& b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// Step count 0..128 of z <- z^2 + c from z = 0; 128 means it never escaped.
int EscapeCount(float cr, float ci);

// Colour word for step count n (0..128): HsvToColor(1, n, n < 128).
uint32_t StepColor(int n);

// The point each pixel of a W x H frame of the view shows: the operations, in
// their order, that every renderer uses.
struct FrameScales {
    float rowScale, colScale;
};

inline FrameScales Scales(const ViewState& view, int32_t W, int32_t H)
{
    const float halfZoom = view.zoom * 0.5f;
    return {static_cast<float>(H) * halfZoom, static_cast<float>(W) * halfZoom};
}

inline float RowIm(const ViewState& view, const FrameScales& scales, int32_t H, int32_t y)
{
    return static_cast<float>(y - (H >> 1)) / scales.rowScale + view.centerIm;
}

inline float ColumnRe(const ViewState& view, const FrameScales& scales, int32_t W, int32_t x)
{
    return (static_cast<float>(x - (W >> 1)) * 1.5f) / scales.colScale + view.centerRe;
}

// A rectangle of a frame's pixels: the column and row of its top left
// corner, its width and its height.
struct FrameRect {
    int32_t x, y, width, height;
};

// Writes the W x H words of the view, row after row from the top.
void RenderReference(const ViewState& view, uint32_t* pixels, int32_t W, int32_t H);

// Writes rows firstRow up to (not including) endRow of `part` of the W x H
// frame of the view, the very words the whole frame holds there: the part's
// row r goes to pixels + r * stride.
void RenderReferencePart(const ViewState& view, int32_t W, int32_t H, const FrameRect& part, uint32_t* pixels,
                         int32_t stride, int32_t firstRow, int32_t endRow);
