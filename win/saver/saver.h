// The screen saver: the zoom on every monitor (/s), in the settings dialog's
// preview (/p HWND), and the settings dialog (/c). Its state
// is one record, SaverState, that the entry point owns and passes on; each
// window reaches it through its Screen. Like shell.h, this header stays free
// of <windows.h>.
#pragma once
#include "command_line.h"
#include "render/dispatch.h"
#include "shell.h"

#include <cstdint>

struct HBITMAP__;
struct _TP_POOL;
struct _TP_WORK;
struct SaverState;

// One window of the zoom and the frame it shows: a top-down 32-bit DIB section
// of the client size, kept selected in a memory DC until the window is resized
// or destroyed, that the core renders into and each paint copies with one blit.
struct Screen {
    SaverState* saver;   // the state it belongs to
    HWND__* hwnd;        // null once the window is destroyed
    HDC__* dc;
    HBITMAP__* bitmap;
    uint32_t* pixels;    // the DIB section's words, or null if it could not be had
    int32_t width;       // the frame: the client size, 0 x 0 without pixels
    int32_t height;
    bool retired;        // closed by the saver itself: its monitor is gone
};

constexpr int kMaxScreens = 32;

// The display power settings the saver follows, each more telling than the one
// before: a report of one is not heeded once a later one has reported.
enum class DisplaySetting {
    None,
    MonitorPower,    // the monitor power state, before Windows 8
    ConsoleDisplay,  // the console's display state (Windows 8 on)
    SessionDisplay,  // the display state of the session the saver runs in (Windows 8 on)
};

struct SaverState {
    Screen screens[kMaxScreens];
    int count;              // slots used so far; a destroyed window's slot is taken again
    int open;               // windows not yet destroyed
    HINSTANCE__* instance;  // of the windows, for those a display change opens
    HWND__* clock;          // a message-only window whose timer ticks; null until the zoom starts
    HWND__* parent;         // /p: the window the preview covers; null otherwise
    bool fullScreen;        // /s: input and losing activation end the saver
    bool pointerKnown;      // the first mouse move came, and set the start
    int32_t startX;         // where the pointer was when /s started
    int32_t startY;
    bool displayOff;        // the display is reported off: ticks do nothing
    DisplaySetting displayReport;  // the most telling setting reported so far
    uint32_t helpers;       // threads that render beside the window thread
    _TP_POOL* pool;         // the helpers' own pool and their work in it, made
    _TP_WORK* work;         //   at the first frame that has helpers
    RenderWorkspace workspace;  // the frame in flight, which the window thread
                                // begins and takes bands of with the helpers
};

// A mouse move further than this from the start, in either direction, ends /s.
constexpr int32_t kMoveSlack = 4;

// Registers the class of the zoom's windows and of the clock; true if both
// are registered, now or before.
bool RegisterSaverClasses(HINSTANCE__* instance);

// Each window's destruction (WM_CLOSE, or its parent's) ends the message loop
// with code 0, as does input that ends /s; a window the saver retires itself
// after a display change does not.

// Opens a window of the zoom covering rect: a borderless topmost popup (rect in
// screen coordinates) without a parent, else a child (rect in the parent's
// client coordinates). Returns null when kMaxScreens windows are open or
// creation fails.
HWND__* OpenScreen(SaverState* state, HINSTANCE__* instance, const PixelRect& rect, HWND__* parent);

// Puts a window on every monitor, each exactly covering it: the open windows
// are moved onto the monitors in turn, those left over are retired, and
// monitors left over get new windows. Does nothing when no monitor is found.
void CoverMonitors(SaverState* state);

// /s: starts the zoom, covers every monitor, activates the first window, and
// asks for the display's power reports. Returns how many windows it opened.
int StartFullScreen(SaverState* state, HINSTANCE__* instance);

// /p: starts the zoom with a child window covering the parent's client area;
// null (nothing opened) when parent is not a window.
HWND__* StartPreview(SaverState* state, HINSTANCE__* instance, HWND__* parent);

// Starting the zoom makes the clock, whose timer ticks every
// kTickMilliseconds, puts the window thread below normal priority, and counts
// the helpers: one for every processor but the window thread's.

// One tick: renders every open screen's frame of the current view on every
// core, advances the view once by the first non-empty frame, and invalidates
// the windows. A tick that leaves the view as it was (the zoom has reached its
// float's limit) starts the zoom again from kFirstView. While the display is
// off a tick does nothing at all. In /p, a tick that finds the parent gone
// ends the message loop with code 0.
void SaverTick(SaverState* state);

// Lets go of the helpers' pool and work; the next frame makes them again.
void StopHelpers(SaverState* state);

// The owner of the settings dialog: the given window if it is one, else the
// foreground window.
HWND__* SettingsOwner(uintptr_t window);

// The whole program for a command line; returns the exit code (always 0).
int RunScreenSaver(SaverState* state, HINSTANCE__* instance, const char* commandLine);
