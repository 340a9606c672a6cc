// The screen saver: the zoom on every monitor (/s), in the settings dialog's
// preview (/p HWND), and a note that there is nothing to set (/c). Like
// window.h, this header stays free of <windows.h>.
#pragma once
#include "window.h"

#include <cstdint>

struct HBITMAP__;

enum class SaverMode { Run, Preview, Settings };

// What the system asked for. window is the HWND given after the switch, 0 if
// none was given or it was not a plain decimal number that fits a handle.
struct SaverCommand {
    SaverMode mode;
    uintptr_t window;
};

// Reads the command line the system starts a screen saver with (without the
// program's name): /s, /p HWND, /c or /c:HWND, switches in either case, with /
// or -, the HWND after spaces or a colon. Anything else asks for the settings.
SaverCommand ParseSaverCommandLine(const char* commandLine);

// One window of the zoom and the frame it shows: a top-down 32-bit DIB section,
// kept selected in a memory DC for the window's life, that the core renders
// into and each paint copies with one blit.
struct Screen {
    HWND__* hwnd;        // null once the window is destroyed
    HDC__* dc;
    HBITMAP__* bitmap;
    uint32_t* pixels;    // the DIB section's words, or null if it could not be had
    int32_t width;       // the frame: the client size, 0 x 0 without pixels
    int32_t height;
};

constexpr int kMaxScreens = 32;

struct SaverState {
    Screen screens[kMaxScreens];
    int count;           // screens opened, destroyed ones included
    int open;            // windows not yet destroyed
    bool fullScreen;     // /s: input and losing activation end the saver
    bool pointerKnown;   // the first mouse move came, and set the start
    int32_t startX;      // where the pointer was when /s started
    int32_t startY;
};
extern SaverState saverState;

// A mouse move further than this from the start, in either direction, ends /s.
constexpr int32_t kMoveSlack = 4;

// Registers the windows' class; true if it is registered, now or before.
bool RegisterSaverClass(HINSTANCE__* instance);

// Each window's destruction (WM_CLOSE, or its parent's) ends the message loop
// with code 0, as does input that ends /s.

// Opens a window of the zoom covering rect: a borderless topmost popup (rect in
// screen coordinates) without a parent, else a child (rect in the parent's
// client coordinates). The first window opened starts the 16 ms timer.
// Returns null when kMaxScreens windows are open or creation fails.
HWND__* OpenScreen(HINSTANCE__* instance, const PixelRect& rect, HWND__* parent);

// /s: opens a window on every monitor and activates the first. Returns how
// many it opened.
int StartFullScreen(HINSTANCE__* instance);

// /p: a child window covering the parent's client area, or null (nothing
// opened) when parent is not a window.
HWND__* StartPreview(HINSTANCE__* instance, HWND__* parent);

// One tick: renders every open screen's frame of the current view on every
// core, advances the view once by the first non-empty frame, and invalidates
// the windows.
void SaverTick();

// The owner of the settings note: the given window if it is one, else the
// foreground window.
HWND__* SettingsOwner(uintptr_t window);

// The whole program for a command line; returns the exit code (always 0).
int RunScreenSaver(HINSTANCE__* instance, const char* commandLine);
