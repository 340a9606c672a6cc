// mandelbrot-frames: runs the animation headless and reports or exports
// frames; kHelp below says how to use it.
#include "animation.h"
#include "render/render.h"

#include <png.h>

#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <csetjmp>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "raw frames and hashes take the words as little-endian bytes");

namespace {

const char kUsage[] =
    "usage: mandelbrot-frames --size WxH --ticks N [--from M | --fast-forward] [--png FILE] [--raw]"
    " [--path scalar|sse2|avx2|avx512|auto] [--threads N] [--quiet]";

// printf's format: the usage, the largest side, the most threads.
const char kHelp[] =
    "%s\n"
    "Prints one line with the view after tick N and the FNV-1a hash of the frame tick N rendered.\n"
    "  --size WxH       frame size, each side 0 to %d\n"
    "  --ticks N        the last tick, 1 or more\n"
    "  --from M         render only ticks M to N; the earlier ones advance the view\n"
    "                   without rendering, exactly as rendering would\n"
    "  --fast-forward   the same as --from N\n"
    "  --png FILE       save tick N's frame as the screen shows it\n"
    "  --raw            write every rendered frame to standard output as 32-bit BGRA rows\n"
    "                   instead of the line\n"
    "  --path P         the renderer (default auto: the fastest this CPU has); all give the same words\n"
    "  --threads N      render each frame on N threads, 1 to %d (default: one for each core);\n"
    "                   the frames are the same for every N\n"
    "  --quiet          show no progress (shown on a terminal's stderr when more than one frame is rendered)\n"
    "  --help           print this and exit\n";

struct Options {
    int32_t width = -1;
    int32_t height = -1;
    int64_t ticks = -1;
    int64_t from = -1;  // first rendered tick; -1: not given
    bool fastForward = false;
    bool raw = false;
    bool forcePath = false;  // false: auto
    RenderPath path = RenderPath::Scalar;
    const char* pngPath = nullptr;
    int threads = 0;  // 0: not given
    bool quiet = false;
};

constexpr int kMaxThreads = 1024;

// The progress line on a terminal's stderr: frames done of the total, frames
// a second and the time left, rewritten in place at most four times a second.
struct Progress {
    bool shown = false;
    bool lineOpen = false;  // the line is on the screen without its newline
    int64_t total = 0;
    std::chrono::steady_clock::time_point start, last;
};
Progress progress;

// The temporary file the PNG is written to beside its final name, renamed
// onto it only when complete; removed on every other way out, signals too.
const char* tempPath = nullptr;
volatile sig_atomic_t tempExists = 0;

void RemoveTemp()
{
    if (tempExists)
        unlink(tempPath);
    tempExists = 0;
}

void OnSignal(int number)
{
    RemoveTemp();
    std::signal(number, SIG_DFL);
    std::raise(number);
}

// A problem with the command line: exit status 2.
[[noreturn]] void Fail(const std::string& problem)
{
    RemoveTemp();
    std::fprintf(stderr, "mandelbrot-frames: %s (%s)\n", problem.c_str(), kUsage);
    std::exit(2);
}

// A failure while running: exit status 1.
[[noreturn]] void RunFailed(const std::string& reason)
{
    RemoveTemp();
    std::fprintf(stderr, "%smandelbrot-frames: %s\n", progress.lineOpen ? "\n" : "", reason.c_str());
    std::exit(1);
}

[[noreturn]] void OutputFailed()
{
    RunFailed(std::string("writing to standard output failed: ") + std::strerror(errno));
}

// Makes sure everything written to standard output has arrived.
void FinishOutput()
{
    if (std::fflush(stdout) != 0 || std::fclose(stdout) != 0)
        OutputFailed();
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

void ParseSize(const char* text, Options* options)
{
    const char* x = std::strchr(text, 'x');
    const std::string width(text, x ? x - text : std::strlen(text));
    long long w = 0, h = 0;
    if (!x || !ParseNumber(width.c_str(), 0, kMaxFrameSide, &w) || !ParseNumber(x + 1, 0, kMaxFrameSide, &h))
        Fail("--size wants WxH with W and H whole numbers from 0 to " + std::to_string(kMaxFrameSide) + ", not '" +
             std::string(text) + "'");
    options->width = static_cast<int32_t>(w);
    options->height = static_cast<int32_t>(h);
}

Options ParseOptions(int argc, char** argv)
{
    Options options;
    std::vector<std::string> given;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help") {
            if (std::printf(kHelp, kUsage, kMaxFrameSide, kMaxThreads) < 0)
                OutputFailed();
            FinishOutput();
            std::exit(0);
        }
        if (std::find(given.begin(), given.end(), arg) != given.end())
            Fail(arg + " is given twice");
        given.push_back(arg);
        if (arg == "--size" || arg == "--ticks" || arg == "--from" || arg == "--png" || arg == "--path" ||
            arg == "--threads") {
            if (i + 1 == argc)
                Fail(arg + " needs a value");
            const char* value = argv[++i];
            if (std::strncmp(value, "--", 2) == 0)
                Fail(arg + " needs a value, not the option '" + value + "'");
            if (arg == "--size") {
                ParseSize(value, &options);
            } else if (arg == "--ticks") {
                long long n = 0;
                if (!ParseNumber(value, 1, INT64_MAX, &n))
                    Fail("--ticks wants a whole number of at least 1, not '" + std::string(value) + "'");
                options.ticks = n;
            } else if (arg == "--from") {
                long long m = 0;
                if (!ParseNumber(value, 1, INT64_MAX, &m))
                    Fail("--from wants a whole number of at least 1, not '" + std::string(value) + "'");
                options.from = m;
            } else if (arg == "--threads") {
                long long n = 0;
                if (!ParseNumber(value, 1, kMaxThreads, &n))
                    Fail("--threads wants a whole number from 1 to " + std::to_string(kMaxThreads) + ", not '" +
                         std::string(value) + "'");
                options.threads = static_cast<int>(n);
            } else if (arg == "--path") {
                options.forcePath = std::strcmp(value, "auto") != 0;
                if (options.forcePath && !ParseRenderPath(value, &options.path))
                    Fail("--path wants scalar, sse2, avx2, avx512 or auto, not '" + std::string(value) + "'");
                if (options.forcePath && !RenderPathAvailable(options.path))
                    Fail("this CPU cannot run the '" + std::string(value) + "' render path");
            } else {
                options.pngPath = value;
            }
        } else if (arg == "--fast-forward") {
            options.fastForward = true;
        } else if (arg == "--raw") {
            options.raw = true;
        } else if (arg == "--quiet") {
            options.quiet = true;
        } else {
            Fail("unknown argument '" + arg + "'");
        }
    }
    if (options.width < 0)
        Fail("--size is missing");
    if (options.ticks < 0)
        Fail("--ticks is missing");
    if (options.fastForward && options.from >= 0)
        Fail("--from and --fast-forward both choose the first rendered tick; give one");
    if (options.fastForward)
        options.from = options.ticks;
    if (options.from < 0)
        options.from = 1;
    if (options.from > options.ticks)
        Fail("--from wants a tick from 1 to the --ticks value " + std::to_string(options.ticks) + ", not " +
             std::to_string(options.from));
    if (options.pngPath && (options.width == 0 || options.height == 0))
        Fail("--png needs a frame of at least 1x1");
    if (options.threads == 0)
        options.threads = std::max(1u, std::thread::hardware_concurrency());
    return options;
}

// Memory the system can still give without swapping or killing us, in bytes;
// false where the system does not say.
bool AvailableMemory(unsigned long long* bytes)
{
    bool known = false;
    if (FILE* meminfo = std::fopen("/proc/meminfo", "r")) {
        char line[256];
        unsigned long long kib = 0;
        while (!known && std::fgets(line, sizeof line, meminfo))
            known = std::sscanf(line, "MemAvailable: %llu kB", &kib) == 1;
        std::fclose(meminfo);
        *bytes = kib * 1024;
    }
    return known;
}

// A zeroed buffer big enough for the frame and for the centre word that an
// empty frame's tick still reads.
uint32_t* AllocateFrame(const Options& options)
{
    int64_t words = static_cast<int64_t>(options.width) * options.height;
    const int64_t centre = CenterIndex(options.width, options.height) + 1;
    if (words < centre)
        words = centre;
    const unsigned long long bytes = static_cast<unsigned long long>(words) * 4;
    unsigned long long available = 0;
    // A 32-bit build cannot address the largest frames at all, and a process
    // may be held to less memory than the system has.
    std::string refusal;
    uint32_t* pixels = nullptr;
    if (bytes > SIZE_MAX)
        refusal = "more than a " + std::to_string(sizeof(void*) * 8) + "-bit program can address";
    else if (AvailableMemory(&available) && bytes > available)
        refusal = "more than the " + std::to_string(available) + " bytes of memory available";
    else if (!(pixels = static_cast<uint32_t*>(std::calloc(static_cast<size_t>(words), 4))))
        refusal = "more than this process may allocate";
    if (!pixels)
        Fail("a " + std::to_string(options.width) + "x" + std::to_string(options.height) + " frame needs " +
             std::to_string(bytes) + " bytes, " + refusal);
    return pixels;
}

// Creates the temporary file beside the PNG's name, with the permissions a
// new file of that name would get.
FILE* CreateTemp(const char* pngPath)
{
    static std::string name;
    name = std::string(pngPath) + ".XXXXXX";
    const int fd = mkstemp(&name[0]);
    if (fd < 0)
        Fail("cannot write the PNG file '" + std::string(pngPath) + "': " + std::strerror(errno));
    tempPath = name.c_str();
    tempExists = 1;
    const mode_t mask = umask(0);
    umask(mask);
    FILE* file = fdopen(fd, "wb");
    if (fchmod(fd, 0666 & ~mask) != 0 || !file)
        RunFailed("cannot write the PNG file '" + std::string(pngPath) + "': " + std::strerror(errno));
    return file;
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

// libpng reports a failed write only as "Write Error"; the reason is kept here.
int pngWriteErrno = 0;

void PngWrite(png_structp png, png_bytep data, size_t length)
{
    if (std::fwrite(data, 1, length, static_cast<FILE*>(png_get_io_ptr(png))) != length) {
        pngWriteErrno = errno;
        png_error(png, "write failed");
    }
}

// Flushing is left to WritePng's caller, which checks it.
void PngFlush(png_structp) {}

// libpng's own handlers print to stderr; the tool reports one line itself.
void PngError(png_structp png, png_const_charp)
{
    std::longjmp(png_jmpbuf(png), 1);
}

void PngWarning(png_structp, png_const_charp) {}

// The screen reads bits 16-23 as red, 8-15 as green and 0-7 as blue.
bool WritePng(FILE* file, const uint32_t* pixels, int32_t width, int32_t height)
{
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, PngError, PngWarning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    png_bytep row = static_cast<png_bytep>(std::malloc(static_cast<size_t>(width) * 3));
    bool ok = png && info && row;
    if (!ok)
        pngWriteErrno = ENOMEM;
    if (ok && setjmp(png_jmpbuf(png))) {
        ok = false;
    } else if (ok) {
        png_set_write_fn(png, file, PngWrite, PngFlush);
        png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                     PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
        png_write_info(png, info);
        for (int32_t y = 0; y < height; ++y) {
            const uint32_t* words = pixels + static_cast<int64_t>(y) * width;
            for (int32_t x = 0; x < width; ++x) {
                row[3 * x + 0] = static_cast<png_byte>(words[x] >> 16);
                row[3 * x + 1] = static_cast<png_byte>(words[x] >> 8);
                row[3 * x + 2] = static_cast<png_byte>(words[x]);
            }
            png_write_row(png, row);
        }
        png_write_end(png, info);
    }
    png_destroy_write_struct(&png, &info);
    std::free(row);
    return ok;
}

// Writes the PNG into its temporary file and makes it durable; the caller
// renames it onto its name.
void SavePng(FILE* file, const char* pngPath, const uint32_t* pixels, int32_t width, int32_t height)
{
    bool ok = WritePng(file, pixels, width, height);
    int reason = pngWriteErrno;
    if (ok && (std::fflush(file) != 0 || fsync(fileno(file)) != 0)) {
        ok = false;
        reason = errno;
    }
    if (std::fclose(file) != 0 && ok) {
        ok = false;
        reason = errno;
    }
    if (!ok)
        RunFailed("writing the PNG file '" + std::string(pngPath) + "' failed: " + std::strerror(reason));
}

void ShowProgress(int64_t done)
{
    using namespace std::chrono;
    const steady_clock::time_point now = steady_clock::now();
    if (!progress.shown || (done < progress.total && progress.lineOpen && now - progress.last < milliseconds(250)))
        return;
    progress.last = now;
    const double rate = done / duration<double>(now - progress.start).count();
    const int64_t left = static_cast<int64_t>((progress.total - done) / rate + 0.5);
    std::fprintf(stderr, "\r%" PRId64 " of %" PRId64 " frames, %.1f frames/s, %" PRId64 ":%02d:%02d left\033[K", done,
                 progress.total, rate, left / 3600, static_cast<int>(left / 60 % 60), static_cast<int>(left % 60));
    progress.lineOpen = done < progress.total;
    if (!progress.lineOpen)
        std::fputc('\n', stderr);
}

// Render threads need little stack. The default, 8 MB each on most Linux
// systems, would run a 32-bit tool out of address space long before 1,024.
void UseSmallThreadStacks()
{
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, 256 << 10);
    pthread_setattr_default_np(&attributes);
    pthread_attr_destroy(&attributes);
}

// One frame in flight at a time. It is about 1 MB, so it is not on the stack.
RenderWorkspace workspace;

// Renders the view into the frame on the calling thread and threads - 1
// started for it, each taking bands of rows until none is left.
void RenderFrameOn(int threads, uint32_t* pixels, int32_t W, int32_t H)
{
    BeginFrame(&workspace, CurrentRenderPath(), viewState, pixels, W, H);
    std::vector<std::thread> helpers;
    for (int i = 1; i < threads; ++i)
        helpers.emplace_back(RenderBands, &workspace);
    RenderBands(&workspace);
    for (std::thread& helper : helpers)
        helper.join();
}

bool SameView(const ViewState& a, const ViewState& b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const Options options = ParseOptions(argc, argv);
    if (options.forcePath)
        SetRenderPath(options.path);
    const int32_t W = options.width, H = options.height;
    const int64_t frameWords = static_cast<int64_t>(W) * H;
    uint32_t* pixels = AllocateFrame(options);
    UseSmallThreadStacks();

    // A signal that the caller has the tool ignore (Ctrl-C for a background
    // job) stays ignored. SIGABRT: a render thread that cannot be started
    // ends the run through std::terminate.
    for (int number : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGABRT})
        if (std::signal(number, OnSignal) == SIG_IGN)
            std::signal(number, SIG_IGN);
    // Created before the run so that a bad path fails at once.
    FILE* png = options.pngPath ? CreateTemp(options.pngPath) : nullptr;

    // A tick's outcome depends on the view before it alone (the frame, and
    // with it the centre word, on nothing else), so a tick that leaves the view
    // as it was leaves it so for good: the zoom has stopped growing (from tick
    // 18,073,710 on) and the centre has stopped drifting. Every later tick
    // then renders the same frame and is reached at once.
    int64_t tick = 1;
    for (; tick < options.from; ++tick) {
        const ViewState before = viewState;
        SkipTick(pixels, W, H);
        if (SameView(before, viewState)) {
            tick = options.from;
            break;
        }
    }
    progress.total = options.ticks - tick + 1;
    progress.shown = progress.total > 1 && !options.quiet && isatty(STDERR_FILENO);
    progress.start = std::chrono::steady_clock::now();
    for (;; ++tick) {
        const ViewState before = viewState;
        RenderFrameOn(options.threads, pixels, W, H);
        AdvanceView(pixels, W, H);
        if (options.raw && std::fwrite(pixels, 4, frameWords, stdout) != static_cast<size_t>(frameWords))
            RunFailed(std::string("writing raw frames failed: ") + std::strerror(errno));
        if (tick == options.ticks || (!options.raw && SameView(before, viewState)))
            break;
        ShowProgress(tick - options.from + 1);
    }
    ShowProgress(progress.total);

    if (png)
        SavePng(png, options.pngPath, pixels, W, H);
    if (!options.raw) {
        uint32_t bits[3];
        std::memcpy(&bits[0], &viewState.zoom, 4);
        std::memcpy(&bits[1], &viewState.centerRe, 4);
        std::memcpy(&bits[2], &viewState.centerIm, 4);
        if (std::printf("tick=%" PRId64 " size=%dx%d zoom=%08" PRIX32 " centerRe=%08" PRIX32 " centerIm=%08" PRIX32
                        " frame=%016" PRIX64 "\n",
                        options.ticks, W, H, bits[0], bits[1], bits[2], HashFrame(pixels, frameWords)) < 0)
            OutputFailed();
    }
    FinishOutput();
    if (png && std::rename(tempPath, options.pngPath) != 0)
        RunFailed("cannot save the PNG file '" + std::string(options.pngPath) + "': " + std::strerror(errno));
    tempExists = 0;
    std::free(pixels);
    return 0;
}
