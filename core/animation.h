// The animation: renders the current view of the Mandelbrot set into a
// buffer of pixel words and advances the view from tick to tick.
// Platform-free; the window shell calls AnimationTick from its timer.
#pragma once
#include "render/reference.h"

#include <cstdint>

// The view the animation starts from.
constexpr ViewState kFirstView = {1.0f, -0.75f, 0.5f};

// The animation's only state: the view the next tick renders. AdvanceView
// moves it on; the screen saver sets it to the view of the tick it starts
// from, moves it on with ViewAfterTicks, and sets it back to kFirstView once
// a tick leaves it unchanged (the zoom can go no deeper); tests set it.
extern ViewState viewState;

// Writes the W x H words of the current view through the plain reference
// renderer, row after row from the top.
void RenderFrame(uint32_t* pixels, int32_t W, int32_t H);

// Grows the zoom by 0.1 and, if the word at the frame's centre index is
// non-zero (the centre point escaped), drifts the centre by (+0.0001, -0.0001).
// A null buffer or a negative W or H has no word to read; it counts as zero.
void AdvanceView(const uint32_t* pixels, int32_t W, int32_t H);

// One tick: render the frame through the chosen render path (which gives the
// same words as RenderFrame), then advance the view.
void AnimationTick(uint32_t* pixels, int32_t W, int32_t H);

// The view that `ticks` calls of AnimationTick(pixels, W, H) lead to from
// `view`, bit for bit, without rendering: the view that tick `ticks` + 1
// renders. Zero or negative `ticks` return `view`. Neither viewState nor the
// buffer is touched, and nothing is kept between calls, so any thread may call
// it at any time.
//
// A tick's advance depends on the frame's centre word alone. A non-empty frame
// (W > 0 and H > 0) gets that word from the view, exactly as the renderer
// computes it, and `pixels` is not read (it may be null). An empty frame
// (W == 0 or H == 0) renders nothing, so each of its ticks reads the same word
// that the buffer holds at CenterIndex(W, H) (zero with a null buffer); a
// negative W or H reads none. The buffer must hold that index, as for
// AnimationTick.
//
// A tick leads from a view to one that depends on that view alone, so once a
// tick leaves the view unchanged bit for bit every later tick does too, and the
// view is returned at once. From kFirstView at any non-empty size the view
// stops changing after 18,073,710 ticks (the zoom stops growing), so any
// larger count returns in the time of those.
ViewState ViewAfterTicks(ViewState view, int64_t ticks, const uint32_t* pixels, int32_t W, int32_t H);

// Index of the frame's centre word, (H >> 1) * W + (W >> 1).
inline int64_t CenterIndex(int32_t W, int32_t H)
{
    return static_cast<int64_t>(H >> 1) * W + (W >> 1);
}
