#include "animation.h"
#include "emulated.h"

#include <doctest/doctest.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

uint32_t Bits(float f)
{
    uint32_t b;
    std::memcpy(&b, &f, 4);
    return b;
}

// Each test starts from the first view and leaves the view as it found it.
struct FreshView {
    ViewState saved = viewState;
    FreshView() { viewState = kFirstView; }
    ~FreshView() { viewState = saved; }
};

// A zeroed buffer holding the frame and the centre word, which an empty
// frame's tick reads even though the frame has no words.
std::vector<uint32_t> FrameBuffer(int32_t W, int32_t H)
{
    return std::vector<uint32_t>(std::max<int64_t>(int64_t(W) * H, CenterIndex(W, H) + 1));
}

// Runs `ticks` ticks at W x H, skipping the rendering of all but the last.
std::vector<uint32_t> FrameAtTick(int ticks, int32_t W, int32_t H)
{
    std::vector<uint32_t> pixels = FrameBuffer(W, H);
    viewState = ViewAfterTicks(viewState, ticks - 1, pixels.data(), W, H);
    AnimationTick(pixels.data(), W, H);
    return pixels;
}

}  // namespace

TEST_CASE("step counts at known points")
{
    CHECK(EscapeCount(0, 0) == 128);
    CHECK(EscapeCount(2, 0) == 1);
    CHECK(EscapeCount(1, 0) == 2);
    CHECK(EscapeCount(3, 0) == 0);
    CHECK(EscapeCount(-0.75f, 0.5f) == 5);
    CHECK(EscapeCount(0, 1) == 128);   // cycles with |z|^2 alternating 1 and 2
    CHECK(EscapeCount(-2, 0) == 128);  // |z|^2 stays exactly 4, never above
    CHECK(EscapeCount(-2.25f, 0.5f) == 0);
    CHECK(EscapeCount(0.26f, 0) > 20);  // just outside the cusp: slow escape, still escapes
    CHECK(EscapeCount(0.26f, 0) < 128);
}

TEST_CASE("only points that never escaped are black")
{
    CHECK(StepColor(128) == 0u);
    for (int n = 0; n < 128; ++n)
        CHECK(StepColor(n) != 0u);
}

TEST_CASE("the first frames map pixels to the expected points")
{
    FreshView view;
    SUBCASE("4 x 2: columns -2.25 -1.5 -0.75 0, rows -0.5 and 0.5")
    {
        std::vector<uint32_t> pixels(8, 0xDEADBEEF);
        RenderFrame(pixels.data(), 4, 2);
        const std::vector<uint32_t> row = {StepColor(0), StepColor(2), StepColor(5), StepColor(128)};
        CHECK(std::vector<uint32_t>(pixels.begin(), pixels.begin() + 4) == row);
        CHECK(std::vector<uint32_t>(pixels.begin() + 4, pixels.end()) == row);
    }
    SUBCASE("odd width 3: columns -1.75 -0.75 0.25")
    {
        std::vector<uint32_t> pixels(3);
        RenderFrame(pixels.data(), 3, 1);
        CHECK(pixels[0] == StepColor(EscapeCount(-1.75f, 0.5f)));
        CHECK(pixels[1] == StepColor(EscapeCount(-0.75f, 0.5f)));
        CHECK(pixels[2] == StepColor(EscapeCount(0.25f, 0.5f)));
    }
    SUBCASE("the imaginary part grows downwards")
    {
        std::vector<uint32_t> pixels(5);
        RenderFrame(pixels.data(), 1, 5);  // rows at 0.5 + (-2..2) * 0.4
        const float rows[] = {-0.3f, 0.1f, 0.5f, 0.9f, 1.3f};
        for (int y = 0; y < 5; ++y)
            CHECK(pixels[y] == StepColor(EscapeCount(-0.75f, rows[y])));
    }
}

TEST_CASE("the centre pixel shows exactly the centre point, for odd and even sizes")
{
    FreshView view;
    const ViewState views[] = {{1.0f, -0.75f, 0.5f}, {37.3f, -0.6614853f, 0.4115117f}, {12345.6f, 0.2501f, 1e-5f}};
    const int32_t sizes[][2] = {{1, 1}, {2, 1}, {1, 2}, {3, 3}, {4, 7}, {17, 10}, {64, 33}};
    for (const ViewState& v : views)
        for (const auto& size : sizes) {
            viewState = v;
            std::vector<uint32_t> pixels(static_cast<size_t>(size[0]) * size[1]);
            RenderFrame(pixels.data(), size[0], size[1]);
            CHECK(pixels[CenterIndex(size[0], size[1])] == StepColor(EscapeCount(v.centerRe, v.centerIm)));
        }
}

TEST_CASE("empty frames write nothing but still advance the view")
{
    FreshView view;
    std::vector<uint32_t> pixels = {0, 0, 0x00FFFFFF, 0};

    SUBCASE("height 0 tests word W >> 1")
    {
        AnimationTick(pixels.data(), 5, 0);
        CHECK(pixels == std::vector<uint32_t>{0, 0, 0x00FFFFFF, 0});
        CHECK(viewState.zoom == 1.1f);
        CHECK(viewState.centerRe == static_cast<float>(-0.75 + 0.0001));
        CHECK(viewState.centerIm == static_cast<float>(0.5 - 0.0001));
    }
    SUBCASE("width 0 tests word 0")
    {
        AnimationTick(pixels.data(), 0, 7);
        CHECK(viewState.zoom == 1.1f);
        CHECK(viewState.centerRe == -0.75f);
        CHECK(viewState.centerIm == 0.5f);
        pixels[0] = 0x000004FF;
        AnimationTick(pixels.data(), 0, 0);
        CHECK(viewState.zoom == 1.1f + 0.1f);
        CHECK(viewState.centerRe == static_cast<float>(-0.75 + 0.0001));
    }
    SUBCASE("no buffer at all counts as a zero word")
    {
        AnimationTick(nullptr, 0, 0);
        CHECK(viewState.zoom == 1.1f);
        CHECK(viewState.centerRe == -0.75f);
    }
}

TEST_CASE("negative sizes read and write no word and only grow the zoom")
{
    FreshView view;
    // Escaped words all round, so that any word read would move the centre.
    const int kGuard = 64;
    std::vector<uint32_t> block(2 * kGuard, 0x00FFFFFF);
    uint32_t* pixels = block.data() + kGuard;
    const int32_t sizes[][2] = {{-5, 3}, {5, -3}, {-5, -3}, {-5, 0}, {0, -3}, {-1, 1}, {1, -1},
                                {INT32_MIN, 2}, {2, INT32_MIN}, {INT32_MIN, INT32_MIN}};
    for (const auto& size : sizes) {
        CAPTURE(size[0]);
        CAPTURE(size[1]);
        float zoom = viewState.zoom;
        AnimationTick(pixels, size[0], size[1]);
        CHECK(viewState.zoom == zoom + 0.1f);
        zoom = viewState.zoom;
        viewState = ViewAfterTicks(viewState, 1, pixels, size[0], size[1]);
        CHECK(viewState.zoom == zoom + 0.1f);
        zoom = viewState.zoom;
        AdvanceView(pixels, size[0], size[1]);
        CHECK(viewState.zoom == zoom + 0.1f);
        CHECK(viewState.centerRe == -0.75f);
        CHECK(viewState.centerIm == 0.5f);
        CHECK(std::all_of(block.begin(), block.end(), [](uint32_t w) { return w == 0x00FFFFFF; }));
    }
}

TEST_CASE("the centre drifts on exactly 885 ticks, then settles")
{
    FreshView view;
    const int32_t sizes[][2] = {{1, 1}, {2, 1}, {3, 2}, {8, 6}};
    for (const auto& size : sizes) {
        CAPTURE(size[0]);
        CAPTURE(size[1]);
        viewState = kFirstView;
        std::vector<uint32_t> pixels(static_cast<size_t>(size[0]) * size[1]);
        int drifts = 0, lastDrift = 0;
        for (int tick = 1; tick <= 1000; ++tick) {
            const float before = viewState.centerRe;
            AnimationTick(pixels.data(), size[0], size[1]);
            if (viewState.centerRe != before) {
                ++drifts;
                lastDrift = tick;
            }
            if (tick == 886)
                CHECK(viewState.zoom == doctest::Approx(89.599).epsilon(1e-5));
        }
        CHECK(drifts == 885);
        CHECK(lastDrift == 885);
        CHECK(Bits(viewState.centerRe) == 0xBF29571Au);
        CHECK(Bits(viewState.centerIm) == 0x3ED2B1A9u);
    }
}

TEST_CASE("the zoom is a sum of single-precision steps")
{
    FreshView view;
    uint32_t word = 0;
    for (int tick = 0; tick < 5000; ++tick)
        AdvanceView(&word, 1, 1);
    CHECK(viewState.zoom == 501.02136f);
    CHECK(viewState.zoom != 501.0f);
}

TEST_CASE("ViewAfterTicks leads exactly where as many ticks lead")
{
    FreshView fresh;
    // Empty frames test the word left in the buffer, zero or not, on every tick.
    struct Case { int32_t W, H; uint32_t leftover; };
    const Case cases[] = {{1, 1, 0}, {5, 3, 0}, {6, 4, 0}, {64, 48, 0}, {7, 0, 0}, {7, 0, 0x000004FF},
                          {0, 3, 0x00FFFFFF}, {0, 0, 0}, {-5, 3, 0}};
    const ViewState starts[] = {
        kFirstView,
        {0.0f, 3.0f, 0.0f},         // zoom 0: the centre pixel's point is NaN, not the escaping centre
        {-1.0f, 0.3f, -0.2f},       // negative zoom: the drift and its end as anywhere
        {2097152.0f, 0.26f, 0.0f},  // the zoom stuck from the start, the centre slowly escaping
    };
    const int checkpoints[] = {0, 1, 2, 884, 885, 886, 950};
    for (const Case& c : cases)
        for (const ViewState& start : starts) {
            if (c.W * c.H > 24 && Emulated())
                continue;  // the small frames' centres go the same way
            CAPTURE(c.W);
            CAPTURE(c.H);
            CAPTURE(start.zoom);
            std::vector<uint32_t> pixels = FrameBuffer(std::max(c.W, 0), std::max(c.H, 0));
            if (c.W >= 0 && c.H >= 0)
                pixels[CenterIndex(c.W, c.H)] = c.leftover;
            const std::vector<uint32_t> before = pixels;
            viewState = start;
            int ticked = 0;
            for (int n : checkpoints) {
                for (; ticked < n; ++ticked)
                    AnimationTick(pixels.data(), c.W, c.H);
                const ViewState ticking = viewState;
                viewState = {5.0f, 5.0f, 5.0f};  // not read: the start is the argument
                CHECK(SameView(ViewAfterTicks(start, n, before.data(), c.W, c.H), ticking));
                CHECK(SameView(viewState, {5.0f, 5.0f, 5.0f}));
                viewState = ticking;
            }
        }
    CHECK(SameView(ViewAfterTicks({3.0f, 1.0f, 2.0f}, -7, nullptr, 4, 4), {3.0f, 1.0f, 2.0f}));
}

TEST_CASE("the view stops changing after 18,073,710 ticks, and any count beyond returns at once")
{
    FreshView fresh;
    const int64_t kLastChange = 18073710;
    const int32_t sizes[][2] = {{1, 1}, {4, 3}};
    for (const auto& size : sizes) {
        const int32_t W = size[0], H = size[1];
        const ViewState nearEnd = ViewAfterTicks(kFirstView, kLastChange - 3, nullptr, W, H);
        const ViewState settled = ViewAfterTicks(nearEnd, 3, nullptr, W, H);
        CHECK(Bits(settled.zoom) == Bits(2097152.0f));
        CHECK(SameView(ViewAfterTicks(kFirstView, kLastChange, nullptr, W, H), settled));
        CHECK_FALSE(SameView(ViewAfterTicks(nearEnd, 2, nullptr, W, H), settled));
        CHECK(SameView(ViewAfterTicks(kFirstView, INT64_MAX, nullptr, W, H), settled));
        // Really ticking across the end agrees.
        std::vector<uint32_t> pixels(W * H);
        viewState = nearEnd;
        for (int ticks = 0; ticks < 6; ++ticks) {
            CHECK(SameView(viewState, ViewAfterTicks(nearEnd, ticks, nullptr, W, H)));
            AnimationTick(pixels.data(), W, H);
        }
    }
}

TEST_CASE("the top-left step count after settling")
{
    FreshView view;
    struct Expect { int tick; int count; bool evenOnly; };
    const Expect expects[] = {{886, 12, false}, {900, 12, false}, {1000, 12, false}, {2000, 13, true}, {5000, 22, true}};
    const int32_t sizes[][2] = {{8, 6}, {9, 7}, {10, 6}, {31, 20}, {64, 48}};
    for (const Expect& e : expects)
        for (const auto& size : sizes) {
            if (e.evenOnly && (size[0] % 2 || size[1] % 2))
                continue;
            CAPTURE(e.tick);
            CAPTURE(size[0]);
            viewState = kFirstView;
            CHECK(FrameAtTick(e.tick, size[0], size[1])[0] == StepColor(e.count));
        }
}
