// Fast renderers: SIMD versions of the reference renderer that give the same
// words. One is chosen once from the CPU's features; AnimationTick uses it.
// A frame can also be rendered in bands on the caller's own threads.
#pragma once
#include "render/reference.h"

#include <atomic>
#include <cstdint>

// A render path: the scalar reference (0) or one of the SIMD kernels after it,
// numbered in the dispatcher's table (dispatch.cpp), which is the one place
// that lists them; RenderPathName and ParseRenderPath name them.
enum class RenderPath : int { Scalar = 0 };
// The number of paths built in: RenderPath(0) up to RenderPath(kRenderPathCount - 1).
extern const int kRenderPathCount;

// The largest frame side the fast paths take (the largest client area a window
// reports); larger frames are rendered by the reference. The one place this limit is written.
constexpr int32_t kMaxFrameSide = 65535;

// Everything one frame in flight needs besides its pixels: the distinct coordinates,
// where each distinct column and row starts, and the bands still to hand out.
// About 1 MB; owned by the caller (static, or allocated once), one per frame in flight.
struct RenderWorkspace {
    // Kernels read whole vectors past the last distinct column.
    alignas(64) float columnRe[kMaxFrameSide + 16];
    alignas(64) float rowIm[kMaxFrameSide];
    int32_t columnStart[kMaxFrameSide + 1];  // column of the part where distinct column d starts; then its width
    int32_t rowStart[kMaxFrameSide + 1];     // row of the part where distinct row r starts; then its height
    ViewState view;
    int32_t W, H;      // the frame
    FrameRect part;    // what is rendered of it: the whole frame, or a rectangle
    uint32_t* pixels;  // the part's words, a row every `stride` words
    int32_t stride;
    RenderPath path;
    int32_t columns, rows;  // distinct columns and rows of the part (all of them for Scalar)
    int32_t bandRows;       // distinct rows a band
    int32_t bands;
    std::atomic<int32_t> nextBand;
};

// Name used on command lines and in reports ("scalar" for the reference,
// "unknown" for a value that is no path).
const char* RenderPathName(RenderPath path);
// False if the name is no path's.
bool ParseRenderPath(const char* name, RenderPath* path);

// Bit i set: RenderPath i runs on a CPU with these CpuFeature bits (render/cpu.h).
unsigned RenderPathsWith(unsigned features);
// True if the path is built in and this CPU and OS can run it.
bool RenderPathAvailable(RenderPath path);
// The fastest available path.
RenderPath BestRenderPath();

// The path AnimationTick uses: BestRenderPath() until SetRenderPath says
// otherwise. SetRenderPath refuses (returns false) a path that is not available.
RenderPath CurrentRenderPath();
bool SetRenderPath(RenderPath path);

// Prepares the frame in the workspace (on one thread): computes its distinct coordinates
// and readies its bands for `threads` threads to share: several for each where the frame
// has the distinct rows, and at least a band for each where it has as many. Returns the
// path that will render it (a path the CPU lacks, or a side over kMaxFrameSide, gives
// Scalar). An empty frame (W <= 0 or H <= 0) has no bands.
RenderPath BeginFrame(RenderWorkspace* workspace, RenderPath path, const ViewState& view,
                      uint32_t* pixels, int32_t W, int32_t H, int32_t threads = 1);

// The same for `part` of the W x H frame alone, written to `pixels` a row
// every `stride` words (at least part.width): the very words the whole frame
// holds there, on every path, as if the whole frame were rendered and that
// rectangle cut out of it. A part whose width or height, or a stride, is over
// kMaxFrameSide is rendered by the reference; an empty part or frame has no bands.
RenderPath BeginFramePart(RenderWorkspace* workspace, RenderPath path, const ViewState& view, int32_t W, int32_t H,
                          const FrameRect& part, uint32_t* pixels, int32_t stride, int32_t threads = 1);

// The number of bands of the frame begun in the workspace: at most that many
// threads find work in it.
int32_t FrameBands(const RenderWorkspace* workspace);

// Renders bands of the frame begun in the workspace until none is left. Any number of threads
// may call it at once for the same workspace; the frame holds exactly the reference's words once
// every call has returned. Bands are small groups of distinct rows handed out dynamically, each
// rendered and spread over its own frame rows alone.
void RenderBands(RenderWorkspace* workspace);

// Writes the same words as RenderReference through the given path, as
// BeginFrame and RenderBands on the core's own workspace, the frame one band
// on the calling thread, and returns the path that rendered them. One caller
// at a time: the workspace is shared.
RenderPath RenderViewOnPath(RenderPath path, const ViewState& view, uint32_t* pixels, int32_t W, int32_t H);

// The path that rendered RenderViewOnPath's latest non-empty frame (Scalar before any).
RenderPath LastFramePath();
