#include "render/render.h"

#include "render/kernels.h"

#include <cpuid.h>
#include <cstring>

namespace {

constexpr int32_t kMaxSide = 65535;  // the largest client area a window reports
constexpr int kPad = 16;             // kernels read whole vectors past the last column

// Per-frame tables, static so that a frame allocates nothing: the distinct
// coordinates, and where each distinct column and row starts in the frame.
alignas(64) float columnRe[kMaxSide + kPad];
alignas(64) float rowIm[kMaxSide];
int32_t columnStart[kMaxSide + 1];
int32_t rowStart[kMaxSide + 1];

RenderPath lastFramePath = RenderPath::Scalar;

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

// Keeps the first of each run of bitwise-equal values in place and records
// where each run starts; returns the number of runs. Comparing bits is exact
// for every value, NaN and signed zero included.
int32_t MergeEqualRuns(float* values, int32_t count, int32_t* starts)
{
    int32_t runs = 0;
    uint32_t previous = 0;
    for (int32_t i = 0; i < count; ++i) {
        uint32_t bits;
        std::memcpy(&bits, &values[i], 4);
        if (i > 0 && bits == previous)
            continue;
        values[runs] = values[i];
        starts[runs++] = i;
        previous = bits;
    }
    starts[runs] = count;
    return runs;
}

// The same operations in the same order as the reference's per-row and
// per-column values, so every pixel gets the same c.
FrameGrid PrepareFrameGrid(const ViewState& view, uint32_t* pixels, int32_t W, int32_t H)
{
    const float halfZoom = view.zoom * 0.5f;
    const float rowScale = static_cast<float>(H) * halfZoom;
    const float colScale = static_cast<float>(W) * halfZoom;
    for (int32_t x = 0; x < W; ++x)
        columnRe[x] = (static_cast<float>(x - (W >> 1)) * 1.5f) / colScale + view.centerRe;
    for (int32_t y = 0; y < H; ++y)
        rowIm[y] = static_cast<float>(y - (H >> 1)) / rowScale + view.centerIm;
    const int32_t columns = MergeEqualRuns(columnRe, W, columnStart);
    const int32_t rows = MergeEqualRuns(rowIm, H, rowStart);
    return {pixels, columns, rows, columnRe, rowIm};
}

// Spreads the grid of distinct words over the W x H frame, in place, from the
// last row up: a row's grid words sit at or before the row they fill and
// after every grid row still to come, and within a row each word is read
// before anything overwrites it.
void SpreadGrid(const FrameGrid& grid, int32_t W, int32_t H)
{
    if (grid.columns == W && grid.rows == H)
        return;
    for (int32_t r = grid.rows - 1; r >= 0; --r) {
        const uint32_t* source = grid.pixels + static_cast<int64_t>(r) * grid.columns;
        uint32_t* row = grid.pixels + static_cast<int64_t>(rowStart[r]) * W;
        if (grid.columns == W) {
            std::memmove(row, source, static_cast<size_t>(W) * 4);
        } else {
            for (int32_t d = grid.columns - 1; d >= 0; --d) {
                const uint32_t word = source[d];
                for (int32_t x = columnStart[d + 1] - 1; x >= columnStart[d]; --x)
                    row[x] = word;
            }
        }
        for (int32_t y = rowStart[r] + 1; y < rowStart[r + 1]; ++y)
            std::memcpy(grid.pixels + static_cast<int64_t>(y) * W, row, static_cast<size_t>(W) * 4);
    }
}

}  // namespace

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

RenderPath RenderFrameWith(RenderPath path, const ViewState& view, uint32_t* pixels, int32_t W, int32_t H)
{
    // Larger frames than any window has fall back to the reference rather
    // than overrun the coordinate tables.
    if (!RenderPathAvailable(path) || W > kMaxSide || H > kMaxSide)
        path = RenderPath::Scalar;
    if (W <= 0 || H <= 0)
        return path;
    lastFramePath = path;
    if (path == RenderPath::Scalar) {
        RenderReference(view, pixels, W, H);
        return path;
    }
    const FrameGrid grid = PrepareFrameGrid(view, pixels, W, H);
    switch (path) {
    case RenderPath::Sse2: RenderFrameSse2(grid); break;
    case RenderPath::Avx2: RenderFrameAvx2(grid); break;
    default: RenderFrameAvx512(grid); break;
    }
    SpreadGrid(grid, W, H);
    return path;
}

RenderPath LastFramePath()
{
    return lastFramePath;
}
