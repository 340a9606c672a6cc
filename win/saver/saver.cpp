// The screen saver's windows, frames, ticks and input.
//
// Features:
// - /s: a borderless topmost window on every monitor, each with a frame of its
//   monitor's own size in real pixels (per-monitor DPI awareness, declared in
//   the manifest); all show the same view, advanced once a tick;
// - each frame is rendered on every processor of every group, through the
//   system's thread pool at low callback priority, with the window thread
//   below normal, so that a busy machine gives the saver only idle time;
// - a display change (resolution, monitors added or removed) moves, resizes,
//   opens or closes windows so that every monitor is covered again, each with
//   a frame of its new size; WM_DPICHANGED takes the rectangle it suggests;
// - while the display is off (the system's power reports) nothing is
//   rendered and the zoom waits; it goes on from the same view;
// - a tick that leaves the view unchanged starts the zoom again from its first
//   view, so the picture never stands still;
// - any key, mouse button or wheel, a mouse move of more than a few pixels, or
//   losing activation ends /s with exit code 0; SC_SCREENSAVE is ignored
//   while it runs, so no other saver replaces it;
// - a window without a frame (its DIB section could not be had) paints black;
// - /p HWND: a child window covering the preview area, input left to the system;
// - /c, no argument or anything else: a note that there is nothing to set.
//
// The protocol is written here rather than taken from the screen-saver
// library (libscrnsave): that library drives a single window, while /s puts
// one window on each monitor, each rendering its own frame size on every core;
// and the toolchain's copy of it is an empty archive.
#include "saver.h"

#include "settings_dialog.h"

#include "animation.h"
#include "render/dispatch.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>

SaverState saverState = {};
RenderPool renderPool = {};

static const char kClassName[] = "Mandelbrot Screen";

// The display's power settings (winnt.h declares them for a library that is
// not linked): the console display state from Windows 8, and the monitor
// power state before it. Each reports a DWORD, 0 when the display is off.
static const GUID kConsoleDisplayState = {0x6fe69556, 0x704a, 0x47a0, {0x8f, 0x24, 0xc2, 0x8d, 0x93, 0x6f, 0xda, 0x47}};
static const GUID kMonitorPowerOn = {0x02731015, 0x4510, 0x4526, {0x99, 0xe6, 0xe5, 0xa1, 0x7e, 0xbd, 0x1a, 0xea}};

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
// that could not be had is tried again.
static void OnSize(Screen* screen)
{
    RECT client;
    GetClientRect(screen->hwnd, &client);
    if (screen->pixels && client.right == screen->width && client.bottom == screen->height)
        return;
    CloseFrame(screen);
    OpenFrame(screen);
}

// The first mouse move, which the system sends when a window appears, tells
// where the pointer is at start (the system's idea of it may be stale until
// then); a later one further than kMoveSlack from there is the user's.
static bool MovedAway(HWND hwnd, LPARAM lParam)
{
    POINT point = {static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
    ClientToScreen(hwnd, &point);
    if (!saverState.pointerKnown) {
        saverState.pointerKnown = true;
        saverState.startX = point.x;
        saverState.startY = point.y;
        return false;
    }
    return std::abs(point.x - saverState.startX) > kMoveSlack || std::abs(point.y - saverState.startY) > kMoveSlack;
}

static void OnDestroy(HWND hwnd)
{
    Screen* screen = ScreenOf(hwnd);
    CloseFrame(screen);
    screen->hwnd = nullptr;
    --saverState.open;
    if (!screen->retired)
        PostQuitMessage(0);
}

static void OnPaint(HWND hwnd)
{
    PAINTSTRUCT paint;
    HDC hdc = BeginPaint(hwnd, &paint);
    const Screen* screen = ScreenOf(hwnd);
    if (screen->pixels)
        BitBlt(hdc, 0, 0, screen->width, screen->height, screen->dc, 0, 0, SRCCOPY);
    else
        FillRect(hdc, &paint.rcPaint, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
    EndPaint(hwnd, &paint);
}

// Input that ends /s; the preview leaves all input to the system.
static bool EndsSaver(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (!saverState.fullScreen)
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
        return MovedAway(hwnd, lParam);
    case WM_ACTIVATEAPP:
        return wParam == FALSE;
    default:
        return false;
    }
}

// The console display state, once reported, is the one to follow: from
// Windows 8 on both are reported, and it is the one that tells a dimmed
// display (still shown) from one that is off.
static void OnPowerSetting(const POWERBROADCAST_SETTING* setting)
{
    DWORD state;
    if (setting->DataLength < sizeof state)
        return;
    std::memcpy(&state, setting->Data, sizeof state);
    if (std::memcmp(&setting->PowerSetting, &kConsoleDisplayState, sizeof(GUID)) == 0)
        saverState.consoleReported = true;
    else if (std::memcmp(&setting->PowerSetting, &kMonitorPowerOn, sizeof(GUID)) != 0 || saverState.consoleReported)
        return;
    saverState.displayOff = state == 0;
}

// The rectangle the system suggests for the window at its monitor's new DPI.
static void OnDpiChanged(HWND hwnd, const RECT* suggested)
{
    SetWindowPos(hwnd, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                 suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
}

static SYSTEM_CALLBACK LRESULT CALLBACK SaverProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    // The windows close with the process: destroying them first would make
    // the end wait for the window system to take each one down.
    if (EndsSaver(hwnd, message, wParam, lParam)) {
        PostQuitMessage(0);
        return 0;
    }
    switch (message) {
    case WM_CREATE: {
        Screen* screen = static_cast<Screen*>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams);
        SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(screen));
        screen->hwnd = hwnd;
        OpenFrame(screen);
        return 0;
    }
    case WM_SIZE:
        OnSize(ScreenOf(hwnd));
        return 0;
    case WM_DESTROY:
        OnDestroy(hwnd);
        return 0;
    case WM_ERASEBKGND:
        return 1;  // each paint covers the whole window
    case WM_PAINT:
        OnPaint(hwnd);
        return 0;
    case WM_TIMER:
        SaverTick();
        return 0;
    // Every top-level window gets it; the first one covers the monitors and
    // the others find them covered. It comes between ticks, on the thread
    // that runs them, so no band of a frame is in flight.
    case WM_DISPLAYCHANGE:
        if (saverState.fullScreen)
            CoverMonitors();
        return 0;
    case WM_DPICHANGED:
        OnDpiChanged(hwnd, reinterpret_cast<const RECT*>(lParam));
        return 0;
    case WM_POWERBROADCAST:
        if (wParam != PBT_POWERSETTINGCHANGE)
            break;
        OnPowerSetting(reinterpret_cast<const POWERBROADCAST_SETTING*>(lParam));
        return TRUE;
    case WM_SYSCOMMAND:
        if (saverState.fullScreen && (wParam & 0xFFF0) == SC_SCREENSAVE)
            return 0;
        break;
    case WM_SETCURSOR:
        if (!saverState.fullScreen)
            break;
        SetCursor(nullptr);
        return TRUE;
    default:
        break;
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

bool RegisterSaverClass(HINSTANCE instance)
{
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = SaverProc;
    windowClass.hInstance = instance;
    windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
    windowClass.lpszClassName = kClassName;
    return RegisterClassA(&windowClass) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

// The zoom starts with the first window: its ticks, and the window thread's
// priority, below normal as the pool's work is low.
static void BeginZoom(HWND hwnd)
{
    SetTimer(hwnd, kTickTimer, kTickMilliseconds, nullptr);
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
}

HWND OpenScreen(HINSTANCE instance, const PixelRect& rect, HWND parent)
{
    int slot = 0;
    while (slot < saverState.count && saverState.screens[slot].hwnd)
        ++slot;
    if (slot == kMaxScreens)
        return nullptr;
    Screen* screen = &saverState.screens[slot];
    *screen = Screen{};
    const DWORD style = parent ? WS_CHILD | WS_VISIBLE : WS_POPUP | WS_VISIBLE;
    const DWORD exStyle = parent ? 0 : WS_EX_TOPMOST;
    HWND hwnd = CreateWindowExA(exStyle, kClassName, kTitle, style, rect.left, rect.top, rect.right - rect.left,
                                rect.bottom - rect.top, parent, nullptr, instance, screen);
    if (!hwnd)
        return nullptr;
    saverState.instance = instance;
    if (saverState.open == 0)
        BeginZoom(hwnd);
    if (slot == saverState.count)
        ++saverState.count;
    ++saverState.open;
    return hwnd;
}

struct MonitorList {
    PixelRect rects[kMaxScreens];
    int count;
};

static SYSTEM_CALLBACK BOOL CALLBACK ListMonitor(HMONITOR, HDC, LPRECT rect, LPARAM list)
{
    MonitorList* monitors = reinterpret_cast<MonitorList*>(list);
    if (monitors->count == kMaxScreens)
        return FALSE;
    monitors->rects[monitors->count++] = {rect->left, rect->top, rect->right, rect->bottom};
    return TRUE;
}

// Moves the window onto the monitor unless it is there already; the WM_SIZE
// that a new size brings gives it a frame of that size.
static void Place(const Screen& screen, const PixelRect& monitor)
{
    RECT now;
    GetWindowRect(screen.hwnd, &now);
    if (now.left == monitor.left && now.top == monitor.top && now.right == monitor.right &&
        now.bottom == monitor.bottom)
        return;
    SetWindowPos(screen.hwnd, HWND_TOPMOST, monitor.left, monitor.top, monitor.right - monitor.left,
                 monitor.bottom - monitor.top, SWP_NOACTIVATE);
}

// The first open window, which holds the timer, is always kept: there is at
// least one monitor to move it to.
void CoverMonitors()
{
    MonitorList monitors = {};
    EnumDisplayMonitors(nullptr, nullptr, ListMonitor, reinterpret_cast<LPARAM>(&monitors));
    if (monitors.count == 0)
        return;
    int next = 0;
    for (int i = 0; i < saverState.count; ++i) {
        Screen& screen = saverState.screens[i];
        if (!screen.hwnd)
            continue;
        if (next < monitors.count) {
            Place(screen, monitors.rects[next++]);
            continue;
        }
        screen.retired = true;
        DestroyWindow(screen.hwnd);
    }
    for (; next < monitors.count; ++next)
        OpenScreen(saverState.instance, monitors.rects[next], nullptr);
    // The system may have moved the pointer onto the new screen: where it is
    // now is the new start, not a move of the user's.
    POINT pointer;
    if (saverState.pointerKnown && GetCursorPos(&pointer)) {
        saverState.startX = pointer.x;
        saverState.startY = pointer.y;
    }
}

int StartFullScreen(HINSTANCE instance)
{
    saverState.fullScreen = true;
    saverState.pointerKnown = false;
    saverState.instance = instance;
    const int before = saverState.open;
    CoverMonitors();
    HWND first = nullptr;
    for (int i = 0; i < saverState.count && !first; ++i)
        first = saverState.screens[i].hwnd;
    if (!first)
        return 0;
    SetForegroundWindow(first);
    // Both settings: the system names the one it has, and reports its state at once.
    RegisterPowerSettingNotification(first, &kConsoleDisplayState, DEVICE_NOTIFY_WINDOW_HANDLE);
    RegisterPowerSettingNotification(first, &kMonitorPowerOn, DEVICE_NOTIFY_WINDOW_HANDLE);
    return saverState.open - before;
}

HWND StartPreview(HINSTANCE instance, HWND parent)
{
    if (!parent || !IsWindow(parent))
        return nullptr;
    saverState.fullScreen = false;
    RECT client;
    GetClientRect(parent, &client);
    return OpenScreen(instance, {0, 0, client.right, client.bottom}, parent);
}

// The frame in flight: BeginFrame fills it on the window's thread, and the
// pool's workers and that thread take its bands together.
static RenderWorkspace workspace;

static SYSTEM_CALLBACK VOID CALLBACK RenderWork(PTP_CALLBACK_INSTANCE, PVOID, PTP_WORK)
{
    RenderBands(&workspace);
}

using ProcessorCountCall = DWORD(WINAPI*)(WORD);

// Every processor of every group from Windows 7 on; before it there are no
// groups, and no callback priorities either.
static PTP_WORK MakeRenderWork()
{
    static TP_CALLBACK_ENVIRON environment;
    const FARPROC found = GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetActiveProcessorCount");
    if (!found) {
        SYSTEM_INFO system;
        GetSystemInfo(&system);
        renderPool.helpers = system.dwNumberOfProcessors - 1;
        renderPool.priority = TP_CALLBACK_PRIORITY_NORMAL;
        return CreateThreadpoolWork(RenderWork, nullptr, nullptr);
    }
    const auto count = reinterpret_cast<ProcessorCountCall>(reinterpret_cast<void*>(found));
    renderPool.helpers = count(ALL_PROCESSOR_GROUPS) - 1;
    InitializeThreadpoolEnvironment(&environment);
    SetThreadpoolCallbackPriority(&environment, TP_CALLBACK_PRIORITY_LOW);
    renderPool.priority = environment.CallbackPriority;
    return CreateThreadpoolWork(RenderWork, nullptr, &environment);
}

// One pool work item per processor but the window thread's own. Without a
// pool work object the window thread renders alone, and the next frame asks again.
static void RenderOnEveryCore(const Screen& screen)
{
    static PTP_WORK work;
    if (!work) {
        work = MakeRenderWork();
        renderPool.made = work != nullptr;
    }
    GdiFlush();
    BeginFrame(&workspace, CurrentRenderPath(), viewState, screen.pixels, screen.width, screen.height);
    if (work)
        for (DWORD i = 0; i < renderPool.helpers; ++i)
            SubmitThreadpoolWork(work);
    RenderBands(&workspace);
    if (work)
        WaitForThreadpoolWorkCallbacks(work, FALSE);
}

void SaverTick()
{
    if (saverState.displayOff)
        return;
    const Screen* decider = nullptr;
    for (int i = 0; i < saverState.count; ++i) {
        const Screen& screen = saverState.screens[i];
        if (!screen.hwnd)
            continue;
        RenderOnEveryCore(screen);
        if (!decider && screen.pixels && screen.width > 0 && screen.height > 0)
            decider = &screen;
    }
    const ViewState before = viewState;
    AdvanceView(decider ? decider->pixels : nullptr, decider ? decider->width : 0, decider ? decider->height : 0);
    // Bit for bit: after about 80 hours the zoom no longer grows by 0.1.
    if (SameView(before, viewState))
        viewState = kFirstView;
    for (int i = 0; i < saverState.count; ++i)
        if (saverState.screens[i].hwnd)
            InvalidateRect(saverState.screens[i].hwnd, nullptr, FALSE);
}

HWND SettingsOwner(uintptr_t window)
{
    HWND given = reinterpret_cast<HWND>(window);
    return window && IsWindow(given) ? given : GetForegroundWindow();
}

// Monitor and window sizes are in real pixels on every monitor: the manifest
// declares per-monitor DPI awareness.
int RunScreenSaver(HINSTANCE instance, const char* commandLine)
{
    const SaverCommand command = ParseSaverCommandLine(commandLine);
    if (command.mode == SaverMode::Settings) {
        RunSettingsDialog(instance, SettingsOwner(command.window));
        return 0;
    }
    if (!RegisterSaverClass(instance))
        return 0;
    const bool opened = command.mode == SaverMode::Run
                            ? StartFullScreen(instance) > 0
                            : StartPreview(instance, reinterpret_cast<HWND>(command.window)) != nullptr;
    return opened ? RunMessageLoop() : 0;
}
