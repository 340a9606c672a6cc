#include "options.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// The render paths' names joined by `separator`, then `last` and "auto":
// "scalar|sse2|...|auto", or "scalar, sse2, ... or auto".
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
           "       mandelbrot-frames --list-paths | --help\n"
           "\n"
           "Runs the Mandelbrot zoom headless: renders ticks 1 to N (or M to N) at W x H,\n"
           "then prints one line with the view after tick N and the FNV-1a hash of the\n"
           "frame tick N rendered, or writes the frames.\n"
           "\n"
           "  --size WxH       the frame's size, each side 0 to " + std::to_string(kMaxFrameSide) + "\n"
           "  --ticks N        the last tick, 1 or more\n"
           "  --from M         render only ticks M to N; the earlier ones advance the view\n"
           "                   without rendering, to exactly where rendering would lead\n"
           "  --fast-forward   the same as --from N\n"
           "  --png FILE       save tick N's frame as the screen shows it (see below)\n"
           "  --raw            write every rendered frame to standard output instead of the\n"
           "                   line: W x H little-endian 32-bit words a frame, row after row\n"
           "                   from the top, bytes blue, green, red, zero (ffmpeg's bgr0)\n"
           "  --path P         the renderer; auto (the default) takes the fastest this CPU\n"
           "                   has, and every path gives the same words\n"
           "  --threads N      render each frame on N threads, 1 to " + std::to_string(kMaxThreads) + " (default: one for\n"
           "                   each CPU the process may run on: its affinity mask, so\n"
           "                   taskset limits it); the frames are the same for any N\n"
           "  --quiet          show no progress\n"
           "  --list-paths     print the render paths, the fastest last, and exit\n"
           "  --help           print this and exit\n"
           "\n"
           "The PNG file: the name is checked before any frame is rendered, and the\n"
           "picture takes it only when complete. Until then the earlier file stays as it\n"
           "was, whatever ends the run (a full disk, Ctrl+C, any signal), and no temporary\n"
           "file is left beside it. Where the file system has unnamed files (O_TMPFILE:\n"
           "ext4, XFS, Btrfs, tmpfs), not even kill -9 leaves one, but in the instant the\n"
           "complete picture takes its name. A symbolic link is followed: the file it\n"
           "points to gets the picture and the link stays a link. Refused and left as\n"
           "they are: a name that is not a regular file (a folder, a device such as\n"
           "/dev/null, a FIFO), a file you may not write (as a shell would not overwrite\n"
           "it), a file of another user in a sticky folder such as /tmp, and the file\n"
           "standard output writes to. A replaced file keeps its permission bits, and its\n"
           "owner and group where you may give them (root both, others a group they\n"
           "belong to); a new one gets the umask's. The line on standard output is\n"
           "printed once the picture is in place.\n"
           "\n"
           "Threads: each frame is cut into bands of rows, several for each thread where\n"
           "the frame has the rows, and handed out as threads come free. The threads start\n"
           "once and are kept for the run, and a frame of few rows wakes no more of them\n"
           "than it has bands. Threads that the system will not start leave the work to\n"
           "those it did (the tool says so on standard error).\n"
           "\n"
           "Progress: on a terminal, standard error shows the frames rendered, the frames a\n"
           "second and the time left, rewritten in place, when more than one frame is\n"
           "rendered. Standard output carries nothing but the line or the frames.\n"
           "\n"
           "Memory: a frame larger than the memory the process may still take (the least\n"
           "of what the system has available and what the limits of its control groups\n"
           "leave, as in a container) is refused before any frame is rendered.\n"
           "\n"
           "Exit status: 0 when everything asked for is done; 1 when the run fails (a file\n"
           "that cannot be written, a full disk, a closed standard output, a frame larger\n"
           "than the memory the process may use, a render path this CPU lacks), with the\n"
           "reason on standard error; 2 when the command line does not parse, with the\n"
           "usage.\n";
}
