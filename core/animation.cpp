#include "animation.h"

#include "render/render.h"

#include <cstring>

ViewState viewState = {1.0f, -0.75f, 0.5f};

void RenderFrame(uint32_t* pixels, int32_t W, int32_t H)
{
    RenderReference(viewState, pixels, W, H);
}

void AdvanceView(const uint32_t* pixels, int32_t W, int32_t H)
{
    viewState.zoom = viewState.zoom + 0.1f;
    // A negative size has no words, not even a leftover one to test: its
    // centre index would point before the buffer.
    const uint32_t word = pixels && W >= 0 && H >= 0 ? pixels[CenterIndex(W, H)] : 0;
    if (word != 0) {
        viewState.centerRe = static_cast<float>(static_cast<double>(viewState.centerRe) + 0.0001);
        viewState.centerIm = static_cast<float>(static_cast<double>(viewState.centerIm) - 0.0001);
    }
}

void AnimationTick(uint32_t* pixels, int32_t W, int32_t H)
{
    RenderFrameWith(CurrentRenderPath(), viewState, pixels, W, H);
    AdvanceView(pixels, W, H);
}

void SkipTick(uint32_t* pixels, int32_t W, int32_t H)
{
    // The centre word depends on the centre point alone, which stays put once
    // the view has settled, so the last one is remembered.
    static bool known = false;
    static float knownRe, knownIm;
    static uint32_t knownWord;
    if (W > 0 && H > 0) {
        if (!known || std::memcmp(&knownRe, &viewState.centerRe, 4) != 0 ||
            std::memcmp(&knownIm, &viewState.centerIm, 4) != 0) {
            knownRe = viewState.centerRe;
            knownIm = viewState.centerIm;
            knownWord = StepColor(EscapeCount(knownRe, knownIm));
            known = true;
        }
        pixels[CenterIndex(W, H)] = knownWord;
    }
    AdvanceView(pixels, W, H);
}
