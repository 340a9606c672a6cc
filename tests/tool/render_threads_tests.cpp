// The frame tool's helper threads: every one of them takes part in a frame
// that has the rows for them, each frame holds the reference's words, and a
// frame of few rows wakes no more of them than it has bands. The tsan preset
// runs this under ThreadSanitizer.
#include "animation.h"
#include "render_threads.h"

#include <doctest/doctest.h>

#include <algorithm>
#include <memory>
#include <vector>

TEST_CASE("helper threads share each frame: all of them where it has the rows, and the words are the reference's")
{
    constexpr int kHelpers = 299;
    int error = 0;
    REQUIRE(StartRenderThreads(kHelpers, &error) == kHelpers);
    std::unique_ptr<RenderWorkspace> work(new RenderWorkspace);
    const ViewState view = ViewAfterTicks(kFirstView, 885, nullptr, 1, 1);
    // Frames of many rows, of fewer rows than threads, of one, and empty;
    // two frames in a row, as a run renders them.
    const int32_t sizes[][2] = {{40, 2400}, {40, 2400}, {33, 150}, {64, 1}, {0, 0}};
    for (RenderPath path : {RenderPath::Scalar, BestRenderPath()})
        for (const auto& size : sizes) {
            const int32_t W = size[0], H = size[1];
            CAPTURE(RenderPathName(path));
            CAPTURE(W);
            CAPTURE(H);
            std::vector<uint32_t> frame(static_cast<size_t>(W) * H + 1, 0xA5A5A5A5u), expected(frame);
            RenderReference(view, expected.data(), W, H);
            BeginFrame(work.get(), path, view, frame.data(), W, H, kHelpers + 1);
            // Every row of this view is distinct: a thread for each, up to all.
            CHECK(RenderOnHelperThreads(work.get()) == std::max(1, std::min(H, kHelpers + 1)));
            CHECK(frame == expected);
        }
}
