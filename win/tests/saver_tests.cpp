// Drives the screen saver's command line, windows, frames, ticks, helper
// threads and input under Wine.
#include "saver.h"

#include "animation.h"
#include "canvas.h"
#include "helper_count.h"
#include "import_slot.h"
#include "render/reference.h"
#include "saver_session.h"
#include "watchdog.h"

#include <doctest/doctest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

TEST_CASE("/p with a missing, malformed or invalid HWND ends at once and opens nothing")
{
    SaverSession session;
    HWND gone = NewParent(20, 20);
    DestroyWindow(gone);
    const std::string goneLine = "/p " + std::to_string(reinterpret_cast<uintptr_t>(gone));
    for (const std::string& line : {std::string("/p"), std::string("/p 0"), std::string("/p abc"), goneLine}) {
        CAPTURE(line);
        Watchdog watchdog;
        CHECK(RunScreenSaver(&session.state, Instance(), line.c_str()) == 0);
        CHECK(session.state.count == 0);
    }
}

TEST_CASE("/p: a child covering the parent's client area shows exact frames and ends with the parent")
{
    SaverSession session;
    SaverState& state = session.state;
    HWND parent = NewParent(152, 112);
    HWND child = StartPreview(&state, Instance(), parent);
    REQUIRE(child);
    CHECK(GetParent(child) == parent);
    CHECK((GetWindowLongA(child, GWL_STYLE) & WS_CHILD) != 0);
    RECT rect;
    GetClientRect(child, &rect);
    CHECK(rect.right == 152);
    CHECK(rect.bottom == 112);
    const Screen& screen = state.screens[0];
    CHECK(screen.width == 152);
    CHECK(screen.height == 112);

    for (int tick = 0; tick < 3; ++tick) {
        const ViewState view = viewState;
        const std::vector<uint32_t> expected = ReferenceFrame(view, 152, 112);
        SendMessageA(state.clock, WM_TIMER, kTickTimer, 0);
        CHECK(ShowsFrame(screen, expected));
        CHECK(viewState.zoom == view.zoom + 0.1f);
    }

    SUBCASE("each paint copies the frame to the window")
    {
        UpdateWindow(child);
        const Canvas canvas(152, 112, 32);
        HDC dc = GetDC(child);
        BitBlt(canvas.dc, 0, 0, 152, 112, dc, 0, 0, SRCCOPY);
        ReleaseDC(child, dc);
        for (int i = 0; i < 152 * 112; ++i)
            REQUIRE(CanvasWord(canvas, i % 152, i / 152) == screen.pixels[i]);
    }
    SUBCASE("input is left to the system: nothing ends the preview")
    {
        for (UINT message : {WM_KEYDOWN, WM_LBUTTONDOWN, WM_RBUTTONDOWN, WM_MOUSEWHEEL, WM_MOUSEMOVE, WM_MOUSEMOVE})
            SendMessageA(child, message, 0, MAKELPARAM(100, 100));
        SendMessageA(child, WM_ACTIVATEAPP, FALSE, 0);
        CHECK(QuitCode() == -1);
        CHECK(IsWindow(child));
    }
    DestroyWindow(parent);
    CHECK_FALSE(IsWindow(child));
    CHECK(state.open == 0);
    Watchdog watchdog;
    CHECK(RunMessageLoop() == 0);
}

TEST_CASE("/p ends with exit code 0 at the first tick without its parent, also when nothing said it went")
{
    SaverSession session;
    SaverState& state = session.state;
    HWND parent = NewParent(40, 30);
    HWND child = StartPreview(&state, Instance(), parent);
    REQUIRE(child);
    SendMessageA(state.clock, WM_TIMER, kTickTimer, 0);
    CHECK(QuitCode() == -1);

    // As when the parent's process is killed: the parent goes and no message
    // tells this thread (the child, taken from it first, is not destroyed).
    SetParent(child, HWND_MESSAGE);
    DestroyWindow(parent);
    REQUIRE(IsWindow(child));
    REQUIRE(QuitCode() == -1);
    Watchdog watchdog;
    CHECK(RunMessageLoop() == 0);
}

TEST_CASE("every screen shows its own size of one view, advanced once a tick as its frames' centre word says")
{
    SaverSession session;
    SaverState& state = session.state;
    state.fullScreen = true;
    REQUIRE(OpenScreen(&state, Instance(), {300, 0, 300, 40}, nullptr));  // empty: no word at all
    REQUIRE(OpenScreen(&state, Instance(), {0, 0, 64, 48}, nullptr));
    REQUIRE(OpenScreen(&state, Instance(), {100, 0, 190, 31}, nullptr));
    const Screen* screens = state.screens;
    CHECK(screens[0].width == 0);
    CHECK(screens[1].width == 64);
    CHECK(screens[1].height == 48);
    CHECK(screens[2].width == 90);
    CHECK(screens[2].height == 31);
    for (int i = 0; i < 3; ++i) {
        CHECK((GetWindowLongA(screens[i].hwnd, GWL_STYLE) & (WS_POPUP | WS_CAPTION | WS_THICKFRAME)) == WS_POPUP);
        CHECK((GetWindowLongA(screens[i].hwnd, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0);
    }

    // Views where the centre escapes and where it does not: the drift follows
    // the centre word of a real frame.
    for (const ViewState start : {ViewState{1.0f, -0.75f, 0.5f}, ViewState{4.0f, -0.1f, 0.1f}}) {
        viewState = start;
        const std::vector<uint32_t> wide = ReferenceFrame(start, 64, 48);
        const std::vector<uint32_t> narrow = ReferenceFrame(start, 90, 31);
        SaverTick(&state);
        CHECK(ShowsFrame(screens[1], wide));
        CHECK(ShowsFrame(screens[2], narrow));
        const ViewState ticked = viewState;
        viewState = start;
        AdvanceView(wide.data(), 64, 48);
        CHECK(ticked.zoom == viewState.zoom);
        CHECK(ticked.centerRe == viewState.centerRe);
        CHECK(ticked.centerIm == viewState.centerIm);
        CHECK((ticked.centerRe != start.centerRe) == (wide[CenterIndex(64, 48)] != 0));
    }
    SUBCASE("the frames keep the right colours on a 16-bit display")
    {
        const Canvas canvas(64, 48, 16);
        BitBlt(canvas.dc, 0, 0, 64, 48, screens[1].dc, 0, 0, SRCCOPY);
        GdiFlush();
        const uint16_t* shown = static_cast<const uint16_t*>(canvas.bits);
        for (int i = 0; i < 64 * 48; ++i)
            REQUIRE(shown[i] == Word565(screens[1].pixels[i]));
    }
}

namespace {
// /s on this display's monitors, with the pointer where it is.
void StartRun(SaverState* state)
{
    REQUIRE(StartFullScreen(state, Instance()) == GetSystemMetrics(SM_CMONITORS));
}

// A mouse move to the screen point (x, y), as the window under it gets it.
void MoveTo(int x, int y)
{
    POINT point = {x, y};
    HWND hwnd = WindowFromPoint(point);
    REQUIRE(hwnd);
    ScreenToClient(hwnd, &point);
    SendMessageA(hwnd, WM_MOUSEMOVE, 0, MAKELPARAM(point.x, point.y));
}

BOOL CALLBACK ListMonitor(HMONITOR, HDC, LPRECT rect, LPARAM list)
{
    reinterpret_cast<std::vector<RECT>*>(list)->push_back(*rect);
    return TRUE;
}

}  // namespace

TEST_CASE("/s: a borderless topmost window the size of each monitor, showing exact frames")
{
    SaverSession session;
    SaverState& state = session.state;
    StartRun(&state);
    std::vector<RECT> monitors;
    EnumDisplayMonitors(nullptr, nullptr, ListMonitor, reinterpret_cast<LPARAM>(&monitors));
    REQUIRE(state.count == static_cast<int>(monitors.size()));
    for (int i = 0; i < state.count; ++i) {
        const Screen& screen = state.screens[i];
        RECT rect;
        GetWindowRect(screen.hwnd, &rect);
        CHECK(rect.left == monitors[i].left);
        CHECK(rect.top == monitors[i].top);
        CHECK(rect.right == monitors[i].right);
        CHECK(rect.bottom == monitors[i].bottom);
        CHECK(screen.width == monitors[i].right - monitors[i].left);
        CHECK(screen.height == monitors[i].bottom - monitors[i].top);
    }
    CHECK(GetForegroundWindow() == state.screens[0].hwnd);

    const Screen& first = state.screens[0];
    const std::vector<uint32_t> expected = ReferenceFrame(viewState, first.width, first.height);
    SendMessageA(state.clock, WM_TIMER, kTickTimer, 0);
    CHECK(ShowsFrame(first, expected));
    CHECK(SendMessageA(first.hwnd, WM_SETCURSOR, reinterpret_cast<WPARAM>(first.hwnd), HTCLIENT) == TRUE);
    CHECK(GetCursor() == nullptr);
}

TEST_CASE("/s ends with exit code 0 on any key, mouse button or wheel, or loss of activation, in any of its windows")
{
    struct Input {
        UINT message;
        WPARAM wParam;
    };
    // The input leaves the windows to close with the process, so one run takes them all.
    SaverSession session;
    SaverState& state = session.state;
    StartRun(&state);
    HWND second = OpenScreen(&state, Instance(), {0, 0, 20, 20}, nullptr);  // as on a second monitor
    REQUIRE(second);
    for (const Input input : {Input{WM_KEYDOWN, 'A'}, Input{WM_KEYDOWN, VK_SHIFT}, Input{WM_SYSKEYDOWN, VK_MENU},
                              Input{WM_LBUTTONDOWN, MK_LBUTTON}, Input{WM_RBUTTONDOWN, MK_RBUTTON},
                              Input{WM_MBUTTONDOWN, MK_MBUTTON}, Input{WM_XBUTTONDOWN, MAKEWPARAM(0, XBUTTON1)},
                              Input{WM_MOUSEWHEEL, MAKEWPARAM(0, WHEEL_DELTA)},
                              Input{WM_MOUSEHWHEEL, MAKEWPARAM(0, static_cast<WORD>(-WHEEL_DELTA))},
                              Input{WM_ACTIVATEAPP, FALSE}}) {
        CAPTURE(input.message);
        for (HWND hwnd : {state.screens[0].hwnd, second}) {
            REQUIRE(QuitCode() == -1);
            SendMessageA(hwnd, input.message, input.wParam, 0);
            CHECK(QuitCode() == 0);
        }
    }
}

TEST_CASE("/s ignores key-ups, gaining activation, and mouse moves of a few pixels from the first")
{
    SaverSession session;
    SaverState& state = session.state;
    StartRun(&state);
    REQUIRE(QuitCode() == -1);
    HWND hwnd = state.screens[0].hwnd;
    SendMessageA(hwnd, WM_KEYUP, 'A', 0);
    SendMessageA(hwnd, WM_ACTIVATEAPP, TRUE, 0);
    CHECK(QuitCode() == -1);

    // The move the system sends when a window appears sets the start, wherever
    // the pointer was thought to be before.
    const int x = 100;
    const int y = 80;
    MoveTo(x, y);
    CHECK(QuitCode() == -1);
    CHECK(state.startX == x);
    CHECK(state.startY == y);
    for (const POINT spot : {POINT{x, y}, POINT{x + kMoveSlack, y - kMoveSlack}, POINT{x - kMoveSlack, y}})
        MoveTo(spot.x, spot.y);
    CHECK(QuitCode() == -1);

    SUBCASE("a move further than that ends it, either way") { MoveTo(x + kMoveSlack + 1, y); }
    SUBCASE("up") { MoveTo(x, y - kMoveSlack - 1); }
    CHECK(QuitCode() == 0);
}

TEST_CASE("destroying any window ends the saver with exit code 0")
{
    SaverSession session;
    SaverState& state = session.state;
    state.fullScreen = true;
    HWND first = OpenScreen(&state, Instance(), {0, 0, 0, 0}, nullptr);
    HWND second = OpenScreen(&state, Instance(), {0, 0, 0, 0}, nullptr);
    REQUIRE(first);
    REQUIRE(second);
    SendMessageA(second, WM_CLOSE, 0, 0);
    CHECK_FALSE(IsWindow(second));
    CHECK(state.screens[1].hwnd == nullptr);
    CHECK(state.open == 1);
    CHECK(QuitCode() == 0);
}

namespace {
std::vector<RECT> Monitors()
{
    std::vector<RECT> monitors;
    EnumDisplayMonitors(nullptr, nullptr, ListMonitor, reinterpret_cast<LPARAM>(&monitors));
    return monitors;
}
}  // namespace

TEST_CASE("a display change covers every monitor again, each window with a frame of its new size")
{
    SaverSession session;
    SaverState& state = session.state;
    StartRun(&state);
    const std::vector<RECT> monitors = Monitors();
    HWND first = state.screens[0].hwnd;
    // As after a resolution change: the window no longer covers its monitor;
    // and a window is left over from a monitor that went away.
    REQUIRE(SetWindowPos(first, nullptr, 10, 20, 100, 80, SWP_NOZORDER | SWP_NOACTIVATE));
    CHECK(state.screens[0].width == 100);
    CHECK(state.screens[0].height == 80);
    HWND stale = OpenScreen(&state, Instance(), {0, 0, 30, 30}, nullptr);
    REQUIRE(stale);
    state.pointerKnown = true;
    state.startX = -5000;
    state.startY = -5000;

    // The message reaches every top-level window; it may come to the one it closes.
    SUBCASE("told through the window that stays") { SendMessageA(first, WM_DISPLAYCHANGE, 32, 0); }
    SUBCASE("told through the window that goes") { SendMessageA(stale, WM_DISPLAYCHANGE, 32, 0); }
    SendMessageA(first, WM_DISPLAYCHANGE, 32, 0);  // a second window's copy finds nothing to do

    CHECK(QuitCode() == -1);
    CHECK_FALSE(IsWindow(stale));
    CHECK(state.open == static_cast<int>(monitors.size()));
    for (int i = 0, m = 0; i < state.count; ++i) {
        const Screen& screen = state.screens[i];
        if (!screen.hwnd)
            continue;
        CAPTURE(i);
        CHECK(SameRect(WindowRect(screen.hwnd), monitors[m]));
        CHECK(screen.width == monitors[m].right - monitors[m].left);
        CHECK(screen.height == monitors[m].bottom - monitors[m].top);
        ++m;
    }
    POINT pointer;
    GetCursorPos(&pointer);
    CHECK(state.startX == pointer.x);
    CHECK(state.startY == pointer.y);

    const Screen& covering = state.screens[0];
    const std::vector<uint32_t> expected = ReferenceFrame(viewState, covering.width, covering.height);
    SendMessageA(state.clock, WM_TIMER, kTickTimer, 0);
    CHECK(ShowsFrame(covering, expected));
}

TEST_CASE("WM_DPICHANGED: a full-screen window covers its monitor again, whatever the system suggests")
{
    SaverSession session;
    SaverState& state = session.state;
    StartRun(&state);
    const RECT monitor = Monitors()[0];
    HWND hwnd = state.screens[0].hwnd;
    // Scaled for a window moving between monitors: past the monitor's edge.
    const RECT suggested = {monitor.left + 40, monitor.top + 30, monitor.right * 3 / 2, monitor.bottom * 3 / 2};
    SUBCASE("the window where it was") {}
    SUBCASE("the window moved off its monitor by the system")
    {
        SetWindowPos(hwnd, nullptr, suggested.left, suggested.top, suggested.right - suggested.left,
                     suggested.bottom - suggested.top, SWP_NOZORDER | SWP_NOACTIVATE);
    }
    SendMessageA(hwnd, WM_DPICHANGED, MAKEWPARAM(144, 144), reinterpret_cast<LPARAM>(&suggested));
    CHECK(SameRect(WindowRect(hwnd), monitor));
    const Screen& screen = state.screens[0];
    CHECK(screen.width == monitor.right - monitor.left);
    CHECK(screen.height == monitor.bottom - monitor.top);
    const std::vector<uint32_t> expected = ReferenceFrame(viewState, screen.width, screen.height);
    SendMessageA(state.clock, WM_TIMER, kTickTimer, 0);
    CHECK(ShowsFrame(screen, expected));
    CHECK(QuitCode() == -1);
}

TEST_CASE("WM_DPICHANGED leaves a preview as its parent made it")
{
    SaverSession session;
    SaverState& state = session.state;
    HWND child = StartPreview(&state, Instance(), NewParent(152, 112));
    REQUIRE(child);
    const RECT suggested = {0, 0, 228, 168};
    SendMessageA(child, WM_DPICHANGED, MAKEWPARAM(144, 144), reinterpret_cast<LPARAM>(&suggested));
    RECT client;
    GetClientRect(child, &client);
    CHECK(client.right == 152);
    CHECK(client.bottom == 112);
    CHECK(state.screens[0].width == 152);
    CHECK(state.screens[0].height == 112);
}

namespace {
// Whether a WM_SYSCOMMAND reached DefWindowProc: it calls the CBT hook before acting.
WPARAM defaultSysCommand;

LRESULT CALLBACK WatchSysCommand(int code, WPARAM wParam, LPARAM lParam)
{
    if (code == HCBT_SYSCOMMAND)
        defaultSysCommand = wParam;
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

bool ReachesDefault(HWND hwnd, WPARAM command)
{
    HHOOK hook = SetWindowsHookExA(WH_CBT, WatchSysCommand, nullptr, GetCurrentThreadId());
    REQUIRE(hook);
    defaultSysCommand = 0;
    SendMessageA(hwnd, WM_SYSCOMMAND, command, 0);
    UnhookWindowsHookEx(hook);
    return defaultSysCommand == command;
}
}  // namespace

TEST_CASE("SC_SCREENSAVE is ignored while /s runs, and left to the system in the preview")
{
    SaverSession session;
    SaverState& state = session.state;
    SUBCASE("/s")
    {
        StartRun(&state);
        HWND hwnd = state.screens[0].hwnd;
        CHECK_FALSE(ReachesDefault(hwnd, SC_SCREENSAVE));
        CHECK_FALSE(ReachesDefault(hwnd, SC_SCREENSAVE | 2));  // the low four bits are the system's
        CHECK(ReachesDefault(hwnd, SC_KEYMENU));
        CHECK(QuitCode() == -1);
        CHECK(IsWindow(hwnd));
    }
    SUBCASE("the preview")
    {
        HWND child = StartPreview(&state, Instance(), NewParent(40, 30));
        REQUIRE(child);
        CHECK(ReachesDefault(child, SC_SCREENSAVE));
        CHECK(QuitCode() == -1);
    }
}

TEST_CASE("a window whose frame cannot be had paints black, and gets one at its next size")
{
    SaverSession session;
    SaverState& state = session.state;
    state.fullScreen = true;
    // No GDI handle left for the frame's memory DC and DIB section.
    std::vector<HDC> held;
    while (HDC dc = CreateCompatibleDC(nullptr))
        held.push_back(dc);
    HWND hwnd = OpenScreen(&state, Instance(), {0, 0, 80, 60}, nullptr);
    for (HDC dc : held)
        DeleteDC(dc);
    REQUIRE(hwnd);
    const Screen& screen = state.screens[0];
    REQUIRE(screen.pixels == nullptr);
    CHECK(screen.width == 0);

    // What the window's surface held before: the desktop, say.
    HDC dc = GetDC(hwnd);
    const RECT all = {0, 0, 80, 60};
    FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    ReleaseDC(hwnd, dc);
    SaverTick(&state);
    RedrawWindow(hwnd, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
    const Canvas canvas(80, 60, 32);
    dc = GetDC(hwnd);
    BitBlt(canvas.dc, 0, 0, 80, 60, dc, 0, 0, SRCCOPY);
    ReleaseDC(hwnd, dc);
    int lit = 0;
    for (int i = 0; i < 80 * 60; ++i)
        lit += CanvasWord(canvas, i % 80, i / 80) != 0;
    CHECK(lit == 0);

    SetWindowPos(hwnd, nullptr, 0, 0, 70, 50, SWP_NOZORDER | SWP_NOACTIVATE);
    CHECK(screen.pixels != nullptr);
    CHECK(screen.width == 70);
    CHECK(screen.height == 50);
}

namespace {
const GUID kSessionDisplay = {0x2b84c20e, 0xad23, 0x4ddf, {0x93, 0xdb, 0x05, 0xff, 0xbd, 0x7e, 0xfc, 0xa5}};
const GUID kConsoleDisplay = {0x6fe69556, 0x704a, 0x47a0, {0x8f, 0x24, 0xc2, 0x8d, 0x93, 0x6f, 0xda, 0x47}};
const GUID kMonitorPower = {0x02731015, 0x4510, 0x4526, {0x99, 0xe6, 0xe5, 0xa1, 0x7e, 0xbd, 0x1a, 0xea}};

// One tick; whether it rendered the frame of the view it
// started from, and advanced the view.
bool Ticks(SaverState* state, const Screen& screen)
{
    const ViewState view = viewState;
    const std::vector<uint32_t> expected = ReferenceFrame(view, screen.width, screen.height);
    std::fill(screen.pixels, screen.pixels + screen.width * screen.height, 0x123456u);
    SaverTick(state);
    const bool rendered = ShowsFrame(screen, expected);
    const bool advanced = !SameView(view, viewState);
    REQUIRE(rendered == advanced);
    return rendered;
}
}  // namespace

TEST_CASE("while the display is off nothing is rendered and the zoom waits; then it goes on from the same view")
{
    static_assert(sizeof(PowerSetting) == sizeof(GUID) + 2 * sizeof(DWORD), "POWERBROADCAST_SETTING with a DWORD");
    SaverSession session;
    SaverState& state = session.state;
    state.fullScreen = true;
    HWND hwnd = OpenScreen(&state, Instance(), {0, 0, 48, 32}, nullptr);
    REQUIRE(hwnd);
    const Screen& screen = state.screens[0];
    CHECK(Ticks(&state, screen));

    SUBCASE("the console display state (Windows 8 on)")
    {
        ReportPower(hwnd, kConsoleDisplay, 0);
        const ViewState waiting = viewState;
        CHECK_FALSE(Ticks(&state, screen));
        CHECK_FALSE(Ticks(&state, screen));
        CHECK(SameView(waiting, viewState));
        ReportPower(hwnd, kConsoleDisplay, 2);  // dimmed: still shown
        CHECK(Ticks(&state, screen));
        ReportPower(hwnd, kConsoleDisplay, 0);
        CHECK_FALSE(Ticks(&state, screen));
        // Once the console state is reported, the older setting is not heeded.
        ReportPower(hwnd, kMonitorPower, 1);
        CHECK_FALSE(Ticks(&state, screen));
        ReportPower(hwnd, kConsoleDisplay, 1);
        CHECK(Ticks(&state, screen));
        ReportPower(hwnd, kMonitorPower, 0);
        CHECK(Ticks(&state, screen));
    }
    SUBCASE("the display of the saver's session (Windows 8 on), over the console's")
    {
        // As in a remote session: the console's display is off, the session's on.
        ReportPower(hwnd, kConsoleDisplay, 0);
        ReportPower(hwnd, kSessionDisplay, 1);
        CHECK(Ticks(&state, screen));
        ReportPower(hwnd, kConsoleDisplay, 0);
        ReportPower(hwnd, kMonitorPower, 0);
        CHECK(Ticks(&state, screen));
        // And the reverse: the session's display off while the console's is on.
        ReportPower(hwnd, kSessionDisplay, 0);
        ReportPower(hwnd, kConsoleDisplay, 1);
        ReportPower(hwnd, kMonitorPower, 1);
        CHECK_FALSE(Ticks(&state, screen));
        ReportPower(hwnd, kSessionDisplay, 2);  // dimmed: still shown
        CHECK(Ticks(&state, screen));
    }
    SUBCASE("the monitor power state (before Windows 8)")
    {
        ReportPower(hwnd, kMonitorPower, 0);
        CHECK_FALSE(Ticks(&state, screen));
        ReportPower(hwnd, kMonitorPower, 1);
        CHECK(Ticks(&state, screen));
    }
    CHECK(QuitCode() == -1);
}

namespace {
// The window thread's and the helpers' SetThreadPriority calls, each with the
// priority of its thread just before and just after it; at most kMaxPriorityCalls.
extern "C" BOOL(WINAPI* setThreadPrioritySlot)(HANDLE, int) __asm__(IMPORT_SLOT(SetThreadPriority, 8));
struct PriorityCall {
    DWORD thread;
    int asked;
    int before;
    int after;
};
constexpr int kMaxPriorityCalls = 64;
PriorityCall priorityCalls[kMaxPriorityCalls];
std::atomic<int> priorityCallCount;
BOOL(WINAPI* realSetThreadPriority)(HANDLE, int);

BOOL WINAPI RecordSetThreadPriority(HANDLE thread, int priority)
{
    const int before = GetThreadPriority(thread);
    const BOOL done = realSetThreadPriority(thread, priority);
    const int i = priorityCallCount++;
    if (i < kMaxPriorityCalls)
        priorityCalls[i] = {GetCurrentThreadId(), priority, before, GetThreadPriority(thread)};
    return done;
}

struct HookSetThreadPriority {
    SlotHook<BOOL(WINAPI*)(HANDLE, int)> hook;
    HookSetThreadPriority() : hook(&setThreadPrioritySlot, RecordSetThreadPriority, &realSetThreadPriority)
    {
        priorityCallCount = 0;
    }
};

// The saver asks GetProcAddress for GetActiveProcessorCount; these stand in
// for the system's answer.
extern "C" FARPROC(WINAPI* getProcAddressSlot)(HMODULE, LPCSTR) __asm__(IMPORT_SLOT(GetProcAddress, 8));
FARPROC(WINAPI* realGetProcAddress)(HMODULE, LPCSTR);
DWORD processorAnswer;

DWORD WINAPI AnswerProcessorCount(WORD)
{
    return processorAnswer;
}

FARPROC WINAPI FakeProcessorCount(HMODULE module, LPCSTR name)
{
    if (HIWORD(reinterpret_cast<uintptr_t>(name)) && std::string(name) == "GetActiveProcessorCount")
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(AnswerProcessorCount));
    return realGetProcAddress(module, name);
}
}  // namespace

TEST_CASE("/s renders on every processor: the window thread and its helpers, all below normal while they render")
{
    SaverSession session;
    SaverState& state = session.state;
    HookSetThreadPriority record;
    StartRun(&state);
    CHECK(GetThreadPriority(GetCurrentThread()) == THREAD_PRIORITY_BELOW_NORMAL);
    CHECK(state.helpers == HelperCount(GetActiveProcessorCount(ALL_PROCESSOR_GROUPS)));

    // Three helpers whatever this machine has, so that the pool has threads to lower.
    state.helpers = 3;
    const Screen& screen = state.screens[0];
    for (int tick = 0; tick < 2; ++tick) {
        const std::vector<uint32_t> expected = ReferenceFrame(viewState, screen.width, screen.height);
        SendMessageA(state.clock, WM_TIMER, kTickTimer, 0);
        CHECK(ShowsFrame(screen, expected));
    }
    REQUIRE(state.work != nullptr);

    // Every submission ran: each lowered its thread below normal, rendered,
    // and gave the thread back to the pool at the priority it had found.
    const DWORD windowThread = GetCurrentThreadId();
    const int calls = priorityCallCount;
    REQUIRE(calls <= kMaxPriorityCalls);
    int lowered = 0;
    for (int i = 0; i < calls; ++i) {
        const PriorityCall& call = priorityCalls[i];
        CAPTURE(i);
        if (call.thread == windowThread) {
            CHECK(call.after == THREAD_PRIORITY_BELOW_NORMAL);
            continue;
        }
        if (call.asked != THREAD_PRIORITY_BELOW_NORMAL)
            continue;
        ++lowered;
        CHECK(call.after == THREAD_PRIORITY_BELOW_NORMAL);
        // The same thread's next call puts back what this one found.
        int next = i + 1;
        while (next < calls && priorityCalls[next].thread != call.thread)
            ++next;
        REQUIRE(next < calls);
        CHECK(priorityCalls[next].before == THREAD_PRIORITY_BELOW_NORMAL);
        CHECK(priorityCalls[next].after == call.before);
        CHECK(priorityCalls[next].after == THREAD_PRIORITY_NORMAL);
    }
    CHECK(lowered == 2 * 3);
}

TEST_CASE("the helper count follows the system's processor count, and a failed count leaves the window thread alone")
{
    SaverSession session;
    SaverState& state = session.state;
    SlotHook<FARPROC(WINAPI*)(HMODULE, LPCSTR)> fake(&getProcAddressSlot, FakeProcessorCount, &realGetProcAddress);
    uint32_t helpers = 0;
    SUBCASE("a failed count, 0: none (not 2^32 - 1 submissions a frame)") { processorAnswer = 0; }
    SUBCASE("one processor: none") { processorAnswer = 1; }
    SUBCASE("four: three") { processorAnswer = 4, helpers = 3; }
    StartRun(&state);
    REQUIRE(state.helpers == helpers);
    const Screen& screen = state.screens[0];
    const std::vector<uint32_t> expected = ReferenceFrame(viewState, screen.width, screen.height);
    SendMessageA(state.clock, WM_TIMER, kTickTimer, 0);
    CHECK(ShowsFrame(screen, expected));
    CHECK((state.work != nullptr) == (helpers > 0));
}

TEST_CASE("a tick that leaves the view unchanged starts the zoom again from its first view")
{
    // Where the zoom's float no longer grows by 0.1, after about 80 hours.
    const ViewState saturated = ViewAfterTicks(kFirstView, 18073710, nullptr, 60, 40);
    const ViewState further = ViewAfterTicks(saturated, 1, nullptr, 60, 40);
    REQUIRE(SameView(further, saturated));
    REQUIRE_FALSE(SameView(ViewAfterTicks(kFirstView, 18073709, nullptr, 60, 40), saturated));

    SaverSession session;
    SaverState& state = session.state;
    state.fullScreen = true;
    viewState = kFirstView;
    HWND hwnd = OpenScreen(&state, Instance(), {0, 0, 60, 40}, nullptr);
    REQUIRE(hwnd);
    const Screen& screen = state.screens[0];
    CHECK(Ticks(&state, screen));
    viewState = saturated;
    state.tick = kLastTick;
    const std::vector<uint32_t> last = ReferenceFrame(saturated, 60, 40);
    SaverTick(&state);
    CHECK(ShowsFrame(screen, last));
    CHECK(SameView(viewState, kFirstView));
    CHECK(state.tick == 1);
    CHECK(Ticks(&state, screen));
    CHECK(viewState.zoom == kFirstView.zoom + 0.1f);
    CHECK(state.tick == 2);
}
