// The screen saver: the zoom on every monitor (/s), in the settings dialog's
// preview (/p HWND), and a note that there is nothing to set (/c). Like
// shell.h, this header stays free of <windows.h>.
#pragma once
#include "command_line.h"
#include "shell.h"

#include <cstdint>

struct HBITMAP__;

// One window of the zoom and the frame it shows: a top-down 32-bit DIB section
// of the client size, kept selected in a memory DC until the window is resized
// or destroyed, that the core renders into and each paint copies with one blit.
struct Screen {
    HWND__* hwnd;        // null once the window is destroyed
    HDC__* dc;
    HBITMAP__* bitmap;
    uint32_t* pixels;    // the DIB section's words, or null if it could not be had
    int32_t width;       // the frame: the client size, 0 x 0 without pixels
    int32_t height;
    bool retired;        // closed by the saver itself: its monitor is gone
};

constexpr int kMaxScreens = 32;

struct SaverState {
    Screen screens[kMaxScreens];
    int count;           // slots used so far; a destroyed window's slot is taken again
    int open;            // windows not yet destroyed
    HINSTANCE__* instance;  // of the windows, for those a display change opens
    bool fullScreen;     // /s: input and losing activation end the saver
    bool pointerKnown;   // the first mouse move came, and set the start
    int32_t startX;      // where the pointer was when /s started
    int32_t startY;
    bool displayOff;     // the system reported the display off: ticks do nothing
    bool consoleReported;  // the console display state (Windows 8 on) has been
                           // reported; the older monitor power setting is then ignored
};
extern SaverState saverState;

// A mouse move further than this from the start, in either direction, ends /s.
constexpr int32_t kMoveSlack = 4;

// The thread pool work that renders bands beside the window thread: created at
// the first tick, with this many submissions a frame (every processor of every
// group but the window thread's) at this callback priority (TP_CALLBACK_PRIORITY_*).
struct RenderPool {
    bool made;
    uint32_t helpers;
    int priority;
};
extern RenderPool renderPool;

// Registers the windows' class; true if it is registered, now or before.
bool RegisterSaverClass(HINSTANCE__* instance);

// Each window's destruction (WM_CLOSE, or its parent's) ends the message loop
// with code 0, as does input that ends /s; a window the saver retires itself
// after a display change does not.

// Opens a window of the zoom covering rect: a borderless topmost popup (rect in
// screen coordinates) without a parent, else a child (rect in the parent's
// client coordinates). The first window opened starts the 16 ms timer and
// lowers its thread's priority below normal.
// Returns null when kMaxScreens windows are open or creation fails.
HWND__* OpenScreen(HINSTANCE__* instance, const PixelRect& rect, HWND__* parent);

// Puts a window on every monitor, each exactly covering it: the open windows
// are moved onto the monitors in turn, those left over are retired, and
// monitors left over get new windows. Does nothing when no monitor is found.
void CoverMonitors();

// /s: covers every monitor, activates the first window, and asks for the
// display's power reports. Returns how many windows it opened.
int StartFullScreen(HINSTANCE__* instance);

// /p: a child window covering the parent's client area, or null (nothing
// opened) when parent is not a window.
HWND__* StartPreview(HINSTANCE__* instance, HWND__* parent);

// One tick: renders every open screen's frame of the current view on every
// core, advances the view once by the first non-empty frame, and invalidates
// the windows. A tick that leaves the view as it was (the zoom has reached its
// float's limit) starts the zoom again from kFirstView. While the display
// is off a tick does nothing at all.
void SaverTick();

// The owner of the settings note: the given window if it is one, else the
// foreground window.
HWND__* SettingsOwner(uintptr_t window);

// The whole program for a command line; returns the exit code (always 0).
int RunScreenSaver(HINSTANCE__* instance, const char* commandLine);
