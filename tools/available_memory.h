// How much memory the process may still take before the system swaps or
// kills it: checked before a frame is allocated, so that a frame too large
// is refused with the reason rather than ended by the kernel's OOM killer.
#pragma once
#include <cstdint>
#include <string>

// The least of the system's MemAvailable (/proc/meminfo) and, for the
// process's memory control group and each above it, up to the top of its
// hierarchy, the group's limit less what it uses that it could not give back
// (its file cache not recently used it can: the kernel reclaims that before it
// kills). Both cgroup versions count: memory.max and memory.current on v2,
// memory.limit_in_bytes and memory.usage_in_bytes on v1, found through
// /proc/self/cgroup and /proc/self/mountinfo.
//
// Every file is read under `root`: "" for this system, a made-up tree in the
// tests. False where no file says.
bool AvailableMemory(const std::string& root, uint64_t* bytes);
