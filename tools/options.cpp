#include "options.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// The render paths' names, then "auto", each after the separator but the
// first, and the last after `last`: "scalar|sse2|...|auto".
std::string PathChoices(const char* separator, const char* last)
{
    std::string choices;
    for (int i = 0; i < kRenderPathCount; ++i)
        choices += std::string(i > 0 ? separator : "") + RenderPathName(RenderPath(i));
    return choices + last + "auto";
}

// Parses a whole decimal number in [min, max]; false on anything else.
bool ParseNumber(const char* text, long long min, long long max, long long* out)
{
    if (*text < '0' || *text > '9')
        return false;
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text, &end, 10);
    if (errno != 0 || *end != '\0' || value < min || value > max)
        return false;
    *out = value;
    return true;
}

bool ParseSize(const char* text, Options* options)
{
    const char* x = std::strchr(text, 'x');
    const std::string width(text, x ? x - text : std::strlen(text));
    long long w = 0, h = 0;
    if (!x || !ParseNumber(width.c_str(), 0, kMaxFrameSide, &w) || !ParseNumber(x + 1, 0, kMaxFrameSide, &h))
        return false;
    options->width = static_cast<int32_t>(w);
    options->height = static_cast<int32_t>(h);
    return true;
}

// The problem with one option and its value, or "".
std::string ParseValue(const std::string& arg, const char* value, Options* options)
{
    long long n = 0;
    if (arg == "--size") {
        if (!ParseSize(value, options))
            return "--size wants WxH with W and H whole numbers from 0 to " + std::to_string(kMaxFrameSide) +
                   ", not '" + value + "'";
    } else if (arg == "--ticks") {
        if (!ParseNumber(value, 1, INT64_MAX, &n))
            return "--ticks wants a whole number of at least 1, not '" + std::string(value) + "'";
        options->ticks = n;
    } else if (arg == "--from") {
        if (!ParseNumber(value, 1, INT64_MAX, &n))
            return "--from wants a whole number of at least 1, not '" + std::string(value) + "'";
        options->from = n;
    } else if (arg == "--threads") {
        if (!ParseNumber(value, 1, kMaxThreads, &n))
            return "--threads wants a whole number from 1 to " + std::to_string(kMaxThreads) + ", not '" + value +
                   "'";
        options->threads = static_cast<int>(n);
    } else if (arg == "--path") {
        options->forcePath = std::strcmp(value, "auto") != 0;
        if (options->forcePath && !ParseRenderPath(value, &options->path))
            return "--path wants " + PathChoices(", ", " or ") + ", not '" + value + "'";
    } else {
        options->pngPath = value;
    }
    return "";
}

}  // namespace

ParsedOptions ParseOptions(int argc, const char* const* argv)
{
    ParsedOptions parsed;
    Options& options = parsed.options;
    std::string& problem = parsed.problem;
    std::vector<std::string> given;
    bool fastForward = false, fromGiven = false;
    // --help wins over anything else on the line, however wrong, and then
    // --list-paths.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0)
            options.help = true;
        else if (std::strcmp(argv[i], "--list-paths") == 0)
            options.listPaths = true;
    }
    if (options.help)
        options.listPaths = false;
    if (options.help || options.listPaths)
        return parsed;
    for (int i = 1; i < argc && problem.empty(); ++i) {
        const std::string arg = argv[i];
        if (std::find(given.begin(), given.end(), arg) != given.end()) {
            problem = arg + " is given twice";
            continue;
        }
        given.push_back(arg);
        if (arg == "--size" || arg == "--ticks" || arg == "--from" || arg == "--png" || arg == "--path" ||
            arg == "--threads") {
            if (i + 1 == argc)
                problem = arg + " needs a value";
            else if (std::strncmp(argv[i + 1], "--", 2) == 0)
                problem = arg + " needs a value, not the option '" + argv[i + 1] + "'";
            else
                problem = ParseValue(arg, argv[++i], &options);
            fromGiven = fromGiven || arg == "--from";
        } else if (arg == "--fast-forward") {
            fastForward = true;
        } else if (arg == "--raw") {
            options.raw = true;
        } else if (arg == "--quiet") {
            options.quiet = true;
        } else {
            problem = "unknown argument '" + arg + "'";
        }
    }
    if (!problem.empty())
        return parsed;
    if (options.width < 0)
        problem = "--size is missing";
    else if (options.ticks < 0)
        problem = "--ticks is missing";
    else if (fastForward && fromGiven)
        problem = "--from and --fast-forward both choose the first rendered tick; give one";
    else if (!fastForward && options.from > options.ticks)
        problem = "--from wants a tick from 1 to the --ticks value " + std::to_string(options.ticks) + ", not " +
                  std::to_string(options.from);
    else if (options.pngPath && (options.width == 0 || options.height == 0))
        problem = "--png needs a frame of at least 1x1";
    if (fastForward)
        options.from = options.ticks;
    return parsed;
}

std::string Usage()
{
    return "usage: mandelbrot-frames --size WxH --ticks N [--from M | --fast-forward] [--png FILE] [--raw] [--path " +
           PathChoices("|", "|") + "] [--threads N] [--quiet]";
}

std::string Help()
{
    return Usage() + "\n"
           "Prints one line with the view after tick N and the FNV-1a hash of the frame tick N rendered.\n"
           "  --size WxH       frame size, each side 0 to " + std::to_string(kMaxFrameSide) + "\n"
           "  --ticks N        the last tick, 1 or more\n"
           "  --from M         render only ticks M to N; the earlier ones advance the view\n"
           "                   without rendering, exactly as rendering would\n"
           "  --fast-forward   the same as --from N\n"
           "  --png FILE       save tick N's frame as the screen shows it; a link is followed,\n"
           "                   anything but a regular file is refused\n"
           "  --raw            write every rendered frame to standard output as 32-bit BGRA rows\n"
           "                   instead of the line\n"
           "  --path P         the renderer (default auto: the fastest this CPU has); all give the same words\n"
           "  --threads N      render each frame on N threads, 1 to " + std::to_string(kMaxThreads) +
           " (default: one for each CPU\n"
           "                   this process may run on); the frames are the same for every N\n"
           "  --quiet          show no progress (shown on a terminal's stderr when more than one frame is rendered)\n"
           "  --list-paths     print the render paths, the fastest last, and exit\n"
           "  --help           print this and exit\n"
           "Exit status: 0 done, 1 the run failed (the reason is on stderr), 2 the command line is wrong.\n";
}
