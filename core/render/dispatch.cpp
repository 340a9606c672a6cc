#include "render/dispatch.h"

#include "render/cpu.h"
#include "render/kernels.h"

#include <algorithm>
#include <atomic>
#include <cstring>

// The SIMD kernels that the table below names, each defined in
// render/<set>/render_<set>.cpp and compiled with that instruction set's flags
// (core/CMakeLists.txt).
void RenderGridSse2(const FrameGrid& grid);
void RenderGridAvx2(const FrameGrid& grid);
void RenderGridAvx512(const FrameGrid& grid);

namespace {

// Every render path, RenderPath(i) in row i, in order of preference: its
// name, what renders its bands (no kernel: the reference renders frame rows)
// and the CpuFeature bits the CPU must offer for it. Everything that acts on
// a path reads it here, names included (the build adds each kernel's file:
// core/CMakeLists.txt); a RenderPath value without a row is never available
// and renders as Scalar.
struct PathEntry {
    const char* name;
    void (*kernel)(const FrameGrid& grid);
    unsigned features;
};
constexpr PathEntry kPaths[] = {
    {"scalar", nullptr, 0},
    {"sse2", RenderGridSse2, kCpuSse2},
    {"avx2", RenderGridAvx2, kCpuAvx2},
    {"avx512", RenderGridAvx512, kCpuAvx512f},
};
static_assert(!kPaths[0].kernel && kPaths[0].features == 0, "row 0 is the reference, which every CPU runs");
static_assert(sizeof kPaths / sizeof kPaths[0] <= 32, "RenderPathsWith gives a path a bit of an unsigned");

// The entry of a path, or null for a value that names none.
const PathEntry* Entry(RenderPath path)
{
    const unsigned i = static_cast<unsigned>(path);
    return i < sizeof kPaths / sizeof kPaths[0] ? &kPaths[i] : nullptr;
}

// The kernels keep word indices in 32 unsigned bits.
static_assert(static_cast<uint64_t>(kMaxFrameSide) * kMaxFrameSide <= UINT32_MAX, "frame too large for the kernels");

// Bands a frame is cut into, at most one a distinct row: enough that threads
// finish close together although a row's cost varies about tenfold across a
// frame, few enough that the lanes left idle at each band's end cost little.
// At least kBandsAFrame, and kBandsAThread for each thread that shares it,
// so that every thread finds work however many there are.
constexpr int32_t kBandsAFrame = 128;
constexpr int32_t kBandsAThread = 8;

// The window program's frames, rendered on its one thread.
RenderWorkspace frameWorkspace;

RenderPath lastFramePath = RenderPath::Scalar;

// Settled on first use, which any number of threads may make at once, each
// with frames of its own: both records are atomics (the lean build has no
// guarded statics), and threads that detect at once detect the same.
std::atomic<unsigned> availablePaths(0);  // 0: not yet detected (Scalar's bit is always set)
constexpr int kNoPathChosen = -1;
std::atomic<int> chosenPath(kNoPathChosen);

unsigned AvailablePaths()
{
    unsigned paths = availablePaths.load(std::memory_order_relaxed);
    if (paths == 0) {
        paths = RenderPathsWith(CpuFeatures(ReadCpuRegisters()));
        availablePaths.store(paths, std::memory_order_relaxed);
    }
    return paths;
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

// The reference's own per-row and per-column values, so every pixel gets the same c.
void PrepareFrameGrid(RenderWorkspace& work)
{
    const FrameRect& part = work.part;
    const FrameScales scales = Scales(work.view, work.W, work.H);
    for (int32_t c = 0; c < part.width; ++c)
        work.columnRe[c] = ColumnRe(work.view, scales, work.W, part.x + c);
    for (int32_t r = 0; r < part.height; ++r)
        work.rowIm[r] = RowIm(work.view, scales, work.H, part.y + r);
    work.columns = MergeEqualRuns(work.columnRe, part.width, work.columnStart);
    work.rows = MergeEqualRuns(work.rowIm, part.height, work.rowStart);
    // Lanes past the last column compute with what lies there: plain zeros,
    // not whatever a fresh workspace holds (a subnormal would slow them).
    std::fill(work.columnRe + work.columns, work.columnRe + work.columns + 16, 0.0f);
}

// Spreads the words of distinct rows firstRow up to endRow, each at the start
// of the first row it fills, over all the rows they fill. Within a row the
// words are spread from the right, so each is read before anything
// overwrites it (distinct column d starts at column d or later).
void SpreadRows(const RenderWorkspace& work, int32_t firstRow, int32_t endRow)
{
    const int32_t width = work.part.width;
    for (int32_t r = firstRow; r < endRow; ++r) {
        uint32_t* row = work.pixels + static_cast<int64_t>(work.rowStart[r]) * work.stride;
        if (work.columns != width) {
            for (int32_t d = work.columns - 1; d >= 0; --d) {
                const uint32_t word = row[d];
                for (int32_t x = work.columnStart[d + 1] - 1; x >= work.columnStart[d]; --x)
                    row[x] = word;
            }
        }
        for (int32_t y = work.rowStart[r] + 1; y < work.rowStart[r + 1]; ++y)
            std::memcpy(work.pixels + static_cast<int64_t>(y) * work.stride, row, static_cast<size_t>(width) * 4);
    }
}

// Renders band `band` of the frame: its distinct rows (all rows for the
// reference), and only the rows they fill.
void RenderBand(const RenderWorkspace& work, int32_t band)
{
    const int32_t firstRow = band * work.bandRows;
    const int32_t endRow = work.rows - firstRow < work.bandRows ? work.rows : firstRow + work.bandRows;
    // BeginFramePart left only a path this CPU has.
    const PathEntry& entry = kPaths[int(work.path)];
    if (!entry.kernel) {
        RenderReferencePart(work.view, work.W, work.H, work.part, work.pixels, work.stride, firstRow, endRow);
        return;
    }
    entry.kernel({work.pixels, work.stride, work.rowStart, work.columns, firstRow, endRow, work.columnRe, work.rowIm});
    SpreadRows(work, firstRow, endRow);
}

// Readies the frame's rows as `bands` bands of equal rows, the last maybe fewer.
void CutIntoBands(RenderWorkspace& work, int32_t bands)
{
    // In 64 bits: a frame for the reference may have up to INT32_MAX rows.
    const int64_t rows = work.rows;
    work.bandRows = static_cast<int32_t>((rows + bands - 1) / bands);
    work.bands = work.bandRows > 0 ? static_cast<int32_t>((rows + work.bandRows - 1) / work.bandRows) : 0;
    work.nextBand.store(0, std::memory_order_relaxed);
}

}  // namespace

const int kRenderPathCount = sizeof kPaths / sizeof kPaths[0];

const char* RenderPathName(RenderPath path)
{
    const PathEntry* entry = Entry(path);
    return entry ? entry->name : "unknown";
}

bool ParseRenderPath(const char* name, RenderPath* path)
{
    for (int i = 0; i < kRenderPathCount; ++i)
        if (std::strcmp(name, kPaths[i].name) == 0) {
            *path = RenderPath(i);
            return true;
        }
    return false;
}

unsigned RenderPathsWith(unsigned features)
{
    unsigned paths = 0;
    for (int i = 0; i < kRenderPathCount; ++i)
        if ((kPaths[i].features & ~features) == 0)
            paths |= 1u << i;
    return paths;
}

bool RenderPathAvailable(RenderPath path)
{
    return Entry(path) && (AvailablePaths() >> int(path) & 1u);
}

RenderPath BestRenderPath()
{
    RenderPath best = RenderPath::Scalar;
    for (int i = 0; i < kRenderPathCount; ++i)
        if (RenderPathAvailable(RenderPath(i)))
            best = RenderPath(i);
    return best;
}

RenderPath CurrentRenderPath()
{
    int path = chosenPath.load(std::memory_order_relaxed);
    if (path == kNoPathChosen) {
        // A choice made meanwhile by SetRenderPath or another first call stands.
        const int best = int(BestRenderPath());
        path = chosenPath.compare_exchange_strong(path, best, std::memory_order_relaxed) ? best : path;
    }
    return RenderPath(path);
}

bool SetRenderPath(RenderPath path)
{
    if (!RenderPathAvailable(path))
        return false;
    chosenPath.store(int(path), std::memory_order_relaxed);
    return true;
}

RenderPath BeginFrame(RenderWorkspace* workspace, RenderPath path, const ViewState& view,
                      uint32_t* pixels, int32_t W, int32_t H, int32_t threads)
{
    return BeginFramePart(workspace, path, view, W, H, {0, 0, W, H}, pixels, W, threads);
}

RenderPath BeginFramePart(RenderWorkspace* workspace, RenderPath path, const ViewState& view, int32_t W, int32_t H,
                          const FrameRect& part, uint32_t* pixels, int32_t stride, int32_t threads)
{
    RenderWorkspace& work = *workspace;
    // Larger parts than any window has fall back to the reference rather than
    // overrun the coordinate tables (or the kernels' 32-bit word indices).
    if (!RenderPathAvailable(path) || part.width > kMaxFrameSide || part.height > kMaxFrameSide ||
        stride > kMaxFrameSide)
        path = RenderPath::Scalar;
    work.view = view;
    work.W = W;
    work.H = H;
    work.part = part;
    work.pixels = pixels;
    work.stride = stride;
    work.path = path;
    work.columns = work.rows = 0;
    if (W > 0 && H > 0 && part.width > 0 && part.height > 0) {
        if (path == RenderPath::Scalar) {
            work.columns = part.width;
            work.rows = part.height;
        } else {
            PrepareFrameGrid(work);
        }
    }
    const int64_t bands = std::max<int64_t>(kBandsAFrame, int64_t(kBandsAThread) * threads);
    CutIntoBands(work, static_cast<int32_t>(std::min<int64_t>(bands, INT32_MAX)));
    return path;
}

int32_t FrameBands(const RenderWorkspace* workspace)
{
    return workspace->bands;
}

void RenderBands(RenderWorkspace* workspace)
{
    RenderWorkspace& work = *workspace;
    // The counter only hands out band numbers: the threads' words become
    // visible to whoever waits for them all, not through it. Reading it first
    // keeps calls after the last band from counting on without end.
    while (work.nextBand.load(std::memory_order_relaxed) < work.bands) {
        const int32_t band = work.nextBand.fetch_add(1, std::memory_order_relaxed);
        if (band >= work.bands)
            return;
        RenderBand(work, band);
    }
}

RenderPath RenderViewOnPath(RenderPath path, const ViewState& view, uint32_t* pixels, int32_t W, int32_t H)
{
    path = BeginFrame(&frameWorkspace, path, view, pixels, W, H);
    // On one thread the whole frame is one band: no band's end leaves vector
    // lanes idle while the last chunks finish.
    CutIntoBands(frameWorkspace, 1);
    RenderBands(&frameWorkspace);
    if (W > 0 && H > 0)
        lastFramePath = path;
    return path;
}

RenderPath LastFramePath()
{
    return lastFramePath;
}
