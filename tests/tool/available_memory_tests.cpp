// The memory the frame tool may still take, worked out from made-up /proc and
// cgroup files: the system's MemAvailable, cgroup v2 and v1 limits on the
// process's own group and those above it, and what the groups use.
#include "available_memory.h"

#include <doctest/doctest.h>

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace {

// A folder of made-up files, removed with all it holds at the end of the case.
struct Tree {
    std::string root;
    Tree()
    {
        char name[] = "/tmp/available-memory-XXXXXX";
        REQUIRE(mkdtemp(name));
        root = name;
    }
    ~Tree()
    {
        nftw(root.c_str(), [](const char* path, const struct stat*, int, FTW*) { return remove(path); }, 16,
             FTW_DEPTH | FTW_PHYS);
    }
    // Writes the file at `path` under the root, making its folders.
    void Write(const std::string& path, const std::string& text) const
    {
        for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
            mkdir((root + path.substr(0, slash)).c_str(), 0755);
        FILE* file = std::fopen((root + path).c_str(), "w");
        REQUIRE(file);
        std::fputs(text.c_str(), file);
        std::fclose(file);
    }
    // One group's files: its limit, its usage and the file cache it could give back.
    void Group(const std::string& folder, const std::string& limit, const std::string& usage, bool version2,
               const std::string& inactiveFile = "0") const
    {
        Write(folder + (version2 ? "/memory.max" : "/memory.limit_in_bytes"), limit + "\n");
        Write(folder + (version2 ? "/memory.current" : "/memory.usage_in_bytes"), usage + "\n");
        Write(folder + "/memory.stat", version2 ? "anon 1\ninactive_file " + inactiveFile + "\nactive_file 9\n"
                                                : "inactive_file 1\ntotal_inactive_file " + inactiveFile + "\n");
    }
    std::pair<bool, uint64_t> Available() const
    {
        uint64_t bytes = 12345;
        const bool known = AvailableMemory(root, &bytes);
        return {known, bytes};
    }
};

constexpr uint64_t kMiB = 1 << 20;
const char kMeminfo[] = "MemTotal:       16000000 kB\nMemFree:         1000000 kB\nMemAvailable:    2097152 kB\n";
const uint64_t kSystem = 2097152ull * 1024;  // MemAvailable above: 2 GiB
const char kMounts2[] =
    "25 1 0:23 / /sys/fs/cgroup rw,nosuid shared:9 - cgroup2 cgroup2 rw,nsdelegate\n"
    "26 1 0:5 / /proc rw,nosuid - proc proc rw\n";
const char kMounts1[] =
    "32 23 0:29 / /sys/fs/cgroup rw,relatime - tmpfs tmpfs rw,mode=755\n"
    "33 32 0:30 / /sys/fs/cgroup/cpu rw,relatime - cgroup cgroup rw,cpu\n"
    "36 32 0:33 / /sys/fs/cgroup/memory rw,relatime - cgroup cgroup rw,memory\n";

}  // namespace

TEST_CASE("the system alone: MemAvailable, or nothing known")
{
    Tree tree;
    CHECK(tree.Available().first == false);
    tree.Write("/proc/meminfo", "MemTotal: 1000 kB\nMemFree: 500 kB\n");
    CHECK(tree.Available().first == false);
    tree.Write("/proc/meminfo", kMeminfo);
    CHECK(tree.Available() == std::make_pair(true, kSystem));
    // No memory group is named, or it has no mount: the system decides.
    tree.Write("/proc/self/cgroup", "0::/user.slice\n");
    CHECK(tree.Available() == std::make_pair(true, kSystem));
    tree.Write("/proc/self/mountinfo", kMounts2);
    CHECK(tree.Available() == std::make_pair(true, kSystem));
}

TEST_CASE("cgroup v2: the limit less what the group uses, the smallest of its own and those above it")
{
    Tree tree;
    tree.Write("/proc/meminfo", kMeminfo);
    tree.Write("/proc/self/cgroup", "0::/system.slice/job.service\n");
    tree.Write("/proc/self/mountinfo", kMounts2);
    tree.Group("/sys/fs/cgroup/system.slice/job.service", "314572800", std::to_string(100 * kMiB), true);
    CHECK(tree.Available() == std::make_pair(true, 200 * kMiB));

    // File cache not recently used is given back before anything is killed.
    tree.Group("/sys/fs/cgroup/system.slice/job.service", "314572800", std::to_string(100 * kMiB), true,
               std::to_string(30 * kMiB));
    CHECK(tree.Available() == std::make_pair(true, 230 * kMiB));

    // A group above with less room left holds the process to that.
    tree.Group("/sys/fs/cgroup/system.slice", std::to_string(1024 * kMiB), std::to_string(1000 * kMiB), true);
    CHECK(tree.Available() == std::make_pair(true, 24 * kMiB));

    // Without limits ("max"), the system decides; and a group with less than
    // the system has decides even where the system file is missing.
    tree.Group("/sys/fs/cgroup/system.slice", "max", "5", true);
    tree.Group("/sys/fs/cgroup/system.slice/job.service", "max", "5", true);
    CHECK(tree.Available() == std::make_pair(true, kSystem));
    tree.Group("/sys/fs/cgroup/system.slice/job.service", std::to_string(64 * kMiB), "0", true);
    std::remove((tree.root + "/proc/meminfo").c_str());
    CHECK(tree.Available() == std::make_pair(true, 64 * kMiB));
}

TEST_CASE("a group at or over its limit leaves nothing")
{
    Tree tree;
    tree.Write("/proc/meminfo", kMeminfo);
    tree.Write("/proc/self/cgroup", "0::/full\n");
    tree.Write("/proc/self/mountinfo", kMounts2);
    tree.Group("/sys/fs/cgroup/full", "1000", "1000", true);
    CHECK(tree.Available() == std::make_pair(true, uint64_t(0)));
    tree.Group("/sys/fs/cgroup/full", "1000", "5000", true, "100");
    CHECK(tree.Available() == std::make_pair(true, uint64_t(0)));
}

TEST_CASE("cgroup v1: the memory controller's hierarchy, its unlimited value, and a container's own root")
{
    Tree tree;
    tree.Write("/proc/meminfo", kMeminfo);
    tree.Write("/proc/self/cgroup", "9:name=systemd:/\n5:cpu,cpuacct:/\n4:memory:/docker/abc\n0::/\n");
    tree.Write("/proc/self/mountinfo", kMounts1);
    // The kernel's "unlimited" is a page short of 2^63.
    tree.Group("/sys/fs/cgroup/memory/docker/abc", "9223372036854771712", "1000", false);
    tree.Group("/sys/fs/cgroup/memory/docker", "9223372036854771712", "2000", false);
    CHECK(tree.Available() == std::make_pair(true, kSystem));
    tree.Group("/sys/fs/cgroup/memory/docker/abc", std::to_string(300 * kMiB), std::to_string(280 * kMiB), false,
               std::to_string(50 * kMiB));
    CHECK(tree.Available() == std::make_pair(true, 70 * kMiB));

    // Inside the container the hierarchy is mounted from the group's own
    // folder, which mountinfo gives as the mount's root.
    Tree inside;
    inside.Write("/proc/self/cgroup", "4:memory:/docker/abc\n");
    inside.Write("/proc/self/mountinfo",
                 "36 32 0:33 /docker/abc /sys/fs/cgroup/memory ro,nosuid master:17 - cgroup cgroup rw,memory\n");
    inside.Group("/sys/fs/cgroup/memory", std::to_string(300 * kMiB), std::to_string(100 * kMiB), false);
    CHECK(inside.Available() == std::make_pair(true, 200 * kMiB));
    // A group outside what the mount shows has no folder there.
    inside.Write("/proc/self/cgroup", "4:memory:/other\n");
    CHECK(inside.Available().first == false);
}

TEST_CASE("both versions at once, each hierarchy counted; a mount point with a space")
{
    Tree tree;
    tree.Write("/proc/self/cgroup", "4:memory:/a\n0::/b\n");
    tree.Write("/proc/self/mountinfo", "36 32 0:33 / /cg/v1\\040memory rw - cgroup cgroup rw,memory\n"
                                       "42 32 0:39 / /cg/unified rw - cgroup2 cgroup2 rw\n");
    tree.Group("/cg/v1 memory/a", std::to_string(500 * kMiB), "0", false);
    CHECK(tree.Available() == std::make_pair(true, 500 * kMiB));
    tree.Group("/cg/unified/b", std::to_string(400 * kMiB), "0", true);
    CHECK(tree.Available() == std::make_pair(true, 400 * kMiB));
}
