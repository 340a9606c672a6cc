// The window program's process-wide state and entry points. Like shell.h,
// this header stays free of <windows.h>, so either side can include it.
#pragma once
#include "shell.h"

#include <cstdint>

struct WindowState {
    uint32_t* pixels;       // the FrameBuffer: monitorWidth x monitorHeight words, or null
    int32_t monitorWidth;   // size of the monitor nearest the window at creation
    int32_t monitorHeight;
    int32_t clientWidth;    // client size from the latest WM_SIZE
    int32_t clientHeight;
    PixelRect invalidRect;  // what each tick invalidates: {0, 0, clientWidth, clientHeight}
    uint32_t savedStyle;    // the style that the next Escape puts on the window
};
extern WindowState windowState;

// Registers the "Mandelbrot Set" class; false if the system refused it.
bool RegisterWindowClass(HINSTANCE__* instance);

// Creates the framed "Mandelbrot Set" window, not yet shown.
HWND__* CreateMainWindow(HINSTANCE__* instance);

// Creates the window, shows it with the given command and dispatches messages
// until WM_QUIT; returns its code, or 0 at once when the window cannot be created.
int RunMainWindow(HINSTANCE__* instance, int showCommand);

// The frame that ticks render and paints read: the client size when its words
// and its centre index fit the FrameBuffer's monitorWidth x monitorHeight words;
// otherwise each dimension limited to the monitor's; 0 x 0 without a FrameBuffer.
void FrameSize(int32_t* width, int32_t* height);

// Shows the first width x height words of the FrameBuffer, stretched over the
// client area (1:1 whenever FrameSize gives the client size).
void PaintFrame(HDC__* hdc, int32_t width, int32_t height);
