// mandelbrot-frames: runs the animation headless and reports or exports
// frames; Help() in options.cpp says how to use it. This file keeps the frame
// loop, the progress line and the hash; the command line, the memory check,
// the PNG file and the render threads have files of their own.
#include "animation.h"
#include "available_memory.h"
#include "options.h"
#include "png_file.h"
#include "render/dispatch.h"
#include "render_threads.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "raw frames and hashes take the words as little-endian bytes");

namespace {

// The progress line on a terminal's stderr: frames rendered of the total,
// frames a second and the time left, rewritten in place at most four times a
// second.
struct Progress {
    bool shown = false;
    bool lineOpen = false;  // the line is on the screen without its newline
    int64_t total = 0;
    std::chrono::steady_clock::time_point start, last;
};
Progress progress;

// A command line that does not parse: exit status 2, with the usage.
[[noreturn]] void Fail(const std::string& problem)
{
    std::fprintf(stderr, "mandelbrot-frames: %s (%s)\n", problem.c_str(), Usage().c_str());
    std::exit(2);
}

// A failure while running: exit status 1, with the reason alone.
[[noreturn]] void RunFailed(const std::string& reason)
{
    DiscardPng();
    std::fprintf(stderr, "%smandelbrot-frames: %s\n", progress.lineOpen ? "\n" : "", reason.c_str());
    std::exit(1);
}

[[noreturn]] void OutputFailed(int error)
{
    RunFailed(std::string("writing to standard output failed: ") + std::strerror(error));
}

// Makes sure everything written to standard output has arrived.
void FinishOutput()
{
    if (std::fflush(stdout) != 0 || std::fclose(stdout) != 0)
        OutputFailed(errno);
}

// Opens /dev/null on each closed standard descriptor, so that no file the
// tool opens later can take its number; true if standard output was closed.
bool MakeStandardDescriptorsSafe()
{
    bool stdoutClosed = false;
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        stdoutClosed = stdoutClosed || fd == STDOUT_FILENO;
        if (open("/dev/null", O_RDWR) != fd)
            std::_Exit(1);
    }
    return stdoutClosed;
}

// A zeroed buffer big enough for the frame and for the centre word that an
// empty frame's tick still reads.
uint32_t* AllocateFrame(int32_t W, int32_t H)
{
    int64_t words = static_cast<int64_t>(W) * H;
    const int64_t centre = CenterIndex(W, H) + 1;
    if (words < centre)
        words = centre;
    const uint64_t bytes = static_cast<uint64_t>(words) * 4;
    uint64_t available = 0;
    // A 32-bit build cannot address the largest frames at all, and a process
    // may be held to less memory than the system has.
    std::string refusal;
    uint32_t* pixels = nullptr;
    if (bytes > SIZE_MAX)
        refusal = "more than a " + std::to_string(sizeof(void*) * 8) + "-bit program can address";
    else if (AvailableMemory("", &available) && bytes > available)
        refusal = "more than the " + std::to_string(available) + " bytes of memory available";
    else if (!(pixels = static_cast<uint32_t*>(std::calloc(static_cast<size_t>(words), 4))))
        refusal = "more than this process may allocate";
    if (!pixels)
        RunFailed("a " + std::to_string(W) + "x" + std::to_string(H) + " frame needs " + std::to_string(bytes) +
                  " bytes, " + refusal);
    return pixels;
}

// One line a render path, in order of preference: its name, and whether
// auto takes it or this CPU cannot run it.
std::string PathList()
{
    std::string list;
    for (int i = 0; i < kRenderPathCount; ++i) {
        const RenderPath path = RenderPath(i);
        list += RenderPathName(path);
        if (path == BestRenderPath())
            list += " (auto)";
        else if (!RenderPathAvailable(path))
            list += " (not on this CPU)";
        list += "\n";
    }
    return list;
}

uint64_t HashFrame(const uint32_t* pixels, int64_t words)
{
    uint64_t hash = 0xcbf29ce484222325ull;
    for (int64_t i = 0; i < words; ++i)
        for (int shift = 0; shift < 32; shift += 8) {
            hash ^= (pixels[i] >> shift) & 0xFFu;
            hash *= 0x100000001b3ull;
        }
    return hash;
}

void ShowProgress(int64_t done)
{
    using namespace std::chrono;
    const steady_clock::time_point now = steady_clock::now();
    if (!progress.shown || (done < progress.total && progress.lineOpen && now - progress.last < milliseconds(250)))
        return;
    progress.last = now;
    const double rate = done / duration<double>(now - progress.start).count();
    // Below a frame a second the time left can pass what 64 bits of seconds
    // hold: it is worked out in floating point, whole hours included.
    const double seconds = std::floor((progress.total - done) / rate + 0.5);
    const int rest = static_cast<int>(std::fmod(seconds, 3600));
    std::fprintf(stderr, "\r%" PRId64 " of %" PRId64 " frames, %.1f frames/s, %.0f:%02d:%02d left\033[K", done,
                 progress.total, rate, std::floor(seconds / 3600), rest / 60, rest % 60);
    progress.lineOpen = done < progress.total;
    if (!progress.lineOpen)
        std::fputc('\n', stderr);
}

// One frame in flight at a time. It is about 1 MB, so it is not on the stack.
RenderWorkspace workspace;

}  // namespace

int main(int argc, char** argv)
{
    const bool stdoutClosed = MakeStandardDescriptorsSafe();
    const ParsedOptions parsed = ParseOptions(argc, argv);
    if (!parsed.problem.empty())
        Fail(parsed.problem);
    const Options& options = parsed.options;
    // Every run writes to standard output: the help, the line or the frames.
    if (stdoutClosed)
        OutputFailed(EBADF);
    if (options.help || options.listPaths) {
        if (std::fputs((options.help ? Help() : PathList()).c_str(), stdout) < 0)
            OutputFailed(errno);
        FinishOutput();
        return 0;
    }
    if (options.forcePath && !SetRenderPath(options.path))
        RunFailed("this CPU cannot run the '" + std::string(RenderPathName(options.path)) + "' render path");
    const int32_t W = options.width, H = options.height;
    const int64_t frameWords = static_cast<int64_t>(W) * H;
    std::string problem;
    if (options.pngPath && !PreparePng(options.pngPath, &problem))
        RunFailed(problem);
    uint32_t* pixels = AllocateFrame(W, H);
    const int helpers = (options.threads ? options.threads : UsableCpus()) - 1;
    int error = 0;
    const int running = StartRenderThreads(helpers, &error);
    if (running < helpers)
        std::fprintf(stderr, "mandelbrot-frames: %d of %d render threads started (%s); the run goes on with those\n",
                     running + 1, helpers + 1, std::strerror(error));

    // The ticks before --from advance the view without rendering. Once the
    // view stops changing (the zoom stops growing from tick 18,073,710 on),
    // every later tick renders the same frame, and is reached at once.
    ViewState view = ViewAfterTicks(kFirstView, options.from - 1, pixels, W, H);
    int64_t tick = options.from;
    progress.total = options.ticks - tick + 1;
    progress.shown = progress.total > 1 && !options.quiet && isatty(STDERR_FILENO);
    progress.start = std::chrono::steady_clock::now();
    for (int64_t rendered = 1;; ++tick, ++rendered) {
        const ViewState before = view;
        BeginFrame(&workspace, CurrentRenderPath(), view, pixels, W, H, running + 1);
        RenderOnHelperThreads(&workspace);
        view = ViewAfterTicks(view, 1, pixels, W, H);
        if (options.raw && std::fwrite(pixels, 4, frameWords, stdout) != static_cast<size_t>(frameWords))
            RunFailed(std::string("writing raw frames failed: ") + std::strerror(errno));
        if (tick == options.ticks || (!options.raw && SameView(before, view))) {
            // Past a settled view the ticks left render nothing new: the
            // count ends at the frames rendered.
            progress.total = rendered;
            break;
        }
        ShowProgress(rendered);
    }
    ShowProgress(progress.total);

    if (options.pngPath && !SavePng(pixels, W, H, &problem))
        RunFailed(problem);
    if (!options.raw) {
        uint32_t bits[3];
        std::memcpy(&bits[0], &view.zoom, 4);
        std::memcpy(&bits[1], &view.centerRe, 4);
        std::memcpy(&bits[2], &view.centerIm, 4);
        if (std::printf("tick=%" PRId64 " size=%dx%d zoom=%08" PRIX32 " centerRe=%08" PRIX32 " centerIm=%08" PRIX32
                        " frame=%016" PRIX64 "\n",
                        options.ticks, W, H, bits[0], bits[1], bits[2], HashFrame(pixels, frameWords)) < 0)
            OutputFailed(errno);
    }
    FinishOutput();
    std::free(pixels);
    return 0;
}
