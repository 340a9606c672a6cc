// mandelbrot-frames: runs the animation headless and reports or exports frames.
//
//   mandelbrot-frames --size WxH --ticks N [--from M | --fast-forward] [--png FILE] [--raw]
//                     [--path scalar|sse2|avx2|avx512|auto]
//
// Prints one line with the view after tick N and the FNV-1a hash of the frame
// tick N rendered; --png saves that frame as the screen shows it; --raw writes
// every rendered frame to standard output as 32-bit BGRA rows instead.
// --from M (1 <= M <= N) renders only ticks M to N: the ones before advance
// the view without rendering, as exactly as rendering would; --fast-forward
// is --from N.
// --path picks the renderer (default auto: the fastest this CPU has); every
// path gives the same words.
#include "animation.h"
#include "render/render.h"

#include <png.h>

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "raw frames and hashes take the words as little-endian bytes");

namespace {

const char kUsage[] =
    "usage: mandelbrot-frames --size WxH --ticks N [--from M | --fast-forward] [--png FILE] [--raw]"
    " [--path scalar|sse2|avx2|avx512|auto]";
constexpr long kMaxSide = 65535;  // the largest client area a window reports

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
};

[[noreturn]] void Fail(const std::string& problem)
{
    std::fprintf(stderr, "mandelbrot-frames: %s (%s)\n", problem.c_str(), kUsage);
    std::exit(2);
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
    if (!x || !ParseNumber(width.c_str(), 0, kMaxSide, &w) || !ParseNumber(x + 1, 0, kMaxSide, &h))
        Fail("--size wants WxH with W and H whole numbers from 0 to 65535, not '" + std::string(text) + "'");
    options->width = static_cast<int32_t>(w);
    options->height = static_cast<int32_t>(h);
}

Options ParseOptions(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--size" || arg == "--ticks" || arg == "--from" || arg == "--png" || arg == "--path") {
            if (!hasValue)
                Fail(arg + " needs a value");
            const char* value = argv[++i];
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
    return options;
}

// Memory the system can still give without swapping or killing us, in bytes.
unsigned long long AvailableMemory()
{
    unsigned long long kib = 0;
    if (FILE* meminfo = std::fopen("/proc/meminfo", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, meminfo))
            if (std::sscanf(line, "MemAvailable: %llu kB", &kib) == 1)
                break;
        std::fclose(meminfo);
    }
    return kib * 1024;
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
    const unsigned long long available = AvailableMemory();
    // A 32-bit build cannot address the largest frames at all, and a process
    // may be held to less memory than the system has.
    std::string refusal;
    uint32_t* pixels = nullptr;
    if (bytes > SIZE_MAX)
        refusal = "more than a " + std::to_string(sizeof(void*) * 8) + "-bit program can address";
    else if (bytes > available)
        refusal = "more than the " + std::to_string(available) + " bytes of memory available";
    else if (!(pixels = static_cast<uint32_t*>(std::calloc(static_cast<size_t>(words), 4))))
        refusal = "more than this process may allocate";
    if (!pixels)
        Fail("a " + std::to_string(options.width) + "x" + std::to_string(options.height) + " frame needs " +
             std::to_string(bytes) + " bytes, " + refusal);
    return pixels;
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

// The screen reads bits 16-23 as red, 8-15 as green and 0-7 as blue.
bool WritePng(FILE* file, const uint32_t* pixels, int32_t width, int32_t height)
{
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    png_bytep row = static_cast<png_bytep>(std::malloc(static_cast<size_t>(width) * 3));
    bool ok = png && info && row;
    if (ok && setjmp(png_jmpbuf(png))) {
        ok = false;
    } else if (ok) {
        png_init_io(png, file);
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

}  // namespace

int main(int argc, char** argv)
{
    const Options options = ParseOptions(argc, argv);
    if (options.forcePath)
        SetRenderPath(options.path);
    const int32_t W = options.width, H = options.height;
    const int64_t frameWords = static_cast<int64_t>(W) * H;

    // Opened before the run so that a bad path fails at once.
    FILE* png = nullptr;
    if (options.pngPath && !(png = std::fopen(options.pngPath, "wb")))
        Fail("cannot write the PNG file '" + std::string(options.pngPath) + "': " + std::strerror(errno));

    uint32_t* pixels = AllocateFrame(options);
    for (int64_t tick = 1; tick <= options.ticks; ++tick) {
        if (tick < options.from) {
            SkipTick(pixels, W, H);
            continue;
        }
        AnimationTick(pixels, W, H);
        if (options.raw && std::fwrite(pixels, 4, frameWords, stdout) != static_cast<size_t>(frameWords)) {
            std::fprintf(stderr, "mandelbrot-frames: writing raw frames failed: %s\n", std::strerror(errno));
            return 1;
        }
    }

    if (png && (!WritePng(png, pixels, W, H) || std::fclose(png) != 0)) {
        std::fprintf(stderr, "mandelbrot-frames: writing the PNG file '%s' failed\n", options.pngPath);
        return 1;
    }
    if (!options.raw) {
        uint32_t bits[3];
        std::memcpy(&bits[0], &viewState.zoom, 4);
        std::memcpy(&bits[1], &viewState.centerRe, 4);
        std::memcpy(&bits[2], &viewState.centerIm, 4);
        std::printf("tick=%" PRId64 " size=%dx%d zoom=%08" PRIX32 " centerRe=%08" PRIX32 " centerIm=%08" PRIX32
                    " frame=%016" PRIX64 "\n",
                    options.ticks, W, H, bits[0], bits[1], bits[2], HashFrame(pixels, frameWords));
    }
    std::free(pixels);
    return 0;
}
