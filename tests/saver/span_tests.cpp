// The layout of one zoom across all monitors.
#include "span.h"

#include <doctest/doctest.h>

#include <vector>

namespace {

bool Same(const FrameRect& a, const FrameRect& b)
{
    return a.x == b.x && a.y == b.y && a.width == b.width && a.height == b.height;
}

}  // namespace

TEST_CASE("the frame bounds the monitors, and each monitor's part lies where the monitor does")
{
    struct Case {
        const char* what;
        std::vector<FrameRect> monitors;
        SpanLayout frame;
        std::vector<FrameRect> parts;
    };
    const Case cases[] = {
        {"one monitor", {{0, 0, 1920, 1080}}, {1920, 1080, 0, 0}, {{0, 0, 1920, 1080}}},
        {"side by side, of different sizes",
         {{0, 0, 1920, 1080}, {1920, 0, 1280, 1024}},
         {3200, 1080, 0, 0},
         {{0, 0, 1920, 1080}, {1920, 0, 1280, 1024}}},
        {"stacked", {{0, 0, 1280, 1024}, {0, 1024, 1920, 1080}}, {1920, 2104, 0, 0},
         {{0, 0, 1280, 1024}, {0, 1024, 1920, 1080}}},
        {"a monitor left of and above the primary, at negative coordinates",
         {{0, 0, 1920, 1080}, {-1280, -300, 1280, 1024}},
         {3200, 1380, -1280, -300},
         {{1280, 300, 1920, 1080}, {0, 0, 1280, 1024}}},
        {"a gap between monitors, which the frame spans but no part covers",
         {{0, 0, 800, 600}, {1000, 700, 640, 480}},
         {1640, 1180, 0, 0},
         {{0, 0, 800, 600}, {1000, 700, 640, 480}}},
        {"an empty rectangle counts for nothing", {{50, 60, 0, 0}, {100, 100, 300, 200}}, {300, 200, 100, 100},
         {{-50, -40, 0, 0}, {0, 0, 300, 200}}},
    };
    for (const Case& c : cases) {
        CAPTURE(c.what);
        SpanLayout frame = {};
        REQUIRE(LayOutSpan(c.monitors.data(), static_cast<int>(c.monitors.size()), &frame));
        CHECK(frame.width == c.frame.width);
        CHECK(frame.height == c.frame.height);
        CHECK(frame.left == c.frame.left);
        CHECK(frame.top == c.frame.top);
        for (size_t i = 0; i < c.monitors.size(); ++i)
            CHECK(Same(SpanPart(frame, c.monitors[i]), c.parts[i]));
    }
}

TEST_CASE("nothing to span: no monitor with pixels, or a frame wider than 32 bits")
{
    SpanLayout frame = {7, 7, 7, 7};
    CHECK_FALSE(LayOutSpan(nullptr, 0, &frame));
    const FrameRect empty[] = {{0, 0, 0, 100}, {10, 10, 100, -1}};
    CHECK_FALSE(LayOutSpan(empty, 2, &frame));
    const FrameRect apart[] = {{INT32_MIN, 0, 100, 100}, {INT32_MAX - 100, 0, 100, 100}};
    CHECK_FALSE(LayOutSpan(apart, 2, &frame));
    CHECK(frame.width == 7);  // untouched
    const FrameRect widest[] = {{0, 0, 10, 10}, {INT32_MAX - 10, 0, 10, 10}};
    REQUIRE(LayOutSpan(widest, 2, &frame));
    CHECK(frame.width == INT32_MAX);
}
