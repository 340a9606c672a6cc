// The main window of the Mandelbrot zoom.
//
// Features:
// - one framed window, class and title "Mandelbrot Set", of the system's default size;
// - a 16 ms timer renders a frame of the client size and advances the zoom;
// - each paint shows the latest frame (paint.cpp);
// - Escape swaps between the framed and a borderless style, and each time puts the
//   window topmost at (0, 0) with the monitor's size; other keys do nothing;
// - system keys keep their default handling, so Alt+F4 closes the window;
// - closing the window ends the program with exit code 0, and so does a window
//   that cannot be created;
// - the frame is the client size whenever it and its centre word fit the FrameBuffer
//   (monitorWidth x monitorHeight words), wider or taller than the monitor included;
//   a client that does not fit gets each dimension limited to the monitor's, stretched over it;
// - without a FrameBuffer (failed monitor query or allocation) ticks only advance the view.
#include "window.h"

#include "animation.h"

#include <windows.h>

#include <cstdlib>

static_assert(sizeof(MONITORINFO) == 40, "MONITORINFO.cbSize");

WindowState windowState = {nullptr, 0, 0, 1, 1, {0, 0, 1, 1}, WS_CHILD | WS_VISIBLE};

// Zeroed, so that a centre test before the first frame reads a point that
// never escaped. Null when the monitor is empty or the block cannot be had.
static uint32_t* AllocateFrameBuffer(int32_t width, int32_t height)
{
    if (width <= 0 || height <= 0)
        return nullptr;
    const uint64_t bytes = static_cast<uint64_t>(width) * static_cast<uint64_t>(height) * 4;
    if (bytes > SIZE_MAX)
        return nullptr;
    return static_cast<uint32_t*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, static_cast<SIZE_T>(bytes)));
}

// The client size whenever its frame and centre word fit the FrameBuffer, so
// frames render and paint 1:1 even when the client is wider or taller than the
// monitor. Only a client that does not fit has each dimension limited to the
// monitor's, which always fits. In 64 bits: 65535 x 65535 overflows 32.
void FrameSize(int32_t* width, int32_t* height)
{
    const WindowState& s = windowState;
    if (!s.pixels) {
        *width = 0;
        *height = 0;
        return;
    }
    const int64_t capacity = static_cast<int64_t>(s.monitorWidth) * s.monitorHeight;
    const int64_t words = static_cast<int64_t>(s.clientWidth) * s.clientHeight;
    if (words <= capacity && CenterIndex(s.clientWidth, s.clientHeight) < capacity) {
        *width = s.clientWidth;
        *height = s.clientHeight;
        return;
    }
    *width = s.clientWidth < s.monitorWidth ? s.clientWidth : s.monitorWidth;
    *height = s.clientHeight < s.monitorHeight ? s.clientHeight : s.monitorHeight;
}

static void OnCreate(HWND hwnd)
{
    MONITORINFO info = {};
    info.cbSize = sizeof info;
    GetMonitorInfoA(MonitorFromWindow(hwnd, MONITOR_DEFAULTTONEAREST), &info);
    windowState.monitorWidth = std::abs(info.rcMonitor.right - info.rcMonitor.left);
    windowState.monitorHeight = std::abs(info.rcMonitor.bottom - info.rcMonitor.top);
    windowState.pixels = AllocateFrameBuffer(windowState.monitorWidth, windowState.monitorHeight);
    SetTimer(hwnd, kTickTimer, kTickMilliseconds, nullptr);
}

static void OnTimer(HWND hwnd)
{
    int32_t width, height;
    FrameSize(&width, &height);
    AnimationTick(windowState.pixels, width, height);
    const PixelRect& r = windowState.invalidRect;
    const RECT rect = {r.left, r.top, r.right, r.bottom};
    InvalidateRect(hwnd, &rect, FALSE);
}

static void OnPaint(HWND hwnd)
{
    PAINTSTRUCT paint;
    HDC hdc = BeginPaint(hwnd, &paint);
    int32_t width, height;
    FrameSize(&width, &height);
    PaintFrame(hdc, width, height);
    EndPaint(hwnd, &paint);
}

// SWP_FRAMECHANGED: the system recalculates the frame after a style change only
// when told so or when the window moves or resizes, and from the second Escape
// on the window is already at (0, 0) with the monitor's size.
static void SwapStyle(HWND hwnd)
{
    windowState.savedStyle =
        static_cast<uint32_t>(SetWindowLongA(hwnd, GWL_STYLE, static_cast<LONG>(windowState.savedStyle)));
    SetWindowPos(hwnd, HWND_TOPMOST, 0, 0, windowState.monitorWidth, windowState.monitorHeight, SWP_FRAMECHANGED);
}

static SYSTEM_CALLBACK LRESULT CALLBACK WndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
        OnCreate(hwnd);
        return 0;
    case WM_SIZE:
        windowState.clientWidth = LOWORD(lParam);
        windowState.clientHeight = HIWORD(lParam);
        windowState.invalidRect.right = windowState.clientWidth;
        windowState.invalidRect.bottom = windowState.clientHeight;
        return 0;
    case WM_PAINT:
        OnPaint(hwnd);
        return 0;
    case WM_TIMER:
        OnTimer(hwnd);
        return 0;
    case WM_KEYDOWN:
        if (wParam == VK_ESCAPE)
            SwapStyle(hwnd);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcA(hwnd, message, wParam, lParam);
    }
}

bool RegisterWindowClass(HINSTANCE instance)
{
    WNDCLASSA windowClass = {};
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = WndProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconA(nullptr, IDI_APPLICATION);
    windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_MENU + 1));
    windowClass.lpszClassName = kTitle;
    return RegisterClassA(&windowClass) != 0;
}

HWND CreateMainWindow(HINSTANCE instance)
{
    return CreateWindowExA(0, kTitle, kTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                           CW_USEDEFAULT, nullptr, nullptr, instance, nullptr);
}

int RunMainWindow(HINSTANCE instance, int showCommand)
{
    HWND hwnd = CreateMainWindow(instance);
    if (!hwnd)
        return 0;  // no window would ever post the quit message
    ShowWindow(hwnd, showCommand);
    UpdateWindow(hwnd);
    return RunMessageLoop();
}

