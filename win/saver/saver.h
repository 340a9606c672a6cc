// The screen saver: the zoom on every monitor (/s), in the settings dialog's
// preview (/p HWND), each as its settings say, and the settings dialog (/c). Its state
// is one record, SaverState, that the entry point owns and passes on; each
// window reaches it through its Screen. Like shell.h, this header stays free
// of <windows.h>.
#pragma once
#include "command_line.h"
#include "render/dispatch.h"
#include "settings.h"
#include "shell.h"
#include "span.h"

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
    bool black;          // covers a monitor but the primary (PrimaryOnly): no frame at all
    int32_t spanX;       // where the window's top left corner lies in the frame
    int32_t spanY;       //   that spans all monitors (Span)
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
    SaverSettings settings;  // what StartFullScreen and StartPreview follow: RunScreenSaver
                             //   reads them once, before either
    uint32_t tick;          // the tick the next timer message renders: 1 renders kFirstView
    SpanLayout span;        // Span: the frame across all monitors; 0 x 0 while each
                            //   window shows a frame of its own
    bool onBattery;         // the system runs on battery (or a UPS)
    bool batterySaver;      // Windows' battery saver is on
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

// Calm: a tick every 200 ms instead of every kTickMilliseconds, so that no
// pixel changes more than five times a second.
constexpr unsigned kCalmTickMilliseconds = 200;

// /s stores the tick it is on with a timer of its own, once a minute, so that
// a power cut loses a minute of the zoom at most.
constexpr uintptr_t kStoreTimer = 2;
constexpr unsigned kStoreMilliseconds = 60000;

// Registers the class of the zoom's windows and of the clock; true if both
// are registered, now or before.
bool RegisterSaverClasses(HINSTANCE__* instance);

// Each window's destruction (WM_CLOSE, or its parent's) ends the message loop
// with code 0, as does input that ends /s; a window the saver retires itself
// after a display change does not.

// Opens a window of the zoom covering rect: a borderless topmost popup (rect in
// screen coordinates) without a parent, else a child (rect in the parent's
// client coordinates); a black one gets no frame. Returns null when
// kMaxScreens windows are open or creation fails.
HWND__* OpenScreen(SaverState* state, HINSTANCE__* instance, const PixelRect& rect, HWND__* parent,
                   bool black = false);

// Puts a window on every monitor the system lists, each exactly covering it,
// as the Monitors setting says: the open windows are moved onto the monitors
// in turn, those left over are retired, and monitors left over get new
// windows. Span lays one frame over all of them, each window showing its part;
// PrimaryOnly leaves every window but the primary monitor's (the one at the
// screen's origin) black. Does nothing when no monitor is found.
void CoverMonitors(SaverState* state);

// /s: starts the zoom, covers every monitor, activates the first window, and
// asks for the display's and the power source's reports. Returns how many
// windows it opened.
int StartFullScreen(SaverState* state, HINSTANCE__* instance);

// /p: starts the zoom with a child window covering the parent's client area,
// its own frame whatever the Monitors setting; null (nothing opened) when
// parent is not a window.
HWND__* StartPreview(SaverState* state, HINSTANCE__* instance, HWND__* parent);

// Starting the zoom takes the tick to start from (the Start setting) and its
// view, reads whether the system runs on battery, makes the clock, whose timer
// ticks every kTickMilliseconds (kCalmTickMilliseconds when calm) and, in /s,
// stores the tick every kStoreMilliseconds, puts the window thread below
// normal priority, and counts the helpers: one for every processor but the
// window thread's.

// One tick: renders every framed screen's part of the current view on every
// core and invalidates it, and advances the view and the tick number. On
// battery or battery saver, with HalfRateOnBattery, only odd ticks are
// rendered: the view advances all the same. A tick that leaves the view as it
// was (the zoom has reached its float's limit) starts the zoom again from
// kFirstView, as tick 1. While the display is off a tick does nothing at all.
// In /p, a tick that finds the parent gone ends the message loop with code 0.
void SaverTick(SaverState* state);

// Lets go of the helpers' pool and work; the next frame makes them again.
void StopHelpers(SaverState* state);

// The owner of the settings dialog: the given window if it is one, else the
// foreground window.
HWND__* SettingsOwner(uintptr_t window);

// The whole program for a command line; returns the exit code (always 0). /s
// and /p read the settings once, as they start; /s stores the tick it is on
// as it ends, also at the end of the session (WM_ENDSESSION), where the
// process may be ended before the message loop returns.
int RunScreenSaver(SaverState* state, HINSTANCE__* instance, const char* commandLine);
