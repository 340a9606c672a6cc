// The screen saver's command line, windows, frames and input.
//
// The protocol is written here rather than taken from the screen-saver
// library (libscrnsave): that library drives a single window, while /s puts
// one window on each monitor, each rendering its own frame size on every core;
// and the toolchain's copy of it is an empty archive.
#include "saver.h"

#include "animation.h"
#include "render/render.h"

#include <windows.h>

#include <cstdlib>

SaverState saverState = {};

static const char kClassName[] = "Mandelbrot Screen";
static const char kTitle[] = "Mandelbrot Set";

static bool IsSpace(char c)
{
    return c == ' ' || c == '\t';
}

static const char* SkipSpaces(const char* p)
{
    while (IsSpace(*p))
        ++p;
    return p;
}

// A decimal HWND ending at the end of the line or a space; 0 otherwise.
static uintptr_t ParseWindow(const char* p)
{
    uintptr_t value = 0;
    const char* digits = p;
    for (; *p >= '0' && *p <= '9'; ++p) {
        const uintptr_t digit = static_cast<uintptr_t>(*p - '0');
        if (value > (UINTPTR_MAX - digit) / 10)
            return 0;
        value = value * 10 + digit;
    }
    if (p == digits || (*p != '\0' && !IsSpace(*p)))
        return 0;
    return value;
}

SaverCommand ParseSaverCommandLine(const char* commandLine)
{
    const SaverCommand settings = {SaverMode::Settings, 0};
    const char* p = SkipSpaces(commandLine);
    if (*p != '/' && *p != '-')
        return settings;
    const char letter = static_cast<char>(p[1] | 0x20);
    const char after = p[2];
    if (after != '\0' && after != ':' && !IsSpace(after))
        return settings;
    SaverCommand command = settings;
    if (letter == 's')
        command.mode = SaverMode::Run;
    else if (letter == 'p')
        command.mode = SaverMode::Preview;
    else if (letter != 'c')
        return settings;
    p += 2;
    if (*p == ':')
        ++p;
    command.window = ParseWindow(SkipSpaces(p));
    return command;
}

static Screen* ScreenOf(HWND hwnd)
{
    return reinterpret_cast<Screen*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
}

// The frame's DIB section, sized by the client area, top-down so that its
// words are laid out as the core writes them. GDI converts them to the
// display's format on the blit, 16 bits per pixel included.
static void OpenFrame(Screen* screen)
{
    RECT client;
    GetClientRect(screen->hwnd, &client);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = client.right;
    info.bmiHeader.biHeight = -client.bottom;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    screen->dc = CreateCompatibleDC(nullptr);
    screen->bitmap = CreateDIBSection(screen->dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
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
    DeleteDC(screen->dc);
    if (screen->bitmap)
        DeleteObject(screen->bitmap);
    screen->dc = nullptr;
    screen->bitmap = nullptr;
    screen->pixels = nullptr;
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
    PostQuitMessage(0);
}

static void OnPaint(HWND hwnd)
{
    PAINTSTRUCT paint;
    HDC hdc = BeginPaint(hwnd, &paint);
    const Screen* screen = ScreenOf(hwnd);
    BitBlt(hdc, 0, 0, screen->width, screen->height, screen->dc, 0, 0, SRCCOPY);
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
        return true;
    case WM_MOUSEMOVE:
        return MovedAway(hwnd, lParam);
    case WM_ACTIVATEAPP:
        return wParam == FALSE;
    default:
        return false;
    }
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
    case WM_DESTROY:
        OnDestroy(hwnd);
        return 0;
    case WM_ERASEBKGND:
        return 1;
    case WM_PAINT:
        OnPaint(hwnd);
        return 0;
    case WM_TIMER:
        SaverTick();
        return 0;
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

HWND OpenScreen(HINSTANCE instance, const PixelRect& rect, HWND parent)
{
    if (saverState.count == kMaxScreens)
        return nullptr;
    Screen* screen = &saverState.screens[saverState.count];
    *screen = Screen{};
    const DWORD style = parent ? WS_CHILD | WS_VISIBLE : WS_POPUP | WS_VISIBLE;
    const DWORD exStyle = parent ? 0 : WS_EX_TOPMOST;
    HWND hwnd = CreateWindowExA(exStyle, kClassName, kTitle, style, rect.left, rect.top, rect.right - rect.left,
                                rect.bottom - rect.top, parent, nullptr, instance, screen);
    if (!hwnd)
        return nullptr;
    if (saverState.open == 0)
        SetTimer(hwnd, 1, 16, nullptr);
    ++saverState.count;
    ++saverState.open;
    return hwnd;
}

static SYSTEM_CALLBACK BOOL CALLBACK OpenOnMonitor(HMONITOR, HDC, LPRECT rect, LPARAM instance)
{
    const PixelRect r = {rect->left, rect->top, rect->right, rect->bottom};
    OpenScreen(reinterpret_cast<HINSTANCE>(instance), r, nullptr);
    return TRUE;
}

int StartFullScreen(HINSTANCE instance)
{
    saverState.fullScreen = true;
    saverState.pointerKnown = false;
    const int before = saverState.count;
    EnumDisplayMonitors(nullptr, nullptr, OpenOnMonitor, reinterpret_cast<LPARAM>(instance));
    if (saverState.count > before)
        SetForegroundWindow(saverState.screens[before].hwnd);
    return saverState.count - before;
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

// One pool work item per core but the window thread's own. Without a pool
// work object the window thread renders alone, and the next frame asks again.
static void RenderOnEveryCore(const Screen& screen)
{
    static PTP_WORK work;
    static DWORD helpers;
    if (!work) {
        SYSTEM_INFO system;
        GetSystemInfo(&system);
        helpers = system.dwNumberOfProcessors - 1;
        work = CreateThreadpoolWork(RenderWork, nullptr, nullptr);
    }
    GdiFlush();
    BeginFrame(&workspace, CurrentRenderPath(), viewState, screen.pixels, screen.width, screen.height);
    if (work)
        for (DWORD i = 0; i < helpers; ++i)
            SubmitThreadpoolWork(work);
    RenderBands(&workspace);
    if (work)
        WaitForThreadpoolWorkCallbacks(work, FALSE);
}

void SaverTick()
{
    const Screen* decider = nullptr;
    for (int i = 0; i < saverState.count; ++i) {
        const Screen& screen = saverState.screens[i];
        if (!screen.hwnd)
            continue;
        RenderOnEveryCore(screen);
        if (!decider && screen.pixels && screen.width > 0 && screen.height > 0)
            decider = &screen;
    }
    AdvanceView(decider ? decider->pixels : nullptr, decider ? decider->width : 0, decider ? decider->height : 0);
    for (int i = 0; i < saverState.count; ++i)
        if (saverState.screens[i].hwnd)
            InvalidateRect(saverState.screens[i].hwnd, nullptr, FALSE);
}

HWND SettingsOwner(uintptr_t window)
{
    HWND given = reinterpret_cast<HWND>(window);
    return window && IsWindow(given) ? given : GetForegroundWindow();
}

int RunScreenSaver(HINSTANCE instance, const char* commandLine)
{
    const SaverCommand command = ParseSaverCommandLine(commandLine);
    if (command.mode == SaverMode::Settings) {
        MessageBoxA(SettingsOwner(command.window), "This screen saver has no options that you can set.", kTitle,
                    MB_OK | MB_ICONINFORMATION);
        return 0;
    }
    // Monitor and window sizes in real pixels: a scaled display would
    // otherwise get smaller frames, stretched by the system.
    SetProcessDPIAware();
    if (!RegisterSaverClass(instance))
        return 0;
    const bool opened = command.mode == SaverMode::Run
                            ? StartFullScreen(instance) > 0
                            : StartPreview(instance, reinterpret_cast<HWND>(command.window)) != nullptr;
    return opened ? RunMessageLoop() : 0;
}
