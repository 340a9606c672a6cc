// Fast renderers: SIMD versions of the reference renderer that give the same
// words. One is chosen once from the CPU's features; AnimationTick uses it.
#pragma once
#include "render/reference.h"

#include <cstdint>

enum class RenderPath { Scalar, Sse2, Avx2, Avx512 };
constexpr int kRenderPathCount = 4;

// Name used on command lines and in reports: scalar, sse2, avx2, avx512.
const char* RenderPathName(RenderPath path);
// False if the name is none of the above.
bool ParseRenderPath(const char* name, RenderPath* path);

// True if the path is built in and this CPU and OS can run it.
bool RenderPathAvailable(RenderPath path);
// The fastest available path.
RenderPath BestRenderPath();

// The path AnimationTick uses: BestRenderPath() until SetRenderPath says
// otherwise. SetRenderPath refuses (returns false) a path that is not available.
RenderPath CurrentRenderPath();
bool SetRenderPath(RenderPath path);

// Writes the same words as RenderReference through the given path and returns
// the path that rendered them: a path the CPU lacks, and frames wider or
// taller than 65535, go to the reference (Scalar) instead.
RenderPath RenderFrameWith(RenderPath path, const ViewState& view, uint32_t* pixels, int32_t W, int32_t H);

// The path that rendered the latest non-empty frame (Scalar before any).
RenderPath LastFramePath();
