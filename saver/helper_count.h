// How many threads render beside the screen saver's window thread.
// Platform-free, so that every build tests it.
#pragma once
#include <cstdint>

// One for every processor but the window thread's own. The system's count is
// 0 when it fails, and there is always at least the processor the window
// thread runs on: then there are none, rather than 2^32 - 1.
constexpr uint32_t HelperCount(uint32_t processors)
{
    return processors > 1 ? processors - 1 : 0;
}
