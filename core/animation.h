// The animation: renders the current view of the Mandelbrot set into a
// buffer of pixel words and advances the view from tick to tick.
// Platform-free; the window shell calls AnimationTick from its timer.
#pragma once
#include <cstdint>

constexpr int MAX_ITERATIONS = 128;

// The animation's only state. Written by AdvanceView alone (tests may set it).
struct ViewState {
    float zoom;      // the frame spans 3/zoom by 2/zoom
    float centerRe;  // point shown by the centre pixel
    float centerIm;
};
extern ViewState viewState;

// Step count 0..128 of z <- z^2 + c from z = 0; 128 means it never escaped.
int EscapeCount(float cr, float ci);

// Colour word for step count n (0..128): the table of HsvToColor(1, n, n < 128).
uint32_t StepColor(int n);

// Writes the W x H words of the current view, row after row from the top.
// This is the plain reference renderer.
void RenderFrame(uint32_t* pixels, int32_t W, int32_t H);

// Grows the zoom by 0.1 and, if the word at the frame's centre index is
// non-zero (the centre point escaped), drifts the centre by (+0.0001, -0.0001).
// A null buffer has no word to read and counts as zero.
void AdvanceView(const uint32_t* pixels, int32_t W, int32_t H);

// One tick: render the frame (through the fastest renderer, which gives the
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
