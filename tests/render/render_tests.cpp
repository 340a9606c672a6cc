// Every render path this machine has must give the reference's words, word
// for word, for any view and frame size, and write nothing outside the frame.
#include "animation.h"
#include "render/cpu.h"
#include "render/dispatch.h"
#include "emulated.h"

#include <doctest/doctest.h>

#include <cmath>
#include <cpuid.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

// Each test case leaves the view and the chosen path as it found them.
struct SavedState {
    ViewState view = viewState;
    RenderPath path = CurrentRenderPath();
    ~SavedState()
    {
        viewState = view;
        SetRenderPath(path);
    }
};

std::vector<RenderPath> FastPaths()
{
    std::vector<RenderPath> paths;
    for (int i = 1; i < kRenderPathCount; ++i)
        if (RenderPathAvailable(RenderPath(i)))
            paths.push_back(RenderPath(i));
    return paths;
}

std::vector<RenderPath> AllPaths()
{
    std::vector<RenderPath> paths = FastPaths();
    paths.insert(paths.begin(), RenderPath::Scalar);
    return paths;
}

// What the processor offers, read apart from the renderer's detection: by
// the cpuid and xgetbv instructions directly, and from what the kernel lists
// in /proc/cpuinfo (absent on Windows, except through Wine's drive Z:). Under
// qemu /proc/cpuinfo is the host's, not the emulated processor's.
struct Feature {
    const char* name;  // as /proc/cpuinfo lists it
    unsigned bit;      // CpuFeature
    bool inCpuid, inCpuinfo;
};
struct ProcessorReport {
    std::vector<Feature> features;
    bool haveCpuinfo, emulated;
};

void Cpuid(uint32_t leaf, uint32_t subleaf, uint32_t out[4])
{
    __asm__ volatile("cpuid" : "=a"(out[0]), "=b"(out[1]), "=c"(out[2]), "=d"(out[3]) : "a"(leaf), "c"(subleaf));
}

std::string ReadFile(const char* path)
{
    std::string text;
    if (FILE* file = std::fopen(path, "r")) {
        char chunk[4096];
        for (size_t got; (got = std::fread(chunk, 1, sizeof chunk, file)) > 0;)
            text.append(chunk, got);
        std::fclose(file);
    }
    return text;
}

ProcessorReport ReadProcessor()
{
    uint32_t r1[4], r7[4] = {0, 0, 0, 0}, r0[4];
    Cpuid(0, 0, r0);
    Cpuid(1, 0, r1);
    if (r0[0] >= 7)
        Cpuid(7, 0, r7);
    uint32_t xcr0 = 0;
    const bool osxsave = r1[2] >> 27 & 1;
    if (osxsave) {
        uint32_t high;
        __asm__ volatile("xgetbv" : "=a"(xcr0), "=d"(high) : "c"(0));
    }
    const bool ymm = osxsave && (xcr0 & 0x06) == 0x06 && (r1[2] >> 28 & 1);
    const bool zmm = ymm && (xcr0 & 0xE6) == 0xE6;

    ProcessorReport report;
#if defined(_WIN32)
    const std::string cpuinfo = ReadFile("Z:/proc/cpuinfo");
#else
    const std::string cpuinfo = ReadFile("/proc/cpuinfo");
#endif
    // The runners say when a program runs under an emulator; qemu-user also
    // shows in the process name when it is started directly.
    report.emulated = Emulated() || ReadFile("/proc/self/comm").rfind("qemu", 0) == 0;
    report.haveCpuinfo = !report.emulated && cpuinfo.find("\nflags") != std::string::npos;
    const size_t at = cpuinfo.find("\nflags");
    const std::string flags = report.haveCpuinfo ? cpuinfo.substr(at, cpuinfo.find('\n', at + 1) - at) + " " : "";
    auto listed = [&](const char* flag) { return flags.find(std::string(" ") + flag + " ") != std::string::npos; };
    report.features = {
        {"sse2", kCpuSse2, (r1[3] >> 26 & 1) != 0, listed("sse2")},
        {"avx2", kCpuAvx2, ymm && (r7[1] >> 5 & 1), listed("avx2")},
        {"avx512f", kCpuAvx512f, zmm && (r7[1] >> 16 & 1), listed("avx512f")},
    };
    return report;
}

constexpr int kGuard = 32;
constexpr uint32_t kGuardWord = 0xA5A5A5A5u;

// Renders the current view with every fast path and compares with the
// reference, including guard words on both sides of the frame; a frame with a
// side over kMaxFrameSide must have gone to the reference. Returns the
// number of paths that differed, so loops can stop reporting early.
int CompareAllPaths(int32_t W, int32_t H)
{
    const size_t words = static_cast<size_t>(W) * H;
    std::vector<uint32_t> expected(words + 2 * kGuard, kGuardWord);
    RenderFrame(expected.data() + kGuard, W, H);
    const bool fits = W <= kMaxFrameSide && H <= kMaxFrameSide;
    int failures = 0;
    for (RenderPath path : FastPaths()) {
        std::vector<uint32_t> actual(words + 2 * kGuard, kGuardWord);
        const RenderPath used = RenderViewOnPath(path, viewState, actual.data() + kGuard, W, H);
        if (used != (fits ? path : RenderPath::Scalar)) {
            FAIL_CHECK(std::string(RenderPathName(path)) << " " << W << "x" << H << " was rendered by "
                                                         << std::string(RenderPathName(used)));
            ++failures;
        }
        if (actual != expected) {
            size_t first = 0;
            while (actual[first] == expected[first])
                ++first;
            char view[160];
            std::snprintf(view, sizeof view, "%s %dx%d zoom=%a centre=(%a, %a)", RenderPathName(path), W, H,
                          viewState.zoom, viewState.centerRe, viewState.centerIm);
            FAIL_CHECK(view << ": first differing word at index " << static_cast<long long>(first) - kGuard);
            ++failures;
        }
    }
    return failures;
}

// Compares `views` random views, zoomed in 2^minLogZoom up to where the zoom
// stops growing, at random sizes up to maxSide a side; stops at the first
// view that differs.
void CompareRandomViews(uint32_t seed, int views, float minLogZoom, float reLow, float reHigh, float imSpan,
                        int32_t maxSide)
{
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> logZoom(minLogZoom, 21.0f), re(reLow, reHigh), im(-imSpan, imSpan);
    std::uniform_int_distribution<int32_t> side(1, maxSide);
    int failures = 0;
    for (int i = 0; i < views && failures == 0; ++i) {
        viewState = {std::exp2(logZoom(random)), re(random), im(random)};
        failures += CompareAllPaths(side(random), side(random));
    }
}


// Renders `part` of the W x H frame of the current view through every path
// into a buffer of rows `stride` words apart, with guard words around it and
// in the gaps between its rows, and compares each word with the whole
// frame's there; returns the number of paths that differed.
int ComparePart(const std::vector<uint32_t>& whole, int32_t W, int32_t H, const FrameRect& part, int32_t stride)
{
    static std::unique_ptr<RenderWorkspace> work(new RenderWorkspace);
    const size_t words = part.height > 0 ? static_cast<size_t>(part.height - 1) * stride + part.width : 0;
    int failures = 0;
    for (RenderPath path : AllPaths()) {
        std::vector<uint32_t> buffer(words + 2 * kGuard, kGuardWord);
        const RenderPath used = BeginFramePart(work.get(), path, viewState, W, H, part, buffer.data() + kGuard, stride);
        RenderBands(work.get());
        size_t differing = 0;
        for (size_t i = 0; i < buffer.size(); ++i) {
            const int64_t at = static_cast<int64_t>(i) - kGuard, r = at / stride, c = at % stride;
            const bool inside = at >= 0 && r < part.height && c < part.width;
            differing += buffer[i] != (inside ? whole[(part.y + r) * W + part.x + c] : kGuardWord);
        }
        if (used != path || differing != 0) {
            FAIL_CHECK(RenderPathName(path) << " (rendered by " << RenderPathName(used) << "): part " << part.x << ","
                                            << part.y << " " << part.width << "x" << part.height << " of " << W
                                            << "x" << H << " at stride " << stride << ": " << differing
                                            << " words differ");
            ++failures;
        }
    }
    return failures;
}
}  // namespace

TEST_CASE("names, availability and the choice of path; a value that is no path is never run")
{
    SavedState saved;
    // Each name is its path's own and reads back as it; "auto", which the
    // frame tool keeps for the best path, is none.
    std::set<std::string> names;
    for (int i = 0; i < kRenderPathCount; ++i) {
        const std::string name = RenderPathName(RenderPath(i));
        CAPTURE(name);
        CHECK(names.insert(name).second);
        CHECK(name != "unknown");
        RenderPath parsed = RenderPath(-1);
        CHECK(ParseRenderPath(name.c_str(), &parsed));
        CHECK(parsed == RenderPath(i));
    }
    CHECK(std::string(RenderPathName(RenderPath::Scalar)) == "scalar");
    RenderPath untouched = RenderPath(-1);
    CHECK_FALSE(ParseRenderPath("auto", &untouched));
    CHECK_FALSE(ParseRenderPath("SCALAR", &untouched));
    CHECK_FALSE(ParseRenderPath("", &untouched));
    CHECK(untouched == RenderPath(-1));

    CHECK(RenderPathAvailable(BestRenderPath()));
    for (int i = int(BestRenderPath()) + 1; i < kRenderPathCount; ++i)
        CHECK_FALSE(RenderPathAvailable(RenderPath(i)));
#if defined(__SSE2__)
    // The build itself needs SSE2: every path that needs no more is there.
    for (int i = 0; i < kRenderPathCount; ++i)
        if (RenderPathsWith(kCpuSse2) >> i & 1)
            CHECK(RenderPathAvailable(RenderPath(i)));
#endif
    for (int i = 0; i < kRenderPathCount; ++i) {
        const RenderPath path = RenderPath(i);
        CHECK(SetRenderPath(path) == RenderPathAvailable(path));
        if (RenderPathAvailable(path))
            CHECK(CurrentRenderPath() == path);
    }

    // Values past the last path (as a new one would be, were it left out of
    // the dispatcher's table) render as the reference.
    for (int i : {kRenderPathCount, kRenderPathCount + 1, 31, 32, 255}) {
        const RenderPath stray = RenderPath(i);
        CAPTURE(i);
        CHECK_FALSE(RenderPathAvailable(stray));
        CHECK_FALSE(SetRenderPath(stray));
        CHECK(std::string(RenderPathName(stray)) == "unknown");
        viewState = kFirstView;
        std::vector<uint32_t> frame(64 * 48), expected(64 * 48);
        CHECK(RenderViewOnPath(stray, viewState, frame.data(), 64, 48) == RenderPath::Scalar);
        RenderFrame(expected.data(), 64, 48);
        CHECK(frame == expected);
    }
}

TEST_CASE("the instruction sets that CPUID and XCR0 offer")
{
    const uint32_t avx = bit_OSXSAVE | bit_AVX, leaf7 = bit_AVX2 | bit_AVX512F;
    const uint32_t xcr0All = 0xE7;  // x87, SSE, AVX, opmask, zmm0-15 high halves, zmm16-31
    struct Case {
        const char* what;
        CpuRegisters registers;  // maxLeaf, leaf 1 ECX and EDX, leaf 7 EBX, XCR0
        unsigned features;
    };
    const Case cases[] = {
        {"everything", {13, avx, bit_SSE2, leaf7, xcr0All}, kCpuSse2 | kCpuAvx2 | kCpuAvx512f},
        {"AVX2, no AVX-512", {13, avx, bit_SSE2, bit_AVX2, xcr0All}, kCpuSse2 | kCpuAvx2},
        {"AVX-512 without AVX2", {13, avx, bit_SSE2, bit_AVX512F, xcr0All}, kCpuSse2 | kCpuAvx512f},
        {"the OS saves no YMM state", {13, avx, bit_SSE2, leaf7, 0x03}, kCpuSse2},
        {"the OS saves zmm but not ymm", {13, avx, bit_SSE2, leaf7, 0xE3}, kCpuSse2},
        {"YMM but no ZMM", {13, avx, bit_SSE2, leaf7, 0x07}, kCpuSse2 | kCpuAvx2},
        {"ZMM state without zmm16-31", {13, avx, bit_SSE2, leaf7, 0x67}, kCpuSse2 | kCpuAvx2},
        {"no leaf 7: its register is stale", {6, avx, bit_SSE2, leaf7, xcr0All}, kCpuSse2},
        {"no OSXSAVE: XCR0 is not to be read", {13, bit_AVX, bit_SSE2, leaf7, xcr0All}, kCpuSse2},
        {"no AVX in leaf 1", {13, bit_OSXSAVE, bit_SSE2, leaf7, xcr0All}, kCpuSse2},
        {"leaf 1 alone", {1, 0, bit_SSE2, leaf7, xcr0All}, kCpuSse2},
        {"no CPUID leaves at all", {0, ~0u, ~0u, ~0u, ~0u}, 0},
    };
    for (const Case& c : cases) {
        const std::string what = c.what;
        CAPTURE(what);
        CHECK(CpuFeatures(c.registers) == c.features);
    }
}

TEST_CASE("a path is offered only with every instruction set it needs, and every fast path needs one")
{
    const unsigned all = (1u << kRenderPathCount) - 1, scalar = 1u << int(RenderPath::Scalar);
    // No fast path runs on a processor that offers nothing: each needs at
    // least one set. Every path runs where everything is offered: none needs
    // a set that no processor can report.
    CHECK(RenderPathsWith(0) == scalar);
    CHECK(RenderPathsWith(kCpuSse2 | kCpuAvx2 | kCpuAvx512f) == all);
    // More sets never take a path away, and the reference is always there.
    for (unsigned features = 0; features < 8; ++features) {
        CAPTURE(features);
        const unsigned paths = RenderPathsWith(features);
        CHECK((paths & scalar) != 0);
        for (unsigned more = features; more < 8; ++more)
            if ((more & features) == features)
                CHECK((RenderPathsWith(more) & paths) == paths);
    }
}

TEST_CASE("the detection finds every instruction set that the processor and the system offer")
{
    const ProcessorReport cpu = ReadProcessor();
    const unsigned detected = CpuFeatures(ReadCpuRegisters());
    unsigned offered = 0;
    for (const Feature& feature : cpu.features) {
        CAPTURE(feature.name);
        // The two independent reads agree with each other where both exist,
        // and with the renderer's detection.
        if (cpu.haveCpuinfo)
            CHECK(feature.inCpuinfo == feature.inCpuid);
        CHECK(((detected & feature.bit) != 0) == (feature.inCpuid || feature.inCpuinfo));
        if (feature.inCpuid || feature.inCpuinfo)
            offered |= feature.bit;
    }
    // A path whose instructions are offered must not be missing, nor one run
    // whose instructions are not.
    for (int i = 0; i < kRenderPathCount; ++i) {
        CAPTURE(RenderPathName(RenderPath(i)));
        CHECK(RenderPathAvailable(RenderPath(i)) == ((RenderPathsWith(offered) >> i & 1) != 0));
    }
    std::string compared;
    for (RenderPath path : FastPaths())
        compared += std::string(" ") + RenderPathName(path);
    std::printf("report: %s build%s: render paths compared with the reference:%s (the detection agrees with %s)\n",
                sizeof(void*) == 4 ? "32-bit" : "64-bit", cpu.emulated ? ", under qemu" : "",
                compared.empty() ? " none" : compared.c_str(),
                cpu.haveCpuinfo ? "/proc/cpuinfo and CPUID" : "CPUID");
}

TEST_CASE("every size from 1x1 up, at the first view, near the set's cusp and zoomed in")
{
    SavedState saved;
    const float views[][3] = {
        {1.0f, -0.75f, 0.5f},              // the first frame: |c| up to about 2.3
        {1.0f, -0.75f, 0.0f},              // symmetric about the real axis
        {89.599f, -0.6614853f, 0.4115117f},  // where the drift settles
        {3000.0f, 0.25f, 0.0f},            // the cusp: slow escapes next to 128
    };
    for (const auto& v : views) {
        viewState = {v[0], v[1], v[2]};
        int failures = 0;
        for (int32_t W = 1; W <= 40 && failures == 0; ++W)
            for (int32_t H = 1; H <= 12 && failures == 0; ++H)
                failures += CompareAllPaths(W, H);
        for (int32_t H = 13; H <= 40 && failures == 0; ++H)
            for (int32_t W = 1; W <= 3 && failures == 0; ++W)
                failures += CompareAllPaths(W, H);
    }
}

TEST_CASE("every step count from 0 to 128 gets its word on every path")
{
    SavedState saved;
    // The first view at 640 x 360 has pixels of every count; the 129 words
    // differ, so finding each one shows that its count is there.
    viewState = kFirstView;
    std::vector<uint32_t> frame(640 * 360);
    RenderFrame(frame.data(), 640, 360);
    const std::set<uint32_t> words(frame.begin(), frame.end());
    for (int n = 0; n <= MAX_ITERATIONS; ++n) {
        CAPTURE(n);
        REQUIRE(words.count(StepColor(n)) == 1);
    }
    CompareAllPaths(640, 360);
}

TEST_CASE("one-pixel rows and columns, and widths around every vector width")
{
    SavedState saved;
    viewState = ViewAfterTicks(kFirstView, 885, nullptr, 1, 1);
    for (int32_t length : {1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 32, 33, 47, 48, 49, 63, 64, 65, 97, 1000, 1921}) {
        CompareAllPaths(length, 1);
        CompareAllPaths(1, length);
    }
    for (int32_t W : {45, 47, 48, 49, 50, 95, 96, 97, 191, 193})
        CompareAllPaths(W, 7);
}

TEST_CASE("frames of the animation at known ticks")
{
    SavedState saved;
    for (int ticks : {0, 885, 1999, 4999, 99999}) {
        viewState = ViewAfterTicks(kFirstView, ticks, nullptr, 321, 179);
        CompareAllPaths(321, 179);
    }
}

TEST_CASE("zooms up to where the zoom stops growing, and boundary centres")
{
    SavedState saved;
    const float centres[][2] = {
        {-0.6614853f, 0.4115117f},  // the animation's settled centre
        {-2.0f, 0.0f},              // tip of the needle: |z|^2 stays exactly 4
        {0.25f, 0.0f},              // the cusp
        {-0.75f, 0.0f},             // the neck between the two largest parts
        {0.0f, 1.0f},               // an orbit that cycles between |z|^2 of 1 and 2
        {-0.1011f, 0.9563f},        // a Misiurewicz-like boundary point
        {-1.25f, 0.0f},             // boundary of the period-2 disc
    };
    for (float zoom : {1.0f, 37.7f, 1e4f, 3.3e5f, 2097151.9f, 2097152.0f}) {
        for (const auto& c : centres) {
            viewState = {zoom, c[0], c[1]};
            CompareAllPaths(67, 41);
        }
    }
}

TEST_CASE("random views and sizes")
{
    SavedState saved;
    CompareRandomViews(20261208, 300, 0.0f, -2.5f, 1.0f, 1.5f, 90);
}

TEST_CASE("views no tick reaches still agree: tiny, zero, negative and non-finite")
{
    SavedState saved;
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float views[][3] = {
        {1e-30f, 0.0f, 0.0f},  // |c| far beyond 2: everything escapes at once or overflows
        {0.0f, -0.75f, 0.5f},  // division by zero: infinite and NaN coordinates
        {-1.0f, -0.75f, 0.5f},
        {1.0f, 3e38f, -3e38f},
        {1.0f, inf, 0.0f},
        {1.0f, nan, 0.5f},
        {nan, 0.0f, 0.0f},
        {1e30f, 1e-40f, -1e-40f},  // subnormal centre: no flush to zero anywhere
    };
    for (const auto& v : views) {
        viewState = {v[0], v[1], v[2]};
        CompareAllPaths(37, 5);
    }
}

TEST_CASE("the widest frame uses the whole coordinate table; wider ones fall back to the reference")
{
    SavedState saved;
    viewState = kFirstView;
    CompareAllPaths(kMaxFrameSide, 1);
    CompareAllPaths(1, kMaxFrameSide);
    CompareAllPaths(kMaxFrameSide + 1, 1);
    CompareAllPaths(1, kMaxFrameSide + 1);
}

TEST_CASE("deep in the zoom, where neighbouring columns and rows share coordinates")
{
    SavedState saved;
    // Columns repeat at 640 x 360 by tick 1,000,000 but rows do not yet; at
    // tick 18,073,720 the zoom has stopped growing and a 1920 x 1080 frame
    // has about 800 distinct points. Tick 100,000 has no repeats at all.
    const int32_t sizes[][3] = {{640, 360, 100000}, {640, 360, 1000000}, {1920, 1080, 18073720},
                                {33, 1000, 18073720}, {1000, 3, 18073720}, {25, 33, 18073720}};
    for (const auto& size : sizes) {
        if (size[0] == 1920 && Emulated())
            continue;  // the other sizes at that tick repeat coordinates too
        viewState = ViewAfterTicks(kFirstView, size[2], nullptr, size[0], size[1]);
        CompareAllPaths(size[0], size[1]);
    }
    CompareRandomViews(20261209, 60, 16.0f, -2.0f, 0.5f, 1.0f, 300);
}

TEST_CASE("AnimationTick renders through the chosen path and advances the view as before")
{
    SavedState saved;
    const int32_t W = 96, H = 54;
    for (RenderPath path : AllPaths()) {
        CAPTURE(RenderPathName(path));
        REQUIRE(SetRenderPath(path));
        viewState = kFirstView;
        ViewState reference = viewState;
        std::vector<uint32_t> pixels(W * H), expected(W * H);
        const int ticks = Emulated() ? 300 : 900;
        for (int tick = 1; tick <= ticks; ++tick) {
            AnimationTick(pixels.data(), W, H);
            REQUIRE(LastFramePath() == path);
            std::swap(viewState, reference);
            RenderFrame(expected.data(), W, H);
            AdvanceView(expected.data(), W, H);
            std::swap(viewState, reference);
            if (tick % 150 == 0)
                REQUIRE(pixels == expected);
        }
        CHECK(std::memcmp(&viewState, &reference, sizeof reference) == 0);
    }
}

TEST_CASE("a part of a frame, anywhere in it and at any stride, holds the whole frame's words there, on every path")
{
    SavedState saved;
    // The first view, the settled centre shallow and deep (where neighbouring
    // columns and rows share coordinates, in runs that a part's edge cuts).
    const ViewState settled = ViewAfterTicks(kFirstView, 885, nullptr, 1, 1);
    for (const ViewState view : {kFirstView, settled, ViewState{2097152.0f, settled.centerRe, settled.centerIm}}) {
        viewState = view;
        const int32_t sizes[][2] = {{97, 61}, {640, 3}, {2, 2}};
        for (const auto& size : sizes) {
            const int32_t W = size[0], H = size[1];
            std::vector<uint32_t> whole(static_cast<size_t>(W) * H);
            RenderReference(view, whole.data(), W, H);
            const FrameRect parts[] = {
                {0, 0, W, H}, {1, 1, W - 2, H - 2}, {W - 1, 0, 1, H}, {0, H - 1, W, 1}, {W / 2, H / 2, 1, 1},
                {W / 3, 0, W - W / 3, H / 2 + 1}, {W / 2, H / 2, 0, 1}, {0, 0, W, 0},
            };
            int failures = 0;
            for (const FrameRect& part : parts)
                for (int32_t extra : {0, 5})
                    if (failures == 0)
                        failures += ComparePart(whole, W, H, part, std::max(part.width, 1) + extra);
        }
    }
}

TEST_CASE("a small part of a frame wider than any window still takes the fast paths, with the same words")
{
    SavedState saved;
    viewState = ViewAfterTicks(kFirstView, 2000, nullptr, 1, 1);
    const int32_t W = kMaxFrameSide + 4000, H = 3;
    std::vector<uint32_t> whole(static_cast<size_t>(W) * H);
    RenderReference(viewState, whole.data(), W, H);
    CHECK(ComparePart(whole, W, H, {W / 2 - 300, 0, 640, 3}, 640) == 0);
    CHECK(ComparePart(whole, W, H, {W - 33, 1, 33, 2}, 40) == 0);
}
