#include "render/reference.h"

#include "color.h"

int EscapeCount(float cr, float ci)
{
    float zr = 0.0f, zi = 0.0f, zr2 = 0.0f, zi2 = 0.0f;
    int n = 0;
    for (;;) {
        const float t = zr * 2.0f;
        zr = (zr2 - zi2) + cr;
        zi = zi * t + ci;
        zr2 = zr * zr;
        zi2 = zi * zi;
        if (zr2 + zi2 > 4.0f)
            return n;
        if (++n >= MAX_ITERATIONS)
            return MAX_ITERATIONS;
    }
}

// Every pixel's word depends only on its step count, so the 129 possible
// words are computed once by HsvToColor itself.
struct StepColorTable {
    uint32_t words[MAX_ITERATIONS + 1];
    StepColorTable()
    {
        for (int n = 0; n <= MAX_ITERATIONS; ++n)
            words[n] = HsvToColor(1.0f, static_cast<float>(n), n < MAX_ITERATIONS ? 1.0f : 0.0f);
    }
};
static const StepColorTable stepColors;

uint32_t StepColor(int n)
{
    return stepColors.words[n];
}

void RenderReference(const ViewState& view, uint32_t* pixels, int32_t W, int32_t H)
{
    RenderReferencePart(view, W, H, {0, 0, W, H}, pixels, W, 0, H);
}

void RenderReferencePart(const ViewState& view, int32_t W, int32_t H, const FrameRect& part, uint32_t* pixels,
                         int32_t stride, int32_t firstRow, int32_t endRow)
{
    const FrameScales scales = Scales(view, W, H);
    for (int32_t r = firstRow; r < endRow; ++r) {
        const float ci = RowIm(view, scales, H, part.y + r);
        uint32_t* row = pixels + static_cast<int64_t>(r) * stride;
        for (int32_t c = 0; c < part.width; ++c)
            row[c] = stepColors.words[EscapeCount(ColumnRe(view, scales, W, part.x + c), ci)];
    }
}
