// Fast renderers: SIMD versions of RenderFrame that give the same words.
// One of them is chosen once from the CPU's features; AnimationTick uses it.
#pragma once
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

// The path RenderFrameFast uses: BestRenderPath() until SetRenderPath says
// otherwise. SetRenderPath refuses (returns false) a path that is not available.
RenderPath CurrentRenderPath();
bool SetRenderPath(RenderPath path);

// Same words as RenderFrame, through the given path. A path the CPU lacks,
// and frames wider or taller than 65535, go to the reference instead.
void RenderFrameWith(RenderPath path, uint32_t* pixels, int32_t W, int32_t H);
// Same words as RenderFrame, through the current path.
void RenderFrameFast(uint32_t* pixels, int32_t W, int32_t H);
