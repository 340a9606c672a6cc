#include "available_memory.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// The whole of a small file; empty if it cannot be read.
std::string ReadFile(const std::string& path)
{
    std::string text;
    if (FILE* file = std::fopen(path.c_str(), "re")) {
        char chunk[4096];
        for (size_t got; (got = std::fread(chunk, 1, sizeof chunk, file)) > 0;)
            text.append(chunk, got);
        std::fclose(file);
    }
    return text;
}

std::vector<std::string> Split(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t end; (end = text.find(separator, start)) != std::string::npos; start = end + 1)
        parts.push_back(text.substr(start, end - start));
    parts.push_back(text.substr(start));
    return parts;
}

// A whole decimal number; false on anything else ("max" included).
bool ParseBytes(const std::string& text, uint64_t* value)
{
    if (text.empty() || text[0] < '0' || text[0] > '9')
        return false;
    char* end = nullptr;
    *value = std::strtoull(text.c_str(), &end, 10);
    return *end == '\0' || *end == '\n';
}

// The value of the line "name value" (or "name: value ...") in a file of such lines.
bool FieldValue(const std::string& text, const std::string& name, uint64_t* value)
{
    for (const std::string& line : Split(text, '\n')) {
        if (line.compare(0, name.size(), name) != 0 || line.size() == name.size())
            continue;
        size_t at = name.size();
        if (line[at] != ' ' && line[at] != ':')
            continue;
        at = line.find_first_not_of(": ", at);
        return at != std::string::npos && ParseBytes(line.substr(at, line.find(' ', at) - at), value);
    }
    return false;
}

// mountinfo writes a space, tab, newline or backslash in a path as \ooo.
std::string Unescape(const std::string& path)
{
    std::string plain;
    for (size_t i = 0; i < path.size(); ++i) {
        const std::string digits = path.substr(i + 1, 3);
        if (path[i] == '\\' && digits.size() == 3 && digits.find_first_not_of("01234567") == std::string::npos) {
            plain += static_cast<char>(std::strtol(digits.c_str(), nullptr, 8));
            i += 3;
        } else {
            plain += path[i];
        }
    }
    return plain;
}

// One cgroup version's files: the limit, the usage and the statistic of the
// file cache the group can give back.
struct CgroupFiles {
    const char* limit;
    const char* usage;
    const char* reclaimable;
};
const CgroupFiles kVersion2 = {"memory.max", "memory.current", "inactive_file"};
const CgroupFiles kVersion1 = {"memory.limit_in_bytes", "memory.usage_in_bytes", "total_inactive_file"};

// Lowers *bytes to what each group from `folder` up to `top` leaves; true if
// any group has a limit.
bool LeftByGroups(const std::string& top, std::string folder, const CgroupFiles& files, uint64_t* bytes)
{
    bool limited = false;
    for (;;) {
        uint64_t limit = 0, usage = 0, reclaimable = 0;
        if (ParseBytes(ReadFile(folder + "/" + files.limit), &limit) &&
            ParseBytes(ReadFile(folder + "/" + files.usage), &usage)) {
            FieldValue(ReadFile(folder + "/memory.stat"), files.reclaimable, &reclaimable);
            const uint64_t used = usage > reclaimable ? usage - reclaimable : 0;
            const uint64_t left = limit > used ? limit - used : 0;
            if (!limited || left < *bytes)
                *bytes = left;
            limited = true;
        }
        if (folder.size() <= top.size())
            return limited;
        folder.erase(folder.rfind('/'));
    }
}

}  // namespace

bool AvailableMemory(const std::string& root, uint64_t* bytes)
{
    uint64_t kib = 0;
    bool known = FieldValue(ReadFile(root + "/proc/meminfo"), "MemAvailable", &kib);
    *bytes = kib * 1024;

    // The process's group in each hierarchy: "0::/path" on v2, "N:memory,...:/path" on v1.
    std::string group2, group1;
    bool has2 = false, has1 = false;
    for (const std::string& line : Split(ReadFile(root + "/proc/self/cgroup"), '\n')) {
        const std::vector<std::string> fields = Split(line, ':');
        if (fields.size() < 3)
            continue;
        const std::string path = line.substr(fields[0].size() + fields[1].size() + 2);
        if (fields[0] == "0" && fields[1].empty()) {
            group2 = path;
            has2 = true;
        }
        for (const std::string& controller : Split(fields[1], ','))
            if (controller == "memory") {
                group1 = path;
                has1 = true;
            }
    }

    // Each hierarchy's mount: "ID PARENT DEV ROOT MOUNTPOINT OPTIONS [OPTIONAL...] - TYPE SOURCE SUPEROPTIONS".
    for (const std::string& line : Split(ReadFile(root + "/proc/self/mountinfo"), '\n')) {
        const std::vector<std::string> fields = Split(line, ' ');
        size_t dash = 6;
        while (dash < fields.size() && fields[dash] != "-")
            ++dash;
        if (dash + 3 >= fields.size())
            continue;
        const std::string& type = fields[dash + 1];
        bool memoryOption = false;
        for (const std::string& option : Split(fields[dash + 3], ','))
            memoryOption = memoryOption || option == "memory";
        const bool version2 = type == "cgroup2" && has2;
        if (!version2 && !(type == "cgroup" && memoryOption && has1))
            continue;
        // The group's folder is its path below the mount's root; a group
        // outside what the mount shows has no folder here.
        const std::string& group = version2 ? group2 : group1;
        const std::string mountRoot = Unescape(fields[3]);
        std::string below;
        if (mountRoot == "/")
            below = group == "/" ? "" : group;
        else if (group == mountRoot)
            below = "";
        else if (group.compare(0, mountRoot.size() + 1, mountRoot + "/") == 0)
            below = group.substr(mountRoot.size());
        else
            continue;
        const std::string top = root + Unescape(fields[4]);
        uint64_t left = 0;
        if (LeftByGroups(top, top + below, version2 ? kVersion2 : kVersion1, &left) && (!known || left < *bytes)) {
            *bytes = left;
            known = true;
        }
    }
    return known;
}
