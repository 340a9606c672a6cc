// The animation: renders the current view of the Mandelbrot set into a
// buffer of pixel words and advances the view from tick to tick.
// Platform-free; the window shell calls AnimationTick from its timer.
#pragma once
#include "render/reference.h"

#include <cstdint>

// The animation's only state. Written by AdvanceView alone (tests may set it).
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

// Advances the view exactly as AnimationTick would, but renders only the
// centre word that decides the drift. Valid because the centre pixel is
// computed at exactly the centre point; an empty frame writes no word.
void SkipTick(uint32_t* pixels, int32_t W, int32_t H);

// Index of the frame's centre word, (H >> 1) * W + (W >> 1).
inline int64_t CenterIndex(int32_t W, int32_t H)
{
    return static_cast<int64_t>(H >> 1) * W + (W >> 1);
}
