#include "span.h"

#include <algorithm>

bool LayOutSpan(const FrameRect* monitors, int count, SpanLayout* layout)
{
    // In 64 bits: a rectangle's right edge may lie past INT32_MAX.
    int64_t left = INT64_MAX, top = INT64_MAX, right = INT64_MIN, bottom = INT64_MIN;
    for (int i = 0; i < count; ++i) {
        const FrameRect& m = monitors[i];
        if (m.width <= 0 || m.height <= 0)
            continue;
        left = std::min<int64_t>(left, m.x);
        top = std::min<int64_t>(top, m.y);
        right = std::max<int64_t>(right, int64_t(m.x) + m.width);
        bottom = std::max<int64_t>(bottom, int64_t(m.y) + m.height);
    }
    if (left == INT64_MAX || right - left > INT32_MAX || bottom - top > INT32_MAX)
        return false;
    *layout = {static_cast<int32_t>(right - left), static_cast<int32_t>(bottom - top), static_cast<int32_t>(left),
               static_cast<int32_t>(top)};
    return true;
}

FrameRect SpanPart(const SpanLayout& layout, const FrameRect& monitor)
{
    return {static_cast<int32_t>(int64_t(monitor.x) - layout.left), static_cast<int32_t>(int64_t(monitor.y) - layout.top),
            monitor.width, monitor.height};
}
