// libFuzzer target: any view and frame size must give the same words through
// every render path this CPU has as through the scalar reference, and no path
// may write outside the frame. Aborts on the first difference.
#include "animation.h"
#include "render/render.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr int kGuard = 16;
constexpr uint32_t kGuardWord = 0x5A5A5A5Au;

float FloatFromBits(uint32_t bits)
{
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    const int32_t W = input.ConsumeIntegralInRange<int32_t>(1, 80);
    const int32_t H = input.ConsumeIntegralInRange<int32_t>(1, 24);
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

    const size_t words = static_cast<size_t>(W) * H;
    std::vector<uint32_t> expected(words + 2 * kGuard, kGuardWord), actual(expected.size());
    RenderFrame(expected.data() + kGuard, W, H);
    for (int i = 1; i < kRenderPathCount; ++i) {
        const RenderPath path = RenderPath(i);
        if (!RenderPathAvailable(path))
            continue;
        std::fill(actual.begin(), actual.end(), kGuardWord);
        RenderFrameWith(path, viewState, actual.data() + kGuard, W, H);
        if (actual != expected) {
            std::fprintf(stderr, "%s differs from the reference at %dx%d zoom=%a centre=(%a, %a)\n",
                         RenderPathName(path), W, H, viewState.zoom, viewState.centerRe, viewState.centerIm);
            std::abort();
        }
    }
    return 0;
}
