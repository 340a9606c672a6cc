// The frame tool's command line, read into options without side effects: the
// caller decides what a bad command line or --help leads to.
#pragma once
#include "render/dispatch.h"

#include <cstdint>
#include <string>

constexpr int kMaxThreads = 1024;

struct Options {
    int32_t width = -1;
    int32_t height = -1;
    int64_t ticks = -1;
    int64_t from = 1;  // first rendered tick
    bool raw = false;
    bool forcePath = false;  // false: auto
    RenderPath path = RenderPath::Scalar;
    const char* pngPath = nullptr;
    int threads = 0;  // 0: not given
    bool quiet = false;
    bool help = false;       // --help: print the help and nothing else
    bool listPaths = false;  // --list-paths: print the render paths and nothing else
};

// What ParseOptions found: the options, or the problem with the command line
// (empty when it parses).
struct ParsedOptions {
    Options options;
    std::string problem;
};

ParsedOptions ParseOptions(int argc, const char* const* argv);

// One line naming the options; the help's first line.
std::string Usage();
// What --help prints.
std::string Help();
