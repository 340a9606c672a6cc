// The screen saver's windows, frames, ticks and input.
//
// Features:
// - /s: a borderless topmost window on every monitor, each with a frame of its
//   monitor's own size in real pixels (per-monitor DPI awareness, declared in
//   the manifest); all show the same view, advanced once a tick;
// - the settings (settings_dialog.cpp), read once as /s or /p starts: one frame
//   across all monitors, each window showing its part of it, or the primary
//   monitor alone, the others black; the start where the last run stopped,
//   at the first view or at a random depth; every second frame on battery;
//   calm motion, a tick every 200 ms;
// - /s stores the tick it is on as it ends and once a minute, for the next run
//   to start from;
// - each frame is rendered on every processor of every group: the window
//   thread takes bands of it with helper threads of a thread pool of the
//   saver's own, all of them below normal priority while they render, so that
//   programs at normal priority come first;
// - the ticks come from a message-only window of the saver's own, so that they
//   go on whatever becomes of the zoom's windows;
// - a display change (resolution, monitors added or removed) or a DPI change
//   moves, resizes, opens or closes windows so that every monitor is covered
//   again as the Monitors setting says, each with a frame of its new size;
// - while the display of the saver's session is off (the system's power
//   reports) nothing is rendered and the zoom waits; it goes on from the same view;
// - a tick that leaves the view unchanged starts the zoom again from its first
//   view, so the picture never stands still;
// - any key, mouse button or wheel, a mouse move of more than a few pixels, or
//   losing activation ends /s with exit code 0; SC_SCREENSAVE is ignored
//   while it runs, so no other saver replaces it;
// - a window without a frame (its DIB section could not be had) paints black;
// - /p HWND: a child window covering the preview area, input left to the
//   system; it ends with its parent, also when the parent's process is killed
//   and no message says so;
// - /c, no argument or anything else: the settings dialog (settings_dialog.cpp).
//
// The protocol is written here rather than taken from the screen-saver
// library (libscrnsave): that library drives a single window, while /s puts
// one window on each monitor, each rendering its own frame size on every core;
// and the toolchain's copy of it is an empty archive.
#include "saver.h"

#include "settings_dialog.h"

#include "animation.h"
#include "helper_count.h"

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

static const char kScreenClass[] = "Mandelbrot Screen";
static const char kClockClass[] = "Mandelbrot Clock";

// The display's power settings (winnt.h declares them for a library that is
// not linked), each reporting a DWORD, 0 when the display is off: the display
// of the saver's session (Windows 8 on), the one the user sees, also in a
// remote session; the console's display (Windows 8 on); and the monitor power
// state before them.
struct DisplayReport {
    DisplaySetting setting;
    GUID guid;
};
static const DisplayReport kDisplayReports[] = {
    {DisplaySetting::SessionDisplay, {0x2b84c20e, 0xad23, 0x4ddf, {0x93, 0xdb, 0x05, 0xff, 0xbd, 0x7e, 0xfc, 0xa5}}},
    {DisplaySetting::ConsoleDisplay, {0x6fe69556, 0x704a, 0x47a0, {0x8f, 0x24, 0xc2, 0x8d, 0x93, 0x6f, 0xda, 0x47}}},
    {DisplaySetting::MonitorPower, {0x02731015, 0x4510, 0x4526, {0x99, 0xe6, 0xe5, 0xa1, 0x7e, 0xbd, 0x1a, 0xea}}},
};

// The power settings that HalfRateOnBattery follows, each a DWORD: the power
// source (0 AC, 1 battery, 2 a short-term source such as a UPS), and battery
// saver (1 on; Windows 10 on, and asking for it before fails harmlessly).
static const GUID kPowerSource = {0x5d3e9a59, 0xe9d5, 0x4b00, {0xa6, 0xbd, 0xff, 0x34, 0xff, 0x51, 0x65, 0x48}};
static const GUID kBatterySaver = {0xe00958c0, 0xc213, 0x4ace, {0xac, 0x77, 0xfe, 0xcc, 0xed, 0x2e, 0xee, 0xa5}};

static Screen* ScreenOf(HWND hwnd)
{
    return reinterpret_cast<Screen*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
}

// The frame's DIB section, sized by the client area. GDI converts its words to
// the display's format on the blit, 16 bits per pixel included. Without a DIB
// section (no room for it, or no GDI handle left) the window has no frame.
static void OpenFrame(Screen* screen)
{
    RECT client;
    GetClientRect(screen->hwnd, &client);
    BITMAPINFO info = {};
    TopDownDibHeader(&info.bmiHeader, client.right, client.bottom);
    void* bits = nullptr;
    screen->dc = CreateCompatibleDC(nullptr);
    screen->bitmap = screen->dc ? CreateDIBSection(screen->dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0) : nullptr;
    if (!screen->bitmap || !bits) {
        screen->pixels = nullptr;
        screen->width = 0;
        screen->height = 0;
        return;
    }
    SelectObject(screen->dc, screen->bitmap);
    screen->pixels = static_cast<uint32_t*>(bits);
    screen->width = client.right;
    screen->height = client.bottom;
}

// The DC is deleted first, which lets go of the bitmap selected in it.
static void CloseFrame(Screen* screen)
{
    if (screen->dc)
        DeleteDC(screen->dc);
    if (screen->bitmap)
        DeleteObject(screen->bitmap);
    screen->dc = nullptr;
    screen->bitmap = nullptr;
    screen->pixels = nullptr;
    screen->width = 0;
    screen->height = 0;
}

// A new client size gets a new frame, shown from the next tick on; a frame
// that could not be had is tried again. A black window has none.
static void OnSize(Screen* screen)
{
    RECT client;
    GetClientRect(screen->hwnd, &client);
    if (screen->pixels && client.right == screen->width && client.bottom == screen->height && !screen->black)
        return;
    CloseFrame(screen);
    if (!screen->black)
        OpenFrame(screen);
}

// The first mouse move, which the system sends when a window appears, tells
// where the pointer is at start (the system's idea of it may be stale until
// then); a later one further than kMoveSlack from there is the user's.
static bool MovedAway(SaverState* state, HWND hwnd, LPARAM lParam)
{
    POINT point = {static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
    ClientToScreen(hwnd, &point);
    if (!state->pointerKnown) {
        state->pointerKnown = true;
        state->startX = point.x;
        state->startY = point.y;
        return false;
    }
    return std::abs(point.x - state->startX) > kMoveSlack || std::abs(point.y - state->startY) > kMoveSlack;
}

static void OnDestroy(Screen* screen)
{
    CloseFrame(screen);
    screen->hwnd = nullptr;
    --screen->saver->open;
    if (!screen->retired)
        PostQuitMessage(0);
}

static void OnPaint(HWND hwnd, const Screen* screen)
{
    PAINTSTRUCT paint;
    HDC hdc = BeginPaint(hwnd, &paint);
    if (screen->pixels)
        BitBlt(hdc, 0, 0, screen->width, screen->height, screen->dc, 0, 0, SRCCOPY);
    else
        FillRect(hdc, &paint.rcPaint, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
    EndPaint(hwnd, &paint);
}

// Input that ends /s; the preview leaves all input to the system.
static bool EndsSaver(SaverState* state, HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (!state->fullScreen)
        return false;
    switch (message) {
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN:
    case WM_LBUTTONDOWN:
    case WM_RBUTTONDOWN:
    case WM_MBUTTONDOWN:
    case WM_XBUTTONDOWN:
    case WM_MOUSEWHEEL:
    case WM_MOUSEHWHEEL:
        return true;
    case WM_MOUSEMOVE:
        return MovedAway(state, hwnd, lParam);
    case WM_ACTIVATEAPP:
        return wParam == FALSE;
    default:
        return false;
    }
}

// The most telling setting that the system reports is the one to follow. From
// Windows 8 on all three are reported, and only the session's display state
// says whether the user sees the saver: in a remote session the console's
// display may be off while the user watches, or on while the session's is
// off. The console's, where the session's is not reported, tells a dimmed
// display (still shown) from one that is off.
static void OnPowerSetting(SaverState* state, const POWERBROADCAST_SETTING* setting)
{
    DWORD value;
    if (setting->DataLength < sizeof value)
        return;
    std::memcpy(&value, setting->Data, sizeof value);
    if (std::memcmp(&setting->PowerSetting, &kPowerSource, sizeof(GUID)) == 0)
        state->onBattery = value != 0;
    if (std::memcmp(&setting->PowerSetting, &kBatterySaver, sizeof(GUID)) == 0)
        state->batterySaver = value != 0;
    for (const DisplayReport& report : kDisplayReports) {
        if (std::memcmp(&setting->PowerSetting, &report.guid, sizeof(GUID)) != 0)
            continue;
        if (report.setting < state->displayReport)
            return;
        state->displayReport = report.setting;
        state->displayOff = value == 0;
        return;
    }
}

static SYSTEM_CALLBACK LRESULT CALLBACK SaverProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_CREATE) {
        Screen* screen = static_cast<Screen*>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams);
        SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(screen));
        screen->hwnd = hwnd;
        OnSize(screen);
        return 0;
    }
    Screen* screen = ScreenOf(hwnd);
    if (!screen)  // a message before WM_CREATE
        return DefWindowProcA(hwnd, message, wParam, lParam);
    SaverState* state = screen->saver;
    // The windows close with the process: destroying them first would make
    // the end wait for the window system to take each one down.
    if (EndsSaver(state, hwnd, message, wParam, lParam)) {
        PostQuitMessage(0);
        return 0;
    }
    switch (message) {
    case WM_SIZE:
        OnSize(screen);
        return 0;
    case WM_DESTROY:
        OnDestroy(screen);
        return 0;
    case WM_ERASEBKGND:
        return 1;  // each paint covers the whole window
    case WM_PAINT:
        OnPaint(hwnd, screen);
        return 0;
    // Every top-level window gets it; the first one covers the monitors and
    // the others find them covered. It comes between ticks, on the thread
    // that runs them, so no band of a frame is in flight.
    case WM_DISPLAYCHANGE:
        if (state->fullScreen)
            CoverMonitors(state);
        return 0;
    // The rectangle the system suggests is scaled for a window that moves
    // between monitors: a full-screen window covers its monitor again instead,
    // as after a display change. A preview's size is its parent's to decide.
    case WM_DPICHANGED:
        if (state->fullScreen)
            CoverMonitors(state);
        return 0;
    case WM_POWERBROADCAST:
        if (wParam != PBT_POWERSETTINGCHANGE)
            break;
        OnPowerSetting(state, reinterpret_cast<const POWERBROADCAST_SETTING*>(lParam));
        return TRUE;
    // The session ends (log-off or shutdown): the process may be ended as soon
    // as this returns, before the message loop could.
    case WM_ENDSESSION:
        if (state->fullScreen && wParam)
            StoreTick(state->tick);
        return 0;
    case WM_SYSCOMMAND:
        if (state->fullScreen && (wParam & 0xFFF0) == SC_SCREENSAVE)
            return 0;
        break;
    case WM_SETCURSOR:
        if (!state->fullScreen)
            break;
        SetCursor(nullptr);
        return TRUE;
    default:
        break;
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

// The clock's only work is its timers': the ticks, and in /s storing the tick.
static SYSTEM_CALLBACK LRESULT CALLBACK ClockProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
        SetWindowLongPtrA(hwnd, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams));
        return 0;
    case WM_TIMER: {
        SaverState* state = reinterpret_cast<SaverState*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
        if (wParam == kStoreTimer)
            StoreTick(state->tick);
        else
            SaverTick(state);
        return 0;
    }
    default:
        return DefWindowProcA(hwnd, message, wParam, lParam);
    }
}

static bool RegisterClassOnce(HINSTANCE instance, const char* name, WNDPROC procedure, HBRUSH background)
{
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = instance;
    windowClass.hbrBackground = background;
    windowClass.lpszClassName = name;
    return RegisterClassA(&windowClass) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

bool RegisterSaverClasses(HINSTANCE instance)
{
    return RegisterClassOnce(instance, kScreenClass, SaverProc, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH))) &&
           RegisterClassOnce(instance, kClockClass, ClockProc, nullptr);
}

// Every processor of every group from Windows 7 on (looked up: Vista lacks the
// call); before it there are no groups.
static uint32_t ActiveProcessors()
{
    using ProcessorCountCall = DWORD(WINAPI*)(WORD);
    const FARPROC found = GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetActiveProcessorCount");
    if (found)
        return reinterpret_cast<ProcessorCountCall>(reinterpret_cast<void*>(found))(ALL_PROCESSOR_GROUPS);
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    return system.dwNumberOfProcessors;
}

// The zoom starts from the tick the Start setting gives (a random one drawn
// by the performance counter's reading), at its view: a tick's view is the same at every frame
// size, as a tick's advance depends on the centre point alone. Its clock is a
// message-only window of the saver's own, which no other process can take
// away as it can a preview's child window (with the parent). Its timer ticks;
// the window thread renders below normal.
static bool StartZoom(SaverState* state, HINSTANCE instance)
{
    LARGE_INTEGER count;
    QueryPerformanceCounter(&count);
    state->tick = StartTick(state->settings, static_cast<uint64_t>(count.QuadPart));
    viewState = ViewAfterTicks(kFirstView, int64_t(state->tick) - 1, nullptr, 1, 1);
    // Reserved1 is SystemStatusFlag from Windows 10 on, 0 before.
    SYSTEM_POWER_STATUS power;
    if (GetSystemPowerStatus(&power)) {
        state->onBattery = power.ACLineStatus == 0;
        state->batterySaver = (power.Reserved1 & SYSTEM_STATUS_FLAG_POWER_SAVING_ON) != 0;
    }
    state->instance = instance;
    state->clock = CreateWindowExA(0, kClockClass, kTitle, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, state);
    if (!state->clock)
        return false;
    SetTimer(state->clock, kTickTimer, state->settings.calm ? kCalmTickMilliseconds : kTickMilliseconds, nullptr);
    if (state->fullScreen)
        SetTimer(state->clock, kStoreTimer, kStoreMilliseconds, nullptr);
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
    state->helpers = HelperCount(ActiveProcessors());
    return true;
}

HWND OpenScreen(SaverState* state, HINSTANCE instance, const PixelRect& rect, HWND parent, bool black)
{
    int slot = 0;
    while (slot < state->count && state->screens[slot].hwnd)
        ++slot;
    if (slot == kMaxScreens)
        return nullptr;
    Screen* screen = &state->screens[slot];
    *screen = Screen{};
    screen->saver = state;
    screen->black = black;
    const DWORD style = parent ? WS_CHILD | WS_VISIBLE : WS_POPUP | WS_VISIBLE;
    const DWORD exStyle = parent ? 0 : WS_EX_TOPMOST;
    HWND hwnd = CreateWindowExA(exStyle, kScreenClass, kTitle, style, rect.left, rect.top, rect.right - rect.left,
                                rect.bottom - rect.top, parent, nullptr, instance, screen);
    if (!hwnd)
        return nullptr;
    state->instance = instance;
    if (slot == state->count)
        ++state->count;
    ++state->open;
    return hwnd;
}

// "struct FrameRect": <windows.h> declares a function of that name, which
// hides the core's rectangle.
struct MonitorList {
    struct FrameRect rects[kMaxScreens];  // on the screen
    int count;
};

static SYSTEM_CALLBACK BOOL CALLBACK ListMonitor(HMONITOR, HDC, LPRECT rect, LPARAM list)
{
    MonitorList* monitors = reinterpret_cast<MonitorList*>(list);
    if (monitors->count == kMaxScreens)
        return FALSE;
    monitors->rects[monitors->count++] = {rect->left, rect->top, rect->right - rect->left, rect->bottom - rect->top};
    return TRUE;
}

// Moves the window onto the monitor unless it is there already; the WM_SIZE
// that a new size brings gives it a frame of that size. A window that turns
// black lets go of its frame, and one that no longer is gets one; either
// shows the change at its next paint.
static void Place(Screen* screen, const struct FrameRect& monitor, bool black)
{
    screen->black = black;
    RECT now;
    GetWindowRect(screen->hwnd, &now);
    if (now.left != monitor.x || now.top != monitor.y || now.right - now.left != monitor.width ||
        now.bottom - now.top != monitor.height)
        SetWindowPos(screen->hwnd, HWND_TOPMOST, monitor.x, monitor.y, monitor.width, monitor.height,
                     SWP_NOACTIVATE);
    OnSize(screen);
    InvalidateRect(screen->hwnd, nullptr, FALSE);
}

// The primary monitor is the one whose top left corner is the screen's
// origin; the first one listed if none is.
static int PrimaryMonitor(const MonitorList& monitors)
{
    for (int i = 0; i < monitors.count; ++i)
        if (monitors.rects[i].x == 0 && monitors.rects[i].y == 0)
            return i;
    return 0;
}

// The first open window, which gets the power reports, is always kept: there
// is at least one monitor to move it to. A span that cannot be laid out (no
// monitor has pixels) leaves each window its own frame.
void CoverMonitors(SaverState* state)
{
    MonitorList monitors = {};
    EnumDisplayMonitors(nullptr, nullptr, ListMonitor, reinterpret_cast<LPARAM>(&monitors));
    if (monitors.count == 0)
        return;
    state->span = SpanLayout{};
    if (state->settings.monitors == MonitorMode::Span)
        LayOutSpan(monitors.rects, monitors.count, &state->span);
    const int primary = state->settings.monitors == MonitorMode::PrimaryOnly ? PrimaryMonitor(monitors) : -1;
    int next = 0;
    for (int i = 0; i < state->count; ++i) {
        Screen& screen = state->screens[i];
        if (!screen.hwnd)
            continue;
        if (next < monitors.count) {
            Place(&screen, monitors.rects[next], primary >= 0 && next != primary);
            ++next;
            continue;
        }
        screen.retired = true;
        DestroyWindow(screen.hwnd);
    }
    for (; next < monitors.count; ++next) {
        const struct FrameRect& m = monitors.rects[next];
        OpenScreen(state, state->instance, {m.x, m.y, m.x + m.width, m.y + m.height}, nullptr,
                   primary >= 0 && next != primary);
    }
    // Each window's part of the span, by where it now lies.
    for (int i = 0; i < state->count; ++i) {
        Screen& screen = state->screens[i];
        RECT rect;
        if (!screen.hwnd || !GetWindowRect(screen.hwnd, &rect))
            continue;
        const struct FrameRect part = SpanPart(state->span, {rect.left, rect.top, 0, 0});
        screen.spanX = part.x;
        screen.spanY = part.y;
    }
    // The system may have moved the pointer onto the new screen: where it is
    // now is the new start, not a move of the user's.
    POINT pointer;
    if (state->pointerKnown && GetCursorPos(&pointer)) {
        state->startX = pointer.x;
        state->startY = pointer.y;
    }
}

// The power source and battery saver, for HalfRateOnBattery to follow.
static void AskPowerSources(HWND hwnd)
{
    RegisterPowerSettingNotification(hwnd, &kPowerSource, DEVICE_NOTIFY_WINDOW_HANDLE);
    RegisterPowerSettingNotification(hwnd, &kBatterySaver, DEVICE_NOTIFY_WINDOW_HANDLE);
}

int StartFullScreen(SaverState* state, HINSTANCE instance)
{
    state->fullScreen = true;
    state->pointerKnown = false;
    if (!StartZoom(state, instance))
        return 0;
    const int before = state->open;
    CoverMonitors(state);
    HWND first = nullptr;
    for (int i = 0; i < state->count && !first; ++i)
        first = state->screens[i].hwnd;
    if (!first)
        return 0;
    SetForegroundWindow(first);
    // All three: the system reports the state of each one it has at once.
    for (const DisplayReport& report : kDisplayReports)
        RegisterPowerSettingNotification(first, &report.guid, DEVICE_NOTIFY_WINDOW_HANDLE);
    AskPowerSources(first);
    return state->open - before;
}

HWND StartPreview(SaverState* state, HINSTANCE instance, HWND parent)
{
    if (!parent || !IsWindow(parent))
        return nullptr;
    state->fullScreen = false;
    state->parent = parent;
    if (!StartZoom(state, instance))
        return nullptr;
    RECT client;
    GetClientRect(parent, &client);
    HWND child = OpenScreen(state, instance, {0, 0, client.right, client.bottom}, parent);
    if (child)
        AskPowerSources(child);
    return child;
}

// A helper renders bands at the window thread's priority, below normal, so
// that the window thread, which waits for the helpers at the end of each
// frame, never waits on a thread lower than itself; and it gives the thread
// back to the pool at the priority it found.
static SYSTEM_CALLBACK VOID CALLBACK RenderHelper(PTP_CALLBACK_INSTANCE, PVOID context, PTP_WORK)
{
    const HANDLE thread = GetCurrentThread();
    const int priority = GetThreadPriority(thread);
    SetThreadPriority(thread, THREAD_PRIORITY_BELOW_NORMAL);
    RenderBands(&static_cast<SaverState*>(context)->workspace);
    SetThreadPriority(thread, priority);
}

// A pool of the saver's own, of no more threads than helpers: the system's
// default pool is shared, and its threads stay at normal priority. The
// callback environment is the first version's, the one Vista reads too: in a
// pool of its own the work needs no callback priority.
static void StartHelpers(SaverState* state)
{
    PTP_POOL pool = CreateThreadpool(nullptr);
    if (!pool)
        return;
    SetThreadpoolThreadMaximum(pool, state->helpers);
    TP_CALLBACK_ENVIRON environment;
    InitializeThreadpoolEnvironment(&environment);
    environment.Version = 1;
    SetThreadpoolCallbackPool(&environment, pool);
    PTP_WORK work = CreateThreadpoolWork(RenderHelper, state, &environment);
    DestroyThreadpoolEnvironment(&environment);
    if (!work) {
        CloseThreadpool(pool);
        return;
    }
    state->pool = pool;
    state->work = work;
}

void StopHelpers(SaverState* state)
{
    if (state->work)
        CloseThreadpoolWork(state->work);
    if (state->pool)
        CloseThreadpool(state->pool);
    state->work = nullptr;
    state->pool = nullptr;
}

// The screen's frame, or in a span its part of the frame across all monitors,
// cut into bands for the threads that share it. One submission of the work a
// helper. Without the pool the window thread renders alone, and the next
// frame asks again. Every submission runs, even one that finds no band left,
// before the frame is done.
static void RenderOnEveryCore(SaverState* state, const Screen& screen)
{
    if (state->helpers > 0 && !state->work)
        StartHelpers(state);
    const uint32_t threads = state->work ? std::min<uint32_t>(state->helpers, INT32_MAX - 1) + 1 : 1;
    const SpanLayout& span = state->span;
    const bool spanning = span.width > 0;
    const struct FrameRect part = {spanning ? screen.spanX : 0, spanning ? screen.spanY : 0, screen.width,
                                   screen.height};
    GdiFlush();
    BeginFramePart(&state->workspace, CurrentRenderPath(), viewState, spanning ? span.width : screen.width,
                   spanning ? span.height : screen.height, part, screen.pixels, screen.width, int32_t(threads));
    if (state->work)
        for (uint32_t i = 0; i < state->helpers; ++i)
            SubmitThreadpoolWork(state->work);
    RenderBands(&state->workspace);
    if (state->work)
        WaitForThreadpoolWorkCallbacks(state->work, FALSE);
}

void SaverTick(SaverState* state)
{
    // The parent can go without a word to this thread (its process killed),
    // taking the child along: then nothing else would end the saver.
    if (state->parent && !IsWindow(state->parent)) {
        PostQuitMessage(0);
        return;
    }
    if (state->displayOff)
        return;
    // Half the frames: the odd ticks', so that the first view is always shown.
    const bool halfRate = state->settings.halfRateOnBattery && (state->onBattery || state->batterySaver);
    if (!halfRate || state->tick % 2 == 1) {
        for (int i = 0; i < state->count; ++i) {
            const Screen& screen = state->screens[i];
            if (!screen.hwnd || !screen.pixels)
                continue;
            RenderOnEveryCore(state, screen);
            InvalidateRect(screen.hwnd, nullptr, FALSE);
        }
    }
    // Every frame's centre word is the centre point's, whatever its size or
    // part of a span, and whether it is rendered or not.
    const ViewState next = ViewAfterTicks(viewState, 1, nullptr, 1, 1);
    // Bit for bit: after about 80 hours the zoom no longer grows by 0.1.
    if (SameView(next, viewState)) {
        viewState = kFirstView;
        state->tick = 1;
        return;
    }
    viewState = next;
    ++state->tick;
}

HWND SettingsOwner(uintptr_t window)
{
    HWND given = reinterpret_cast<HWND>(window);
    return window && IsWindow(given) ? given : GetForegroundWindow();
}

// Monitor and window sizes are in real pixels on every monitor: the manifest
// declares per-monitor DPI awareness.
int RunScreenSaver(SaverState* state, HINSTANCE instance, const char* commandLine)
{
    const SaverCommand command = ParseSaverCommandLine(commandLine);
    if (command.mode == SaverMode::Settings) {
        RunSettingsDialog(instance, SettingsOwner(command.window));
        return 0;
    }
    if (!RegisterSaverClasses(instance))
        return 0;
    state->settings = LoadSettings();
    const bool opened = command.mode == SaverMode::Run
                            ? StartFullScreen(state, instance) > 0
                            : StartPreview(state, instance, reinterpret_cast<HWND>(command.window)) != nullptr;
    const int code = opened ? RunMessageLoop() : 0;
    // Where this run stopped, for the next one to start from.
    if (opened && state->fullScreen)
        StoreTick(state->tick);
    StopHelpers(state);
    return code;
}
