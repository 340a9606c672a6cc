// Milliseconds per 1920 x 1080 frame for every render path this CPU has, over
// a sweep of ticks from the first frame to where the zoom stops growing, with
// the speed-up over the scalar reference measured in the same run and each
// path's worst tick; then how much faster every core renders a frame than
// one, as the frame tool's exports do. Figures only: no pass or fail on time.
// Each figure is the best frame of the run, in processor time for one thread
// and in wall time for several: the least disturbed by other work on the
// machine.
#include "animation.h"
#include "render/dispatch.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <map>
#include <string>
#include <thread>
#include <time.h>
#include <vector>

namespace {

constexpr int32_t kWidth = 1920, kHeight = 1080;
const int kTicks[] = {1, 886, 2000, 5000, 20000, 100000, 1000000, 18073720};
constexpr int kBaseTick = 5000;

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
        ref.view = ViewAfterTicks(kFirstView, tick - 1, nullptr, kWidth, kHeight);  // the view tick `tick` renders
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
        RenderViewOnPath(path, ref.view, pixels.data(), kWidth, kHeight);
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

double WallMs()
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Renders a frame through `path` on `threads` threads, the calling one among
// them, each taking bands until none is left.
void RenderOnStdThreads(RenderWorkspace* work, RenderPath path, const ViewState& view, uint32_t* pixels, int32_t W,
                        int32_t H, int threads)
{
    BeginFrame(work, path, view, pixels, W, H, threads);
    std::vector<std::thread> others;
    for (int i = 1; i < threads; ++i)
        others.emplace_back(RenderBands, work);
    RenderBands(work);
    for (std::thread& thread : others)
        thread.join();
}

// Best wall-clock ms of `runs` frames on `threads` threads; the frame's words
// are left in `pixels`.
double BestThreadedMs(RenderWorkspace* work, RenderPath path, const ViewState& view, std::vector<uint32_t>& pixels,
                      int32_t W, int32_t H, int threads, int runs)
{
    double best = 1e30;
    for (int run = 0; run < runs; ++run) {
        const double begin = WallMs();
        RenderOnStdThreads(work, path, view, pixels.data(), W, H, threads);
        best = std::min(best, WallMs() - begin);
    }
    return best;
}

// One thread against every core, for each fast path, at the frame tool's
// usual video sizes. Each threaded frame must equal the one-thread frame,
// which the table above has compared with the reference at 1920 x 1080.
// False if any differs.
bool PrintThreadScaling(const std::vector<RenderPath>& paths)
{
    const int cores = std::max(1u, std::thread::hardware_concurrency());
    const int32_t sizes[][2] = {{1920, 1080}, {3840, 2160}};
    std::unique_ptr<RenderWorkspace> work(new RenderWorkspace);
    bool same = true;
    std::printf("\n%s build: best wall-clock ms a frame, one thread against all %d (RenderBands on each)\n",
                sizeof(void*) == 4 ? "32-bit" : "64-bit", cores);
    std::printf("%-10s%8s  %-8s%10s%10s%10s\n", "size", "tick", "path", "1 thread", "all", "speed-up");
    for (const auto& size : sizes)
        for (int tick : {5000, 100000}) {
            const ViewState view = ViewAfterTicks(kFirstView, tick - 1, nullptr, size[0], size[1]);
            const int runs = size[0] > 1920 ? 2 : 4;
            std::vector<uint32_t> one(static_cast<size_t>(size[0]) * size[1]), all(one.size());
            for (RenderPath path : paths) {
                if (path == RenderPath::Scalar)
                    continue;
                const double oneMs = BestThreadedMs(work.get(), path, view, one, size[0], size[1], 1, runs);
                const double allMs = BestThreadedMs(work.get(), path, view, all, size[0], size[1], cores, runs);
                std::printf("%5dx%-4d%8d  %-8s%10.2f%10.2f%9.2fx%s\n", size[0], size[1], tick, RenderPathName(path),
                            oneMs, allMs, oneMs / allMs, all == one ? "" : "  the frames differ");
                same = same && all == one;
            }
        }
    return same;
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
    return PrintThreadScaling(paths) ? 0 : 1;
}
