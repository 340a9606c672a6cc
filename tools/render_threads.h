// Helper threads for the frame tool, started once and kept for the run: each
// frame wakes only as many of them as it has bands beyond the caller's first.
#pragma once
#include "render/dispatch.h"

// The number of CPUs this process may run on (its affinity mask), at least 1.
int UsableCpus();

// Starts up to count helper threads. Returns how many started; where fewer
// did, *error holds why the next one did not.
int StartRenderThreads(int count, int* error);

// Renders the frame begun in the workspace on the calling thread and the
// helpers it needs, and returns once every band is done.
void RenderOnHelperThreads(RenderWorkspace* workspace);
