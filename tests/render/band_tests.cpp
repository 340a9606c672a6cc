// A frame rendered as bands on any number of threads must hold the
// reference's words, word for word, and nothing outside it may change.
#include "animation.h"
#include "render/dispatch.h"

#include <doctest/doctest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kGuard = 32;
constexpr uint32_t kGuardWord = 0xA5A5A5A5u;

size_t FrameWords(int32_t W, int32_t H)
{
    return W > 0 && H > 0 ? static_cast<size_t>(W) * H : 0;
}

std::vector<RenderPath> AllPaths()
{
    std::vector<RenderPath> paths;
    for (int i = 0; i < kRenderPathCount; ++i)
        if (RenderPathAvailable(RenderPath(i)))
            paths.push_back(RenderPath(i));
    return paths;
}

// The reference's words with guard words on both sides.
std::vector<uint32_t> ReferenceFrame(const ViewState& view, int32_t W, int32_t H)
{
    std::vector<uint32_t> frame(FrameWords(W, H) + 2 * kGuard, kGuardWord);
    RenderReference(view, frame.data() + kGuard, W, H);
    return frame;
}

// Runs RenderBands for the workspace on `threads` threads, the calling one
// among them, all released at once so that they share out the bands.
void RenderBandsOnThreads(RenderWorkspace* work, int threads)
{
    std::atomic<int> waiting(threads);
    auto worker = [&] {
        waiting.fetch_sub(1);
        while (waiting.load() > 0)
            std::this_thread::yield();
        RenderBands(work);
    };
    std::vector<std::thread> others;
    for (int i = 1; i < threads; ++i)
        others.emplace_back(worker);
    worker();
    for (std::thread& thread : others)
        thread.join();
}

// Renders the view through `path` on `threads` threads into a guarded frame.
std::vector<uint32_t> RenderOnStdThreads(RenderWorkspace* work, RenderPath path, const ViewState& view, int32_t W,
                                         int32_t H, int threads)
{
    std::vector<uint32_t> frame(FrameWords(W, H) + 2 * kGuard, kGuardWord);
    const RenderPath used = BeginFrame(work, path, view, frame.data() + kGuard, W, H, threads);
    const bool fast = RenderPathAvailable(path) && W <= kMaxFrameSide && H <= kMaxFrameSide;
    CHECK(used == (fast ? path : RenderPath::Scalar));
    RenderBandsOnThreads(work, threads);
    return frame;
}

// Compares every path on 1, 2, 3, 7 and 9 threads with the reference (9 is
// more than the rows of the short frames). Returns the number that differed.
int CompareThreadCounts(RenderWorkspace* work, const ViewState& view, int32_t W, int32_t H)
{
    const std::vector<uint32_t> expected = ReferenceFrame(view, W, H);
    int failures = 0;
    for (RenderPath path : AllPaths())
        for (int threads : {1, 2, 3, 7, 9}) {
            if (RenderOnStdThreads(work, path, view, W, H, threads) == expected)
                continue;
            FAIL_CHECK(std::string(RenderPathName(path)) << " on " << threads << " threads differs at " << W << "x"
                                                         << H << " zoom=" << view.zoom);
            ++failures;
        }
    return failures;
}

}  // namespace

// CTest runs this case on its own, so that its calls are the process's first
// into the renderer: two threads, released at once, each begin and render a
// frame of their own through the current path, which neither has asked for
// before. The choice of path and the CPU's features are settled then, on both.
TEST_CASE("two threads make the renderer's first calls at once")
{
    std::unique_ptr<RenderWorkspace> works[2] = {std::unique_ptr<RenderWorkspace>(new RenderWorkspace),
                                                 std::unique_ptr<RenderWorkspace>(new RenderWorkspace)};
    std::vector<uint32_t> frames[2];
    RenderPath used[2];
    std::atomic<int> waiting(2);
    auto first = [&](int i) {
        frames[i].assign(FrameWords(96, 54) + 2 * kGuard, kGuardWord);
        waiting.fetch_sub(1);
        while (waiting.load() > 0)
            std::this_thread::yield();
        used[i] = BeginFrame(works[i].get(), CurrentRenderPath(), kFirstView, frames[i].data() + kGuard, 96, 54);
        RenderBands(works[i].get());
    };
    std::thread other(first, 1);
    first(0);
    other.join();
    CHECK(used[0] == used[1]);
    CHECK(used[0] == BestRenderPath());
    CHECK(frames[0] == ReferenceFrame(kFirstView, 96, 54));
    CHECK(frames[1] == frames[0]);
}

TEST_CASE("ViewAfterTicks on two threads at once, from different views")
{
    // Each thread's centre point changes on every tick while the other's is
    // settled: anything the function kept between calls would mix them up.
    const ViewState starts[2] = {kFirstView, ViewAfterTicks(kFirstView, 886, nullptr, 1, 1)};
    ViewState alone[2], together[2];
    for (int i = 0; i < 2; ++i)
        alone[i] = ViewAfterTicks(starts[i], 3000, nullptr, 5, 3);
    std::atomic<int> waiting(2);
    auto run = [&](int i) {
        waiting.fetch_sub(1);
        while (waiting.load() > 0)
            std::this_thread::yield();
        together[i] = ViewAfterTicks(starts[i], 3000, nullptr, 5, 3);
    };
    std::thread other(run, 1);
    run(0);
    other.join();
    CHECK(std::memcmp(together, alone, sizeof alone) == 0);
}

TEST_CASE("every thread count gives the reference's words, from the first view to where the zoom stops")
{
    std::unique_ptr<RenderWorkspace> work(new RenderWorkspace);
    // Tick 1,000,000 repeats columns at these sizes but few rows; at tick
    // 18,073,720 (zoom 2,097,152) a 1920 x 1080 frame has about 800 distinct
    // points (33 distinct rows, one band each, spread over 30 frame rows or so).
    const int32_t cases[][3] = {
        {0, 321, 179},      {885, 97, 61},     {5000, 320, 180},   {5000, 1, 700},  {5000, 700, 1},
        {5000, 2, 3},       {1000000, 641, 359}, {1000000, 1, 1001}, {18073720, 1920, 1080},
        {18073720, 33, 1000}, {18073720, 1000, 3}, {18073720, 1, 1}, {99999, 129, 5},
    };
    int failures = 0;
    for (const auto& c : cases) {
        if (failures > 0)
            break;
        failures += CompareThreadCounts(work.get(), ViewAfterTicks(kFirstView, c[0], nullptr, c[1], c[2]), c[1], c[2]);
    }
}

TEST_CASE("two frames in flight at once, each in its own workspace")
{
    std::unique_ptr<RenderWorkspace> first(new RenderWorkspace), second(new RenderWorkspace);
    const ViewState shallow = ViewAfterTicks(kFirstView, 885, nullptr, 400, 250);
    const ViewState deep = ViewAfterTicks(kFirstView, 18073720, nullptr, 333, 517);
    for (RenderPath path : AllPaths()) {
        CAPTURE(RenderPathName(path));
        std::vector<uint32_t> a(FrameWords(400, 250) + 2 * kGuard, kGuardWord);
        std::vector<uint32_t> b(FrameWords(333, 517) + 2 * kGuard, kGuardWord);
        BeginFrame(first.get(), path, shallow, a.data() + kGuard, 400, 250);
        BeginFrame(second.get(), path, deep, b.data() + kGuard, 333, 517);
        // Half the threads start on each frame, then help with the other.
        std::vector<std::thread> threads;
        for (int i = 0; i < 4; ++i)
            threads.emplace_back([&, i] {
                RenderBands(i % 2 ? first.get() : second.get());
                RenderBands(i % 2 ? second.get() : first.get());
            });
        for (std::thread& thread : threads)
            thread.join();
        CHECK(a == ReferenceFrame(shallow, 400, 250));
        CHECK(b == ReferenceFrame(deep, 333, 517));
    }
}

TEST_CASE("a workspace serves frame after frame; finished and empty frames write nothing")
{
    std::unique_ptr<RenderWorkspace> work(new RenderWorkspace);
    const ViewState deep = ViewAfterTicks(kFirstView, 1000000, nullptr, 900, 700);
    for (RenderPath path : AllPaths()) {
        CAPTURE(RenderPathName(path));
        // A large frame leaves tables behind that a smaller one must not use.
        CHECK(RenderOnStdThreads(work.get(), path, deep, 900, 700, 3) == ReferenceFrame(deep, 900, 700));
        CHECK(RenderOnStdThreads(work.get(), path, kFirstView, 45, 31, 2) == ReferenceFrame(kFirstView, 45, 31));

        // Once every band is done, more calls hand out nothing.
        std::vector<uint32_t> frame(FrameWords(64, 48), 0);
        BeginFrame(work.get(), path, kFirstView, frame.data(), 64, 48);
        RenderBands(work.get());
        std::vector<uint32_t> marked(frame.size(), 0x12345678u);
        frame = marked;
        RenderBandsOnThreads(work.get(), 3);
        CHECK(frame == marked);

        // No words to write, however the size is empty: also where the other
        // side is long enough, this deep in the zoom, to repeat coordinates.
        const int32_t emptySizes[][2] = {{0, 5}, {5, 0}, {-5, 3}, {3, -1}, {0, 0}, {-5, 30000}, {0, 30000},
                                         {30000, -3}, {30000, 0}};
        const ViewState saturated = ViewAfterTicks(kFirstView, 18073720, nullptr, 1, 1);
        for (const auto& size : emptySizes) {
            CAPTURE(size[0]);
            CAPTURE(size[1]);
            std::vector<uint32_t> guard(2 * kGuard, kGuardWord);
            BeginFrame(work.get(), path, saturated, guard.data() + kGuard, size[0], size[1]);
            RenderBandsOnThreads(work.get(), 2);
            CHECK(guard == std::vector<uint32_t>(2 * kGuard, kGuardWord));
        }
    }
}

TEST_CASE("the bands of any size the header takes cover every row once, up to INT32_MAX a side")
{
    // Frames this large do not fit in memory here, so the bands are checked
    // as BeginFrame leaves them: rows 0 to `rows`, in bands of bandRows, the last
    // maybe shorter and none empty.
    std::unique_ptr<RenderWorkspace> work(new RenderWorkspace);
    const int32_t sizes[][2] = {{1, INT32_MAX}, {INT32_MAX, 1}, {INT32_MAX, INT32_MAX}, {2, INT32_MAX - 127},
                                {3, kMaxFrameSide + 1}, {kMaxFrameSide, kMaxFrameSide}, {5, 129}, {5, 127}, {7, 1}};
    for (int i = 0; i < kRenderPathCount; ++i)
        for (const auto& size : sizes) {
            const RenderPath path = RenderPath(i);
            CAPTURE(RenderPathName(path));
            CAPTURE(size[0]);
            CAPTURE(size[1]);
            const RenderPath used = BeginFrame(work.get(), path, kFirstView, nullptr, size[0], size[1]);
            if (used == RenderPath::Scalar)
                CHECK(work->rows == size[1]);
            CHECK(work->bandRows >= 1);
            CHECK(work->bands >= 1);
            CHECK(int64_t(work->bands - 1) * work->bandRows < work->rows);
            CHECK(int64_t(work->bands) * work->bandRows >= work->rows);
        }
}

TEST_CASE("a frame begun for any number of threads has bands for them all, several each where it has the rows")
{
    std::unique_ptr<RenderWorkspace> work(new RenderWorkspace);
    for (int i = 0; i < kRenderPathCount; ++i)
        for (int32_t threads : {1, 2, 16, 17, 128, 129, 300, 1024, 100000, INT32_MAX})
            for (int32_t H : {1, 48, 1080, 2160, 30000}) {
                const RenderPath path = RenderPath(i);
                CAPTURE(RenderPathName(path));
                CAPTURE(threads);
                CAPTURE(H);
                BeginFrame(work.get(), path, kFirstView, nullptr, 7, H, threads);
                // At the first view every row is distinct: each can be a band.
                REQUIRE(work->rows == H);
                const int64_t several = std::min<int64_t>(H, 4 * int64_t(threads));
                CHECK(FrameBands(work.get()) >= several);
                CHECK(FrameBands(work.get()) <= H);
                CHECK(int64_t(FrameBands(work.get()) - 1) * work->bandRows < H);
                CHECK(int64_t(FrameBands(work.get())) * work->bandRows >= H);
            }
    // Many threads on a frame of more rows than bands still share it whole.
    const ViewState view = ViewAfterTicks(kFirstView, 885, nullptr, 1, 1);
    CHECK(RenderOnStdThreads(work.get(), CurrentRenderPath(), view, 37, 2000, 150) == ReferenceFrame(view, 37, 2000));
}

TEST_CASE("frames over the largest side go to the reference, banded too")
{
    std::unique_ptr<RenderWorkspace> work(new RenderWorkspace);
    const ViewState view = ViewAfterTicks(kFirstView, 885, nullptr, 1, 1);
    for (int i = 0; i < kRenderPathCount; ++i) {
        const RenderPath path = RenderPath(i);  // one this CPU lacks renders as the reference
        CAPTURE(RenderPathName(path));
        CHECK(RenderOnStdThreads(work.get(), path, view, kMaxFrameSide + 1, 1, 3) ==
              ReferenceFrame(view, kMaxFrameSide + 1, 1));
        CHECK(RenderOnStdThreads(work.get(), path, view, 2, kMaxFrameSide + 1, 3) ==
              ReferenceFrame(view, 2, kMaxFrameSide + 1));
        CHECK(RenderOnStdThreads(work.get(), path, view, kMaxFrameSide, 2, 2) == ReferenceFrame(view, kMaxFrameSide, 2));
    }
}

TEST_CASE("a part of a frame in bands on several threads holds the whole frame's words there")
{
    std::unique_ptr<RenderWorkspace> work(new RenderWorkspace);
    const ViewState deep = {2097152.0f, -0.6614853f, 0.4115117f};  // rows and columns in runs of equal coordinates
    for (const ViewState& view : {kFirstView, deep}) {
        const int32_t W = 400, H = 300, stride = 170;
        const std::vector<uint32_t> whole = ReferenceFrame(view, W, H);
        const FrameRect part = {233, 17, 167, 283};  // to the frame's right and bottom edges
        for (RenderPath path : AllPaths())
            for (int threads : {2, 5}) {
                CAPTURE(RenderPathName(path));
                CAPTURE(threads);
                std::vector<uint32_t> buffer((part.height - 1) * stride + part.width + 2 * kGuard, kGuardWord);
                BeginFramePart(work.get(), path, view, W, H, part, buffer.data() + kGuard, stride, threads);
                RenderBandsOnThreads(work.get(), threads);
                int differing = 0;
                for (size_t i = 0; i < buffer.size(); ++i) {
                    const int64_t at = static_cast<int64_t>(i) - kGuard, r = at / stride, c = at % stride;
                    const bool inside = at >= 0 && r < part.height && c < part.width;
                    differing += buffer[i] != (inside ? whole[kGuard + (part.y + r) * W + part.x + c] : kGuardWord);
                }
                CHECK(differing == 0);
            }
    }
}
