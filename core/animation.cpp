#include "animation.h"

#include "render/dispatch.h"

#include <cstring>

ViewState viewState = kFirstView;

namespace {

// The word an empty or negative frame's tick tests: whatever the buffer holds
// at the centre index. A negative size has no words, not even a leftover one
// to test: its centre index would point before the buffer.
uint32_t LeftoverWord(const uint32_t* pixels, int32_t W, int32_t H)
{
    return pixels && W >= 0 && H >= 0 ? pixels[CenterIndex(W, H)] : 0;
}

// The view after one tick whose frame has `centreWord` at its centre index.
ViewState NextView(ViewState view, uint32_t centreWord)
{
    view.zoom = view.zoom + 0.1f;
    if (centreWord != 0) {
        view.centerRe = static_cast<float>(static_cast<double>(view.centerRe) + 0.0001);
        view.centerIm = static_cast<float>(static_cast<double>(view.centerIm) - 0.0001);
    }
    return view;
}

}  // namespace

void RenderFrame(uint32_t* pixels, int32_t W, int32_t H)
{
    RenderReference(viewState, pixels, W, H);
}

void AdvanceView(const uint32_t* pixels, int32_t W, int32_t H)
{
    viewState = NextView(viewState, LeftoverWord(pixels, W, H));
}

void AnimationTick(uint32_t* pixels, int32_t W, int32_t H)
{
    RenderViewOnPath(CurrentRenderPath(), viewState, pixels, W, H);
    AdvanceView(pixels, W, H);
}

ViewState ViewAfterTicks(ViewState view, int64_t ticks, const uint32_t* pixels, int32_t W, int32_t H)
{
    const bool rendered = W > 0 && H > 0;
    const uint32_t leftover = rendered ? 0 : LeftoverWord(pixels, W, H);
    // The centre point's step count is worked out again only when the point
    // moves: once the drift has stopped, a tick costs a few operations.
    float pointRe = 0.0f, pointIm = 0.0f;
    uint32_t pointWord = 0;
    bool known = false;
    for (int64_t tick = 0; tick < ticks; ++tick) {
        uint32_t word = leftover;
        if (rendered) {
            const FrameScales scales = Scales(view, W, H);
            const float re = ColumnRe(view, scales, W, W >> 1), im = RowIm(view, scales, H, H >> 1);
            if (!known || std::memcmp(&re, &pointRe, 4) != 0 || std::memcmp(&im, &pointIm, 4) != 0) {
                pointRe = re;
                pointIm = im;
                pointWord = StepColor(EscapeCount(re, im));
                known = true;
            }
            word = pointWord;
        }
        const ViewState next = NextView(view, word);
        if (SameView(next, view))
            break;
        view = next;
    }
    return view;
}
