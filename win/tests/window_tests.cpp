// Drives the real window class and window procedure under Wine.
#include "window.h"

#include "animation.h"
#include "canvas.h"
#include "import_slot.h"
#include "watchdog.h"

#include <doctest/doctest.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

// WndProc reaches DefWindowProcA, and WM_CREATE SetTimer, through this
// program's import slots (import_slot.h).
extern "C" LRESULT(WINAPI* defWindowProcSlot)(HWND, UINT, WPARAM, LPARAM) __asm__(IMPORT_SLOT(DefWindowProcA, 16));
extern "C" UINT_PTR(WINAPI* setTimerSlot)(HWND, UINT_PTR, UINT, TIMERPROC) __asm__(IMPORT_SLOT(SetTimer, 16));

namespace {

const uint32_t kBorderless = WS_CHILD | WS_VISIBLE;

LRESULT(WINAPI* realDefWindowProc)(HWND, UINT, WPARAM, LPARAM);
std::vector<UINT> passedOn;

LRESULT WINAPI RecordDefWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    passedOn.push_back(message);
    return realDefWindowProc(hwnd, message, wParam, lParam);
}

// Records like RecordDefWindowProc, and makes every window creation fail.
LRESULT WINAPI RefuseCreation(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    passedOn.push_back(message);
    return message == WM_NCCREATE ? FALSE : realDefWindowProc(hwnd, message, wParam, lParam);
}

// While it lives, what WndProc passes on to DefWindowProcA goes through `hook`
// (by default only recorded in passedOn).
struct HookDefWindowProc {
    SlotHook<LRESULT(WINAPI*)(HWND, UINT, WPARAM, LPARAM)> hook;
    explicit HookDefWindowProc(LRESULT(WINAPI* recorder)(HWND, UINT, WPARAM, LPARAM) = RecordDefWindowProc)
        : hook(&defWindowProcSlot, recorder, &realDefWindowProc)
    {
        passedOn.clear();
    }
};

// The timers that SetTimer was asked for while a HookSetTimer lived.
struct TimerCall {
    HWND hwnd;
    UINT_PTR id;
    UINT period;
    TIMERPROC callback;
};
UINT_PTR(WINAPI* realSetTimer)(HWND, UINT_PTR, UINT, TIMERPROC);
std::vector<TimerCall> timerCalls;

UINT_PTR WINAPI RecordSetTimer(HWND hwnd, UINT_PTR id, UINT period, TIMERPROC callback)
{
    timerCalls.push_back({hwnd, id, period, callback});
    return realSetTimer(hwnd, id, period, callback);
}

struct HookSetTimer {
    SlotHook<UINT_PTR(WINAPI*)(HWND, UINT_PTR, UINT, TIMERPROC)> hook;
    HookSetTimer() : hook(&setTimerSlot, RecordSetTimer, &realSetTimer) { timerCalls.clear(); }
};

bool WasPassedOn(UINT message)
{
    return std::find(passedOn.begin(), passedOn.end(), message) != passedOn.end();
}

HINSTANCE Instance()
{
    return GetModuleHandleA(nullptr);
}

// The style the system gives the window when it shows it.
LONG framedStyle;

// The window that the tests drive: registered, created and shown once, like
// the program's, and kept (without a window manager, Wine waits seconds for a
// shown window to go away).
HWND MainWindow()
{
    static const HWND hwnd = [] {
        REQUIRE(RegisterWindowClass(Instance()));
        HWND created = CreateMainWindow(Instance());
        REQUIRE(created);
        ShowWindow(created, SW_SHOWNOACTIVATE);
        framedStyle = GetWindowLongA(created, GWL_STYLE);
        return created;
    }();
    return hwnd;
}

// Tests that point the window state elsewhere, or send it made-up sizes, put
// back the main window's state on the way out (created first if need be).
struct KeepWindowState {
    WindowState saved;
    KeepWindowState()
    {
        MainWindow();
        saved = windowState;
    }
    ~KeepWindowState() { windowState = saved; }
};

void Send(HWND hwnd, UINT message, WPARAM wParam = 0, LPARAM lParam = 0)
{
    SendMessageA(hwnd, message, wParam, lParam);
}

void SetClientSize(HWND hwnd, int width, int height)
{
    Send(hwnd, WM_SIZE, SIZE_RESTORED, MAKELPARAM(width, height));
}

// Puts the main window back as it was created: framed, not topmost, with the
// borderless style saved, at 40, 30 with a 400 x 300 frame, and the client size
// recorded from the real client area.
void ResetMainWindow(HWND hwnd)
{
    SetWindowLongA(hwnd, GWL_STYLE, framedStyle);
    windowState.savedStyle = kBorderless;
    SetWindowPos(hwnd, HWND_NOTOPMOST, 40, 30, 400, 300, SWP_FRAMECHANGED | SWP_NOACTIVATE);
    RECT client;
    GetClientRect(hwnd, &client);
    SetClientSize(hwnd, client.right, client.bottom);
}

// The frame that a tick at the current view renders, computed apart.
std::vector<uint32_t> ExpectedFrame(int32_t width, int32_t height)
{
    std::vector<uint32_t> frame(static_cast<size_t>(width) * height);
    RenderFrame(frame.data(), width, height);
    return frame;
}

bool SameRect(const RECT& a, const RECT& b)
{
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

}  // namespace

TEST_CASE("the class and a new window")
{
    HWND hwnd = MainWindow();
    CHECK_FALSE(RegisterWindowClass(Instance()));  // a second registration is refused

    // The file's icon resource is what Explorer shows; the window keeps the
    // system's application icon.
    CHECK(reinterpret_cast<HICON>(GetClassLongPtrA(hwnd, GCLP_HICON)) == LoadIconA(nullptr, IDI_APPLICATION));

    char title[32] = {};
    GetWindowTextA(hwnd, title, sizeof title);
    CHECK(std::string(title) == "Mandelbrot Set");
    CHECK((GetWindowLongA(hwnd, GWL_STYLE) & WS_OVERLAPPEDWINDOW) == WS_OVERLAPPEDWINDOW);

    SUBCASE("creation makes the FrameBuffer a zeroed block of the monitor's size")
    {
        KeepWindowState keep;
        HWND created = CreateMainWindow(Instance());
        REQUIRE(created);
        MONITORINFO monitor = {};
        monitor.cbSize = sizeof monitor;
        GetMonitorInfoA(MonitorFromWindow(created, MONITOR_DEFAULTTONEAREST), &monitor);
        CHECK(windowState.monitorWidth == monitor.rcMonitor.right - monitor.rcMonitor.left);
        CHECK(windowState.monitorHeight == monitor.rcMonitor.bottom - monitor.rcMonitor.top);
        REQUIRE(windowState.pixels != nullptr);
        CHECK(windowState.pixels != keep.saved.pixels);
        const size_t words = static_cast<size_t>(windowState.monitorWidth) * windowState.monitorHeight;
        CHECK(HeapSize(GetProcessHeap(), 0, windowState.pixels) >= words * 4);
        CHECK(std::all_of(windowState.pixels, windowState.pixels + words, [](uint32_t w) { return w == 0; }));

        // Its WM_DESTROY posts the quit message, which no loop here is to see.
        DestroyWindow(created);
        MSG message;
        REQUIRE(PeekMessageA(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
        CHECK(message.wParam == 0);
    }
    SUBCASE("the client size follows the window")
    {
        KeepWindowState keep;
        ResetMainWindow(hwnd);
        for (const SIZE size : {SIZE{520, 410}, SIZE{300, 200}}) {
            SetWindowPos(hwnd, nullptr, 0, 0, size.cx, size.cy, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
            RECT client;
            GetClientRect(hwnd, &client);
            CHECK(client.right < size.cx);
            CHECK(windowState.clientWidth == client.right);
            CHECK(windowState.clientHeight == client.bottom);
            CHECK(windowState.invalidRect.right == client.right);
            CHECK(windowState.invalidRect.bottom == client.bottom);
        }
    }
    SUBCASE("any resize, a smaller one too, repaints the whole client area, erased first")
    {
        KeepWindowState keep;
        ResetMainWindow(hwnd);
        UpdateWindow(hwnd);
        HookDefWindowProc record;
        SetWindowPos(hwnd, nullptr, 0, 0, 390, 295, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
        RECT client, update;
        GetClientRect(hwnd, &client);
        REQUIRE(GetUpdateRect(hwnd, &update, FALSE));
        CHECK(SameRect(update, client));
        UpdateWindow(hwnd);
        CHECK(WasPassedOn(WM_ERASEBKGND));
    }
}

TEST_CASE("creation starts timer 1 with a period of exactly 16 ms and no callback")
{
    KeepWindowState keep;  // the new window's WM_CREATE takes a FrameBuffer of its own
    HWND created;
    {
        HookSetTimer record;
        created = CreateMainWindow(Instance());
    }
    REQUIRE(created);
    REQUIRE(timerCalls.size() == 1);
    CHECK(timerCalls[0].hwnd == created);
    CHECK(timerCalls[0].id == 1);
    CHECK(timerCalls[0].period == 16);
    const bool noCallback = timerCalls[0].callback == nullptr;
    CHECK(noCallback);
    DestroyWindow(created);
    MSG message;
    PeekMessageA(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);  // its WM_DESTROY's
}

TEST_CASE("WM_SIZE records the client size, zero-extended, and minimised as 0 x 0")
{
    KeepWindowState keep;
    HWND hwnd = MainWindow();
    SetClientSize(hwnd, 0xFFFF, 0x8000);
    CHECK(windowState.clientWidth == 65535);
    CHECK(windowState.clientHeight == 32768);
    CHECK(windowState.invalidRect.left == 0);
    CHECK(windowState.invalidRect.top == 0);
    CHECK(windowState.invalidRect.right == 65535);
    CHECK(windowState.invalidRect.bottom == 32768);

    Send(hwnd, WM_SIZE, SIZE_MINIMIZED, 0);
    CHECK(windowState.clientWidth == 0);
    CHECK(windowState.clientHeight == 0);
    CHECK(windowState.invalidRect.right == 0);
    CHECK(windowState.invalidRect.bottom == 0);
}

TEST_CASE("WM_TIMER renders a frame of the client size, advances the view and invalidates without erasing")
{
    KeepWindowState keep;
    HWND hwnd = MainWindow();
    SetClientSize(hwnd, 64, 48);
    windowState.pixels[64 * 48] = 0xABCDEFu;
    UpdateWindow(hwnd);  // the paint, and erase, that the size change asked for
    for (WPARAM timer : {1, 7}) {
        const std::vector<uint32_t> expected = ExpectedFrame(64, 48);
        const float zoom = viewState.zoom;
        ValidateRect(hwnd, nullptr);
        Send(hwnd, WM_TIMER, timer);
        CHECK(std::equal(expected.begin(), expected.end(), windowState.pixels));
        CHECK(windowState.pixels[64 * 48] == 0xABCDEFu);
        CHECK(viewState.zoom == zoom + 0.1f);
        RECT update;
        REQUIRE(GetUpdateRect(hwnd, &update, FALSE));
        CHECK(SameRect(update, {0, 0, 64, 48}));

        HookDefWindowProc record;
        UpdateWindow(hwnd);
        CHECK_FALSE(GetUpdateRect(hwnd, nullptr, FALSE));
        CHECK_FALSE(WasPassedOn(WM_ERASEBKGND));
    }
    // The same paint after an invalidation with erasing does erase.
    HookDefWindowProc record;
    InvalidateRect(hwnd, nullptr, TRUE);
    UpdateWindow(hwnd);
    CHECK(WasPassedOn(WM_ERASEBKGND));
}

TEST_CASE("a minimised tick renders nothing and tests word 0 of the last frame")
{
    KeepWindowState keep;
    HWND hwnd = MainWindow();
    Send(hwnd, WM_SIZE, SIZE_MINIMIZED, 0);
    const ViewState before = viewState;
    windowState.pixels[0] = 0x00FFFFFFu;  // an escaped point: the centre drifts
    windowState.pixels[1] = 0x12345678u;
    Send(hwnd, WM_TIMER, 1);
    CHECK(windowState.pixels[1] == 0x12345678u);
    CHECK(viewState.zoom == before.zoom + 0.1f);
    CHECK(viewState.centerRe == static_cast<float>(static_cast<double>(before.centerRe) + 0.0001));
    CHECK(viewState.centerIm == static_cast<float>(static_cast<double>(before.centerIm) - 0.0001));
}

// After an Escape: at (0, 0) with the monitor's size, topmost, with the client
// area the style gives (inside the frame, or the whole window when borderless),
// and that client size recorded.
void CheckEscapePlacement(HWND hwnd, bool framed)
{
    CAPTURE(framed);
    RECT window, client;
    GetWindowRect(hwnd, &window);
    GetClientRect(hwnd, &client);
    CHECK(SameRect(window, {0, 0, windowState.monitorWidth, windowState.monitorHeight}));
    CHECK((GetWindowLongA(hwnd, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0);
    if (framed) {
        CHECK(client.right < windowState.monitorWidth);
        CHECK(client.bottom < windowState.monitorHeight);
    } else {
        CHECK(client.right == windowState.monitorWidth);
        CHECK(client.bottom == windowState.monitorHeight);
    }
    CHECK(windowState.clientWidth == client.right);
    CHECK(windowState.clientHeight == client.bottom);
}

TEST_CASE("Escape swaps the style and puts the window topmost at (0, 0) with the monitor's size")
{
    HWND hwnd = MainWindow();
    ResetMainWindow(hwnd);
    RECT before;
    GetWindowRect(hwnd, &before);

    SUBCASE("other keys and key-ups change nothing")
    {
        for (WPARAM key : {WPARAM('A'), WPARAM(VK_F4), WPARAM(VK_RETURN), WPARAM(VK_SPACE)})
            Send(hwnd, WM_KEYDOWN, key);
        Send(hwnd, WM_KEYUP, VK_ESCAPE);
        Send(hwnd, WM_CHAR, VK_ESCAPE);
        RECT after;
        GetWindowRect(hwnd, &after);
        CHECK(SameRect(after, before));
        CHECK(GetWindowLongA(hwnd, GWL_STYLE) == framedStyle);
        CHECK((GetWindowLongA(hwnd, GWL_EXSTYLE) & WS_EX_TOPMOST) == 0);
        CHECK(windowState.savedStyle == kBorderless);
    }
    SUBCASE("each Escape key-down swaps, auto-repeats included, and the frame follows the style")
    {
        Send(hwnd, WM_KEYDOWN, VK_ESCAPE, 1);
        // The system keeps WS_CLIPSIBLINGS on every top-level window.
        const LONG borderless = GetWindowLongA(hwnd, GWL_STYLE);
        CHECK((borderless & ~WS_CLIPSIBLINGS) == static_cast<LONG>(kBorderless));
        CHECK(windowState.savedStyle == static_cast<uint32_t>(framedStyle));
        CheckEscapePlacement(hwnd, false);

        // Already in place: only the style change can bring the frame back.
        Send(hwnd, WM_KEYDOWN, VK_ESCAPE, 0x40000001);  // held down: the repeat flag is set
        CHECK(GetWindowLongA(hwnd, GWL_STYLE) == framedStyle);
        CHECK(windowState.savedStyle == static_cast<uint32_t>(borderless));
        CheckEscapePlacement(hwnd, true);

        Send(hwnd, WM_KEYDOWN, VK_ESCAPE, 0x40000001);
        CHECK(GetWindowLongA(hwnd, GWL_STYLE) == borderless);
        CheckEscapePlacement(hwnd, false);
        Send(hwnd, WM_KEYDOWN, VK_ESCAPE, 1);
        CHECK(GetWindowLongA(hwnd, GWL_STYLE) == framedStyle);
        CheckEscapePlacement(hwnd, true);
    }
}

TEST_CASE("key-downs stay in the window; system keys and the rest go on to DefWindowProcA")
{
    HWND hwnd = MainWindow();
    HookDefWindowProc record;
    Send(hwnd, WM_KEYDOWN, 'A');
    Send(hwnd, WM_KEYDOWN, VK_F10);
    Send(hwnd, WM_KEYDOWN, VK_ESCAPE);
    Send(hwnd, WM_KEYDOWN, VK_ESCAPE);
    CHECK_FALSE(WasPassedOn(WM_KEYDOWN));
    Send(hwnd, WM_KEYUP, 'A');
    Send(hwnd, WM_CHAR, 'a');
    Send(hwnd, WM_SYSKEYDOWN, VK_MENU, 1 << 29);
    Send(hwnd, WM_SYSKEYUP, VK_MENU, 1 << 29);
    CHECK(WasPassedOn(WM_KEYUP));
    CHECK(WasPassedOn(WM_CHAR));
    CHECK(WasPassedOn(WM_SYSKEYDOWN));
    CHECK(WasPassedOn(WM_SYSKEYUP));
}

TEST_CASE("closing the window ends the message loop with code 0")
{
    KeepWindowState keep;  // each new window's WM_CREATE takes a FrameBuffer of its own
    MainWindow();
    Watchdog watchdog;
    SUBCASE("WM_CLOSE")
    {
        HWND hwnd = CreateMainWindow(Instance());
        PostMessageA(hwnd, WM_CLOSE, 0, 0);
        CHECK(RunMessageLoop() == 0);
        CHECK_FALSE(IsWindow(hwnd));
    }
    SUBCASE("Alt+F4")
    {
        HWND hwnd = CreateMainWindow(Instance());
        PostMessageA(hwnd, WM_SYSKEYDOWN, VK_F4, 1 << 29);
        CHECK(RunMessageLoop() == 0);
        CHECK_FALSE(IsWindow(hwnd));
    }
}

TEST_CASE("a window that cannot be created ends the program at once with code 0")
{
    KeepWindowState keep;
    MainWindow();  // the class is registered
    int code;
    {
        HookDefWindowProc refuse(RefuseCreation);
        Watchdog watchdog;
        code = RunMainWindow(Instance(), SW_SHOWNOACTIVATE);
    }
    CHECK(WasPassedOn(WM_NCCREATE));
    CHECK(windowState.pixels == keep.saved.pixels);  // no WM_CREATE
    CHECK(code == 0);
}

// A fake 8 x 6 monitor: a FrameBuffer of 48 words followed by a guard.
struct SmallFrameBuffer {
    KeepWindowState keep;
    std::vector<uint32_t> block = std::vector<uint32_t>(8 * 6 + 64, 0xDEADBEEFu);
    SmallFrameBuffer()
    {
        windowState.pixels = block.data();
        windowState.monitorWidth = 8;
        windowState.monitorHeight = 6;
    }
    bool GuardIntact() const
    {
        return std::all_of(block.begin() + 48, block.end(), [](uint32_t w) { return w == 0xDEADBEEFu; });
    }
};

void CheckFrameSize(HWND hwnd, int clientWidth, int clientHeight, int32_t width, int32_t height)
{
    CAPTURE(clientWidth);
    CAPTURE(clientHeight);
    SetClientSize(hwnd, clientWidth, clientHeight);
    int32_t w, h;
    FrameSize(&w, &h);
    CHECK(w == width);
    CHECK(h == height);
}

bool Drifted(const ViewState& before)
{
    return viewState.centerRe != before.centerRe || viewState.centerIm != before.centerIm;
}

TEST_CASE("a client whose words and centre fit the FrameBuffer is the frame, whatever its shape")
{
    SmallFrameBuffer buffer;
    HWND hwnd = MainWindow();
    CheckFrameSize(hwnd, 8, 6, 8, 6);
    CheckFrameSize(hwnd, 5, 6, 5, 6);
    CheckFrameSize(hwnd, 48, 1, 48, 1);
    CheckFrameSize(hwnd, 1, 48, 1, 48);
    CheckFrameSize(hwnd, 12, 4, 12, 4);
    CheckFrameSize(hwnd, 0, 0, 0, 0);
    CheckFrameSize(hwnd, 0, 65535, 0, 65535);  // no words, centre index 0
    CheckFrameSize(hwnd, 95, 0, 95, 0);        // no words, centre index 47

    SUBCASE("16 x 3, wider than the monitor: rendered and painted 1:1")
    {
        SetClientSize(hwnd, 16, 3);
        const std::vector<uint32_t> expected = ExpectedFrame(16, 3);
        Send(hwnd, WM_TIMER, 1);
        CHECK(std::equal(expected.begin(), expected.end(), buffer.block.begin()));
        CHECK(buffer.GuardIntact());

        // On a larger canvas, so that a stretched copy would show outside 16 x 3.
        const Canvas canvas(20, 5, 32);
        PatBlt(canvas.dc, 0, 0, 20, 5, WHITENESS);
        int32_t width, height;
        FrameSize(&width, &height);
        PaintFrame(canvas.dc, width, height);
        for (int y = 0; y < 5; ++y)
            for (int x = 0; x < 20; ++x)
                REQUIRE(CanvasWord(canvas, x, y) == (x < 16 && y < 3 ? expected[y * 16 + x] : 0xFFFFFFu));
    }
    SUBCASE("95 x 0: a tick renders nothing and the drift follows word 47")
    {
        SetClientSize(hwnd, 95, 0);
        std::fill(buffer.block.begin(), buffer.block.begin() + 48, 0u);
        buffer.block[47] = 0x00FFFFFFu;
        ViewState before = viewState;
        Send(hwnd, WM_TIMER, 1);
        CHECK(Drifted(before));
        CHECK(buffer.block[47] == 0x00FFFFFFu);
        CHECK(std::all_of(buffer.block.begin(), buffer.block.begin() + 47, [](uint32_t w) { return w == 0; }));

        buffer.block[47] = 0;
        buffer.block[0] = buffer.block[4] = buffer.block[46] = 0x00FFFFFFu;  // what other rules would read
        before = viewState;
        Send(hwnd, WM_TIMER, 1);
        CHECK_FALSE(Drifted(before));
        CHECK(viewState.zoom == before.zoom + 0.1f);
        CHECK(buffer.GuardIntact());
    }
}

TEST_CASE("a client that does not fit has each dimension limited to the monitor's, stretched over it")
{
    SmallFrameBuffer buffer;
    HWND hwnd = MainWindow();
    CheckFrameSize(hwnd, 16, 4, 8, 4);     // 64 words
    CheckFrameSize(hwnd, 49, 1, 8, 1);     // 49 words
    CheckFrameSize(hwnd, 1, 49, 1, 6);
    CheckFrameSize(hwnd, 5, 50, 5, 6);
    CheckFrameSize(hwnd, 96, 0, 8, 0);     // no words, but centre index 48
    CheckFrameSize(hwnd, 65535, 65535, 8, 6);

    SUBCASE("96 x 0: the drift follows word 4 of the limited 8 x 0 frame, not the word past the buffer")
    {
        SetClientSize(hwnd, 96, 0);
        std::fill(buffer.block.begin(), buffer.block.begin() + 48, 0u);
        ViewState before = viewState;
        Send(hwnd, WM_TIMER, 1);
        CHECK_FALSE(Drifted(before));
        buffer.block[4] = 0x00FFFFFFu;
        before = viewState;
        Send(hwnd, WM_TIMER, 1);
        CHECK(Drifted(before));
        CHECK(buffer.GuardIntact());
    }
    SUBCASE("100 x 50: an 8 x 6 frame, each pixel stretched over the client")
    {
        SetClientSize(hwnd, 100, 50);
        const std::vector<uint32_t> expected = ExpectedFrame(8, 6);
        Send(hwnd, WM_TIMER, 1);
        CHECK(std::equal(expected.begin(), expected.end(), buffer.block.begin()));
        CHECK(buffer.GuardIntact());

        // The middle of each stretched source pixel shows that pixel.
        int32_t width, height;
        FrameSize(&width, &height);
        const Canvas canvas(100, 50, 32);
        PaintFrame(canvas.dc, width, height);
        for (int y = 0; y < 6; ++y)
            for (int x = 0; x < 8; ++x)
                CHECK(CanvasWord(canvas, (2 * x + 1) * 100 / 16, (2 * y + 1) * 50 / 12) == expected[y * 8 + x]);
    }
}

TEST_CASE("a 2000 x 500 client on a 1920 x 1080 monitor renders 2000 x 500")
{
    KeepWindowState keep;
    HWND hwnd = MainWindow();
    std::vector<uint32_t> block(1920 * 1080 + 64, 0xDEADBEEFu);
    windowState.pixels = block.data();
    windowState.monitorWidth = 1920;
    windowState.monitorHeight = 1080;
    CheckFrameSize(hwnd, 2000, 500, 2000, 500);
    CheckFrameSize(hwnd, 4000, 518, 4000, 518);   // 2,072,000 of 2,073,600 words
    CheckFrameSize(hwnd, 4000, 519, 1920, 519);   // 2,076,000
    CheckFrameSize(hwnd, 1921, 1080, 1920, 1080);

    SetClientSize(hwnd, 2000, 500);
    const std::vector<uint32_t> expected = ExpectedFrame(2000, 500);
    Send(hwnd, WM_TIMER, 1);
    CHECK(std::equal(expected.begin(), expected.end(), block.begin()));
    CHECK(block[2000 * 500] == 0xDEADBEEFu);
}

TEST_CASE("word counts past 2^31 are compared in 64 bits")
{
    // Sizes only: no tick or paint reaches these monitors' words.
    SmallFrameBuffer buffer;
    HWND hwnd = MainWindow();
    windowState.monitorWidth = 65535;
    windowState.monitorHeight = 32768;
    CheckFrameSize(hwnd, 65535, 65535, 65535, 32768);
    windowState.monitorHeight = 40000;
    CheckFrameSize(hwnd, 40000, 65535, 40000, 65535);
}

TEST_CASE("without a FrameBuffer a tick renders nothing, reads no word and only grows the zoom")
{
    KeepWindowState keep;
    HWND hwnd = MainWindow();
    SetClientSize(hwnd, 64, 48);
    for (int32_t monitor : {0, 1024}) {  // a failed monitor query, or a failed allocation
        windowState.pixels = nullptr;
        windowState.monitorWidth = monitor;
        windowState.monitorHeight = monitor;
        const ViewState before = viewState;
        Send(hwnd, WM_TIMER, 1);
        CHECK(viewState.zoom == before.zoom + 0.1f);
        CHECK(viewState.centerRe == before.centerRe);
        CHECK(viewState.centerIm == before.centerIm);

        const Canvas canvas(64, 48, 32);
        PatBlt(canvas.dc, 0, 0, 64, 48, WHITENESS);
        int32_t width, height;
        FrameSize(&width, &height);
        CHECK(width == 0);
        CHECK(height == 0);
        PaintFrame(canvas.dc, width, height);
        CHECK(CanvasWord(canvas, 0, 0) == 0xFFFFFFu);
        CHECK(CanvasWord(canvas, 63, 47) == 0xFFFFFFu);
    }
}

TEST_CASE("PaintFrame shows the words as 32-bit and 16-bit displays read them")
{
    KeepWindowState keep;
    std::vector<uint32_t> frame = ExpectedFrame(64, 48);
    frame[0] = 0x00123456u;  // a word with distinct channels
    windowState.pixels = frame.data();
    windowState.monitorWidth = 64;
    windowState.monitorHeight = 48;
    windowState.clientWidth = 64;
    windowState.clientHeight = 48;

    SUBCASE("32 bits: each word as it is, shown with bits 16-23 as red, 8-15 green, 0-7 blue")
    {
        const Canvas canvas(64, 48, 32);
        PaintFrame(canvas.dc, 64, 48);
        for (int i = 0; i < 64 * 48; ++i)
            REQUIRE(CanvasWord(canvas, i % 64, i / 64) == frame[i]);
    }
    SUBCASE("16 bits: the same colours, to 5, 6 and 5 bits")
    {
        const Canvas canvas(64, 48, 16);
        PaintFrame(canvas.dc, 64, 48);
        GdiFlush();
        const uint16_t* shown = static_cast<const uint16_t*>(canvas.bits);
        for (int i = 0; i < 64 * 48; ++i) {
            REQUIRE(shown[i] == Word565(frame[i]));
        }
    }
}

// A fake 8 x 6 monitor whose FrameBuffer ends where an inaccessible page
// begins, so that reading a word past it faults (or, where the system catches
// the fault, leaves the picture unpainted).
struct GuardedFrameBuffer {
    KeepWindowState keep;
    char* region;
    GuardedFrameBuffer()
    {
        SYSTEM_INFO system;
        GetSystemInfo(&system);
        region = static_cast<char*>(
            VirtualAlloc(nullptr, 2 * system.dwPageSize, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        REQUIRE(region);
        DWORD protection;
        REQUIRE(VirtualProtect(region + system.dwPageSize, system.dwPageSize, PAGE_NOACCESS, &protection));
        windowState.pixels = reinterpret_cast<uint32_t*>(region + system.dwPageSize) - 8 * 6;
        windowState.monitorWidth = 8;
        windowState.monitorHeight = 6;
    }
    ~GuardedFrameBuffer() { VirtualFree(region, 0, MEM_RELEASE); }
};

TEST_CASE("a paint of a client larger than the monitor shows the frame stretched, reading only its words")
{
    HWND hwnd = MainWindow();
    ResetMainWindow(hwnd);
    GuardedFrameBuffer buffer;
    SetClientSize(hwnd, 100, 50);
    const std::vector<uint32_t> expected = ExpectedFrame(8, 6);
    Send(hwnd, WM_TIMER, 1);
    REQUIRE(std::equal(expected.begin(), expected.end(), windowState.pixels));

    // Painted by the window procedure, each frame pixel stretched over 12.5 x 8.3.
    InvalidateRect(hwnd, nullptr, FALSE);
    UpdateWindow(hwnd);
    CHECK_FALSE(GetUpdateRect(hwnd, nullptr, FALSE));
    const Canvas canvas(100, 50, 32);
    HDC window = GetDC(hwnd);
    BitBlt(canvas.dc, 0, 0, 100, 50, window, 0, 0, SRCCOPY);
    ReleaseDC(hwnd, window);
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 8; ++x)
            CHECK(CanvasWord(canvas, (2 * x + 1) * 100 / 16, (2 * y + 1) * 50 / 12) == expected[y * 8 + x]);
}
