// Milliseconds per 1920 x 1080 frame for every render path this CPU has, over
// a sweep of ticks from the first frame to where the zoom stops growing, with
// the speed-up over the scalar reference measured in the same run and each
// path's worst tick. Figures only: no pass or fail on time. Each figure is the
// best frame of the run in processor time, the least disturbed by other work
// on the machine.
#include "animation.h"
#include "render/render.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <time.h>
#include <vector>

namespace {

constexpr int32_t kWidth = 1920, kHeight = 1080;
const int kTicks[] = {1, 886, 2000, 5000, 20000, 100000, 1000000, 18073720};
constexpr int kBaseTick = 5000;

// The view each measured tick renders, reached with SkipTick, which advances
// the view exactly as rendering the earlier frames would.
ViewState ViewAtTick(int tick)
{
    const ViewState saved = viewState;
    viewState = {1.0f, -0.75f, 0.5f};
    uint32_t centre = 0;
    for (int t = 1; t < tick; ++t)
        SkipTick(&centre, 1, 1);
    const ViewState view = viewState;
    viewState = saved;
    return view;
}

struct Reference {
    ViewState view;
    std::vector<uint32_t> words;
    double passesPerPixel;  // iterations of the escape loop
};

const Reference& ReferenceAtTick(int tick)
{
    static std::map<int, Reference> references;
    Reference& ref = references[tick];
    if (ref.words.empty()) {
        std::map<uint32_t, int> steps;
        for (int n = 0; n <= MAX_ITERATIONS; ++n)
            steps[StepColor(n)] = n;
        ref.view = ViewAtTick(tick);
        ref.words.resize(static_cast<size_t>(kWidth) * kHeight);
        RenderReference(ref.view, ref.words.data(), kWidth, kHeight);
        double passes = 0;
        for (uint32_t word : ref.words) {
            const int n = steps[word];
            passes += n < MAX_ITERATIONS ? n + 1 : MAX_ITERATIONS;
        }
        ref.passesPerPixel = passes / ref.words.size();
    }
    return ref;
}

// Processor time of this thread: time the frame runs, not time it waits
// while other programs share the machine.
double ThreadMs()
{
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec * 1e-6;
}

std::map<RenderPath, std::map<int, double>> bestMs;  // path -> tick -> ms

void BenchFrame(benchmark::State& state, RenderPath path, int tick)
{
    const Reference& ref = ReferenceAtTick(tick);
    std::vector<uint32_t> pixels(ref.words.size());
    double best = 1e30;
    for (auto _ : state) {
        const double begin = ThreadMs();
        RenderFrameWith(path, ref.view, pixels.data(), kWidth, kHeight);
        benchmark::DoNotOptimize(pixels.data());
        best = std::min(best, ThreadMs() - begin);
    }
    if (pixels != ref.words) {
        state.SkipWithError("frame differs from the scalar reference");
        return;
    }
    bestMs[path][tick] = best;
    state.counters["best_ms"] = best;
    state.counters["passes/px"] = ref.passesPerPixel;
}

void PrintTable(const std::vector<RenderPath>& paths)
{
    std::printf("\n%s build: best ms per %dx%d frame (speed-up over scalar in the same run)\n",
                sizeof(void*) == 4 ? "32-bit" : "64-bit", kWidth, kHeight);
    std::printf("%-8s", "tick");
    for (int tick : kTicks)
        std::printf("%16d", tick);
    std::printf("   worst tick (x tick %d)\n%-8s", kBaseTick, "passes");
    for (int tick : kTicks)
        std::printf("%16.1f", ReferenceAtTick(tick).passesPerPixel);
    std::printf("   loop passes a pixel\n");
    for (RenderPath path : paths) {
        std::map<int, double>& ms = bestMs[path];
        std::printf("%-8s", RenderPathName(path));
        int worst = kBaseTick;
        for (int tick : kTicks) {
            if (!ms.count(tick) || !bestMs[RenderPath::Scalar].count(tick)) {
                std::printf("%16s", "-");
                continue;
            }
            std::printf("%8.2f (%5.1fx)", ms[tick], bestMs[RenderPath::Scalar][tick] / ms[tick]);
            if (ms[tick] > ms[worst])
                worst = tick;
        }
        if (ms.count(kBaseTick))
            std::printf("   %d (%.2fx)", worst, ms[worst] / ms[kBaseTick]);
        std::printf("\n");
    }
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<RenderPath> paths;
    for (int i = 0; i < kRenderPathCount; ++i)
        if (RenderPathAvailable(RenderPath(i)))
            paths.push_back(RenderPath(i));
    for (int tick : kTicks)
        for (RenderPath path : paths) {
            auto* bench = benchmark::RegisterBenchmark(
                (std::string("frame/") + RenderPathName(path) + "/tick:" + std::to_string(tick)).c_str(), BenchFrame,
                path, tick);
            bench->Unit(benchmark::kMillisecond)->UseRealTime();
            // A scalar frame takes most of the minimum time by itself: a fixed
            // few runs keep one slow run (a busy host) out of the best figure.
            if (path == RenderPath::Scalar)
                bench->Iterations(3);
            else
                bench->MinTime(0.3);
        }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    PrintTable(paths);
    return 0;
}
