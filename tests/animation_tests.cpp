#include "animation.h"

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

// Each test starts from the initial view and leaves it as it found it.
struct FreshView {
    ViewState saved = viewState;
    FreshView() { viewState = {1.0f, -0.75f, 0.5f}; }
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
    for (int tick = 1; tick < ticks; ++tick)
        SkipTick(pixels.data(), W, H);
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

TEST_CASE("step colours")
{
    CHECK(StepColor(0) == 0x00FFFFFFu);
    CHECK(StepColor(1) == 0x000004FFu);
    CHECK(StepColor(2) == 0x00010AFFu);
    CHECK(StepColor(127) == 0x007E9AFFu);
    CHECK(StepColor(128) == 0u);
    for (int n = 0; n < 128; ++n)
        CHECK(StepColor(n) != 0u);  // only points that never escaped are black
}

TEST_CASE("the first frames map pixels to the expected points")
{
    FreshView view;
    SUBCASE("4 x 2: columns -2.25 -1.5 -0.75 0, rows -0.5 and 0.5")
    {
        std::vector<uint32_t> pixels(8, 0xDEADBEEF);
        RenderFrame(pixels.data(), 4, 2);
        const std::vector<uint32_t> row = {0x00FFFFFF, 0x00010AFF, 0x00041AFF, 0};
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
        SkipTick(pixels, size[0], size[1]);
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
        viewState = {1.0f, -0.75f, 0.5f};
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

TEST_CASE("skipping ticks leaves the same view and frame as rendering them")
{
    FreshView view;
    const int32_t sizes[][2] = {{1, 1}, {5, 3}, {6, 4}, {7, 0}, {0, 3}};
    for (const auto& size : sizes) {
        const int32_t W = size[0], H = size[1];
        viewState = {1.0f, -0.75f, 0.5f};
        std::vector<uint32_t> full = FrameBuffer(W, H);
        for (int tick = 0; tick < 950; ++tick)
            AnimationTick(full.data(), W, H);
        const ViewState rendered = viewState;

        viewState = {1.0f, -0.75f, 0.5f};
        const std::vector<uint32_t> skipped = FrameAtTick(950, W, H);
        CHECK(Bits(viewState.zoom) == Bits(rendered.zoom));
        CHECK(Bits(viewState.centerRe) == Bits(rendered.centerRe));
        CHECK(Bits(viewState.centerIm) == Bits(rendered.centerIm));
        CHECK(full == skipped);
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
            viewState = {1.0f, -0.75f, 0.5f};
            CHECK(FrameAtTick(e.tick, size[0], size[1])[0] == StepColor(e.count));
        }
}
