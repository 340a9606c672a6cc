// Helper threads for the frame tool, started once and kept for the run: each
// frame wakes only as many of them as it has bands beyond the caller's first,
// so a frame begun for all of them (BeginFrame's `threads`) wakes them all.
#pragma once
#include "render/dispatch.h"

// The number of CPUs this process may run on (its affinity mask), at least 1.
int UsableCpus();

// Starts up to count helper threads. Returns how many started; where fewer
// did, *error holds why the next one did not.
int StartRenderThreads(int count, int* error);

// Renders the frame begun in the workspace on the calling thread and the
// helpers it needs, and returns once every band is done: the number of
// threads that took part, the caller's included.
int RenderOnHelperThreads(RenderWorkspace* workspace);
