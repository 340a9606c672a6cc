// Milliseconds per 1920 x 1080 frame for every render path at a few ticks of
// the animation, loop passes per second, and the speed-up over the scalar
// reference measured in the same run. Figures only: no pass or fail on time.
//
// "sse2-8reg" is the SSE2 kernel built for 64-bit but kept to xmm0-xmm7, as
// 32-bit code is: an estimate of the shipped 32-bit exe's speed, since this
// machine cannot run 32-bit code natively.
#include "animation.h"
#include "render/kernels.h"
#include "render/render.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

void RenderFrameSse2On8Registers(const FrameGrid& grid);

namespace {

constexpr int32_t kWidth = 1920, kHeight = 1080;
const int kTicks[] = {1, 886, 2000, 5000, 100000};
const char kNarrowSse2[] = "sse2-8reg";

// The view each measured tick renders, reached with SkipTick, which advances
// the view exactly as rendering the earlier frames would.
ViewState ViewAtTick(int tick)
{
    static std::map<int, ViewState> views;
    if (!views.count(tick)) {
        const ViewState saved = viewState;
        viewState = {1.0f, -0.75f, 0.5f};
        std::vector<uint32_t> pixels(static_cast<size_t>(kWidth) * kHeight);
        for (int t = 1; t < tick; ++t)
            SkipTick(pixels.data(), kWidth, kHeight);
        views[tick] = viewState;
        viewState = saved;
    }
    return views[tick];
}

struct Reference {
    std::vector<uint32_t> words;
    double loopPasses;  // iterations of the escape loop for the whole frame
};

const Reference& ReferenceAtTick(int tick)
{
    static std::map<int, Reference> references;
    Reference& ref = references[tick];
    if (ref.words.empty()) {
        std::map<uint32_t, int> steps;
        for (int n = 0; n <= MAX_ITERATIONS; ++n)
            steps[StepColor(n)] = n;
        ref.words.resize(static_cast<size_t>(kWidth) * kHeight);
        viewState = ViewAtTick(tick);
        RenderFrame(ref.words.data(), kWidth, kHeight);
        ref.loopPasses = 0;
        for (uint32_t word : ref.words) {
            const int n = steps[word];
            ref.loopPasses += n < MAX_ITERATIONS ? n + 1 : MAX_ITERATIONS;
        }
    }
    return ref;
}

// The narrow SSE2 build gets the same per-frame coordinates as the dispatcher's.
void RenderNarrowSse2(uint32_t* pixels)
{
    RenderFrameSse2On8Registers(PrepareFrameGrid(pixels, kWidth, kHeight));
}

std::map<std::string, std::map<int, double>> msPerFrame;  // path -> tick -> ms

void BenchFrame(benchmark::State& state, std::string name, int tick)
{
    RenderPath path = RenderPath::Scalar;
    const bool narrow = name == kNarrowSse2;
    if (!narrow)
        ParseRenderPath(name.c_str(), &path);
    const Reference& ref = ReferenceAtTick(tick);
    std::vector<uint32_t> pixels(ref.words.size());
    viewState = ViewAtTick(tick);

    int64_t frames = 0;
    const auto begin = std::chrono::steady_clock::now();
    for (auto _ : state) {
        if (narrow)
            RenderNarrowSse2(pixels.data());
        else
            RenderFrameWith(path, pixels.data(), kWidth, kHeight);
        benchmark::DoNotOptimize(pixels.data());
        ++frames;
    }
    const std::chrono::duration<double, std::milli> elapsed = std::chrono::steady_clock::now() - begin;
    if (pixels != ref.words) {
        state.SkipWithError("frame differs from the scalar reference");
        return;
    }
    const double ms = elapsed.count() / frames;
    msPerFrame[name][tick] = ms;
    state.counters["passes/s"] = benchmark::Counter(ref.loopPasses * frames, benchmark::Counter::kIsRate);
    if (msPerFrame["scalar"].count(tick))
        state.counters["x_scalar"] = msPerFrame["scalar"][tick] / ms;
}

void PrintSummary(const std::vector<std::string>& names)
{
    std::printf("\nms per %dx%d frame (speed-up over scalar in the same run)\n%-10s", kWidth, kHeight, "tick");
    for (int tick : kTicks)
        std::printf("%18d", tick);
    std::printf("\n");
    for (const std::string& name : names) {
        std::printf("%-10s", name.c_str());
        for (int tick : kTicks) {
            if (!msPerFrame[name].count(tick)) {
                std::printf("%18s", "-");
                continue;
            }
            const double ms = msPerFrame[name][tick];
            std::printf("%9.2f (%5.1fx)", ms, msPerFrame["scalar"][tick] / ms);
        }
        std::printf("\n");
    }
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> names;
    for (int i = 0; i < kRenderPathCount; ++i)
        if (RenderPathAvailable(RenderPath(i))) {
            names.push_back(RenderPathName(RenderPath(i)));
            if (RenderPath(i) == RenderPath::Sse2)
                names.push_back(kNarrowSse2);
        }
    for (int tick : kTicks)
        for (const std::string& name : names)
            benchmark::RegisterBenchmark(("frame/" + name + "/tick:" + std::to_string(tick)).c_str(), BenchFrame,
                                         name, tick)
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    PrintSummary(names);
    return 0;
}
