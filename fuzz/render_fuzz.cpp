// libFuzzer target: any view and frame size must give the same words through
// every render path this CPU has as through the scalar reference, whole, as
// bands of two frames begun at once, or a part of the frame at a stride of its
// own, and no path may write outside the frame or between a part's rows.
// Aborts on the first difference.
#include "animation.h"
#include "render/dispatch.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

namespace {

constexpr int kGuard = 16;
constexpr uint32_t kGuardWord = 0x5A5A5A5Au;

// Two frames in flight, each with its own workspace.
RenderWorkspace firstWork, secondWork;

float FloatFromBits(uint32_t bits)
{
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
}

void Check(bool same, const char* how, RenderPath path, int32_t W, int32_t H)
{
    if (same)
        return;
    std::fprintf(stderr, "%s %s differs from the reference at %dx%d zoom=%a centre=(%a, %a)\n", RenderPathName(path),
                 how, W, H, viewState.zoom, viewState.centerRe, viewState.centerIm);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    int32_t W, H;
    if (input.ConsumeIntegralInRange<int>(0, 31) < 31) {
        W = input.ConsumeIntegralInRange<int32_t>(1, 80);
        H = input.ConsumeIntegralInRange<int32_t>(1, 24);
    } else {
        // One time in 32, as such frames take long: a side near the largest
        // the fast paths take, up to the ends of the coordinate tables and just
        // past them (the reference's).
        W = input.ConsumeIntegralInRange<int32_t>(kMaxFrameSide - 40, kMaxFrameSide + 2);
        H = input.ConsumeIntegralInRange<int32_t>(1, 2);
        if (input.ConsumeBool())
            std::swap(W, H);
    }
    if (input.ConsumeBool()) {
        // Any bit patterns: huge, tiny, subnormal, infinite and NaN views.
        viewState.zoom = FloatFromBits(input.ConsumeIntegral<uint32_t>());
        viewState.centerRe = FloatFromBits(input.ConsumeIntegral<uint32_t>());
        viewState.centerIm = FloatFromBits(input.ConsumeIntegral<uint32_t>());
    } else {
        // Views the animation can reach: zoom 1 up to where it stops growing,
        // centres in and around the set.
        viewState.zoom = std::exp2(input.ConsumeFloatingPointInRange<float>(0.0f, 21.0f));
        viewState.centerRe = input.ConsumeFloatingPointInRange<float>(-2.5f, 1.0f);
        viewState.centerIm = input.ConsumeFloatingPointInRange<float>(-1.5f, 1.5f);
    }

    // The frame, and a second one of the transposed size begun beside it.
    const size_t words = static_cast<size_t>(W) * H;
    std::vector<uint32_t> expected(words + 2 * kGuard, kGuardWord), expectedSecond(expected.size(), kGuardWord);
    RenderFrame(expected.data() + kGuard, W, H);
    RenderFrame(expectedSecond.data() + kGuard, H, W);
    std::vector<uint32_t> actual(expected.size()), second(expected.size());
    // A part of the frame, and the gap between its rows.
    const int32_t partX = input.ConsumeIntegralInRange<int32_t>(0, W - 1);
    const int32_t partY = input.ConsumeIntegralInRange<int32_t>(0, H - 1);
    const FrameRect part = {partX, partY, input.ConsumeIntegralInRange<int32_t>(1, std::min(W - partX, 80)),
                            input.ConsumeIntegralInRange<int32_t>(1, std::min(H - partY, 24))};
    const int32_t stride = part.width + input.ConsumeIntegralInRange<int32_t>(0, 9);
    std::vector<uint32_t> expectedPart((part.height - 1) * stride + part.width + 2 * kGuard, kGuardWord);
    for (int32_t r = 0; r < part.height; ++r)
        std::copy_n(expected.begin() + kGuard + static_cast<int64_t>(part.y + r) * W + part.x, part.width,
                    expectedPart.begin() + kGuard + r * stride);
    std::vector<uint32_t> actualPart(expectedPart.size());
    for (int i = 1; i < kRenderPathCount; ++i) {
        const RenderPath path = RenderPath(i);
        if (!RenderPathAvailable(path))
            continue;
        std::fill(actual.begin(), actual.end(), kGuardWord);
        RenderViewOnPath(path, viewState, actual.data() + kGuard, W, H);
        Check(actual == expected, "whole", path, W, H);

        std::fill(actual.begin(), actual.end(), kGuardWord);
        std::fill(second.begin(), second.end(), kGuardWord);
        BeginFrame(&firstWork, path, viewState, actual.data() + kGuard, W, H);
        BeginFrame(&secondWork, path, viewState, second.data() + kGuard, H, W);
        RenderBands(&secondWork);
        RenderBands(&firstWork);
        RenderBands(&firstWork);  // no band left: must hand out none past the end
        Check(actual == expected, "in bands", path, W, H);
        Check(second == expectedSecond, "in bands", path, H, W);

        std::fill(actualPart.begin(), actualPart.end(), kGuardWord);
        BeginFramePart(&firstWork, path, viewState, W, H, part, actualPart.data() + kGuard, stride);
        RenderBands(&firstWork);
        Check(actualPart == expectedPart, "in a part", path, W, H);
    }
    return 0;
}
