#include "render.h"

#include "animation.h"
#include "kernels.h"

#include <cpuid.h>
#include <cstring>

namespace {

constexpr int32_t kMaxSide = 65535;  // the largest client area a window reports
constexpr int kPad = 16;             // kernels read whole vectors past the last column

// Per-frame coordinates, static so that a frame allocates nothing.
alignas(64) float columnRe[kMaxSide + kPad];
alignas(64) float rowIm[kMaxSide];
uint32_t colors[MAX_ITERATIONS + 1];

// Bit i set: RenderPath i can run here. Scalar always can.
unsigned DetectRenderPaths()
{
    unsigned paths = 1u << int(RenderPath::Scalar);
    unsigned eax, ebx, ecx, edx;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx))
        return paths;
    if (edx & bit_SSE2)
        paths |= 1u << int(RenderPath::Sse2);
    // AVX needs the OS to save the ymm (and for AVX-512 the zmm and mask)
    // registers on a context switch, which XCR0 reports.
    if (!(ecx & bit_OSXSAVE) || !(ecx & bit_AVX))
        return paths;
    unsigned xcr0Low, xcr0High;
    __asm__ volatile("xgetbv" : "=a"(xcr0Low), "=d"(xcr0High) : "c"(0));
    const bool osSavesYmm = (xcr0Low & 0x06) == 0x06;          // SSE and AVX state
    const bool osSavesZmm = osSavesYmm && (xcr0Low & 0xE0) == 0xE0;  // opmask, zmm0-15 high, zmm16-31
    if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx))
        return paths;
    if (osSavesYmm && (ebx & bit_AVX2))
        paths |= 1u << int(RenderPath::Avx2);
    if (osSavesZmm && (ebx & bit_AVX512F))
        paths |= 1u << int(RenderPath::Avx512);
    return paths;
}

unsigned AvailablePaths()
{
    static const unsigned paths = DetectRenderPaths();
    return paths;
}

RenderPath& ChosenPath()
{
    static RenderPath path = BestRenderPath();
    return path;
}

}  // namespace

// The same operations in the same order as RenderFrame's per-row and
// per-column values, so every pixel gets the same c.
FrameGrid PrepareFrameGrid(uint32_t* pixels, int32_t W, int32_t H)
{
    const float halfZoom = viewState.zoom * 0.5f;
    const float rowScale = static_cast<float>(H) * halfZoom;
    const float colScale = static_cast<float>(W) * halfZoom;
    for (int32_t x = 0; x < W; ++x)
        columnRe[x] = (static_cast<float>(x - (W >> 1)) * 1.5f) / colScale + viewState.centerRe;
    for (int32_t y = 0; y < H; ++y)
        rowIm[y] = static_cast<float>(y - (H >> 1)) / rowScale + viewState.centerIm;
    if (colors[0] == 0)
        for (int n = 0; n <= MAX_ITERATIONS; ++n)
            colors[n] = StepColor(n);
    return {pixels, W, H, columnRe, rowIm, colors};
}

const char* RenderPathName(RenderPath path)
{
    switch (path) {
    case RenderPath::Sse2: return "sse2";
    case RenderPath::Avx2: return "avx2";
    case RenderPath::Avx512: return "avx512";
    default: return "scalar";
    }
}

bool ParseRenderPath(const char* name, RenderPath* path)
{
    for (int i = 0; i < kRenderPathCount; ++i)
        if (std::strcmp(name, RenderPathName(RenderPath(i))) == 0) {
            *path = RenderPath(i);
            return true;
        }
    return false;
}

bool RenderPathAvailable(RenderPath path)
{
    return (AvailablePaths() >> int(path)) & 1u;
}

RenderPath BestRenderPath()
{
    for (int i = kRenderPathCount - 1; i > 0; --i)
        if (RenderPathAvailable(RenderPath(i)))
            return RenderPath(i);
    return RenderPath::Scalar;
}

RenderPath CurrentRenderPath()
{
    return ChosenPath();
}

bool SetRenderPath(RenderPath path)
{
    if (!RenderPathAvailable(path))
        return false;
    ChosenPath() = path;
    return true;
}

void RenderFrameWith(RenderPath path, uint32_t* pixels, int32_t W, int32_t H)
{
    if (W <= 0 || H <= 0)
        return;
    // Larger frames than any window has fall back to the reference rather
    // than overrun the coordinate tables.
    if (path == RenderPath::Scalar || !RenderPathAvailable(path) || W > kMaxSide || H > kMaxSide) {
        RenderFrame(pixels, W, H);
        return;
    }
    const FrameGrid grid = PrepareFrameGrid(pixels, W, H);
    switch (path) {
    case RenderPath::Sse2: RenderFrameSse2(grid); break;
    case RenderPath::Avx2: RenderFrameAvx2(grid); break;
    default: RenderFrameAvx512(grid); break;
    }
}

void RenderFrameFast(uint32_t* pixels, int32_t W, int32_t H)
{
    RenderFrameWith(ChosenPath(), pixels, W, H);
}
