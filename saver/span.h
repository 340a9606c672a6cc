// One zoom across all monitors: one frame the size of the rectangle that
// bounds them all (the virtual screen), each monitor showing exactly its own
// part of it. Platform-free: monitors come in as screen rectangles.
#pragma once
#include "render/reference.h"

#include <cstdint>

struct SpanLayout {
    int32_t width, height;  // the frame
    int32_t left, top;      // where its top left corner lies on the screen
};

// The frame that spans the monitors, given as {x, y, width, height} on the
// screen (empty ones count for nothing). False, with nothing to span, when no
// monitor has pixels or the frame's sides would not fit 32 bits.
bool LayOutSpan(const FrameRect* monitors, int count, SpanLayout* layout);

// The monitor's part of the frame.
FrameRect SpanPart(const SpanLayout& layout, const FrameRect& monitor);
