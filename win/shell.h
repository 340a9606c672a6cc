// What the window program and the screen saver share: the title, the tick
// timer, the message loop, and the shapes they hand the system. Free of
// <windows.h>: handles are named by the structs that <windows.h> declares them
// with. The resource compiler reads the title alone.
#pragma once

#define MANDELBROT_TITLE "Mandelbrot Set"

#ifndef RC_INVOKED
#include <cstdint>

struct HDC__;
struct HINSTANCE__;
struct HWND__;
struct tagBITMAPINFOHEADER;

// The system calls these with a stack that on 32-bit Windows may be aligned to
// 4 bytes only, while the SSE code below them needs 16.
#define SYSTEM_CALLBACK __attribute__((force_align_arg_pointer))

// The window program's class and title, the saver's title and its name in the
// system's list.
constexpr char kTitle[] = MANDELBROT_TITLE;

// Each tick is a WM_TIMER of this id, every kTickMilliseconds.
constexpr uintptr_t kTickTimer = 1;
constexpr unsigned kTickMilliseconds = 16;

// The fields of a RECT.
struct PixelRect {
    int32_t left;
    int32_t top;
    int32_t right;
    int32_t bottom;
};

// Dispatches messages until WM_QUIT and returns its code.
int RunMessageLoop();

// Fills the header of a 32-bit DIB of width x height holding frames as the
// core writes them: rows from the top, with no gap between rows. A DIB shows
// bits 16-23 as red, 8-15 as green and 0-7 as blue, so the colour
// conversion's red (bits 0-7) appears as blue and its blue as red: those are
// the program's colours.
void TopDownDibHeader(tagBITMAPINFOHEADER* header, int32_t width, int32_t height);
#endif
