// The screen saver's settings dialog and where its settings are kept
// (HKCU\Software\Mandelbrot Set\Screen Saver). Like shell.h, free of
// <windows.h>; the resource compiler reads the control ids alone.
#pragma once

#define IDD_SETTINGS 100
#define IDC_EACH_MONITOR 101  // the three Monitors choices, in MonitorMode's order
#define IDC_SPAN_MONITORS 102
#define IDC_PRIMARY_MONITOR 103
#define IDC_START_STOPPED 111  // the three Start choices, in StartMode's order
#define IDC_START_BEGINNING 112
#define IDC_START_RANDOM 113
#define IDC_HALF_RATE 121
#define IDC_CALM 122

#ifndef RC_INVOKED
#include "settings.h"

struct HINSTANCE__;
struct HWND__;

// The stored settings; what is missing or unreadable gives its default.
SaverSettings LoadSettings();

// Stores the choices of the dialog: Monitors, Start, HalfRateOnBattery, and
// Calm once it is chosen. Returns 0, or the system's error code if the key or
// a value could not be written.
uint32_t StoreSettings(const SaverSettings& settings);

// Stores where a run stopped; returns 0 or the system's error code.
uint32_t StoreTick(uint32_t tick);

// Shows the dialog modal to owner and stores the choices on OK; Cancel and
// Escape store nothing. If they cannot be stored, a message box says so and
// the dialog stays open with the choices as they were.
void RunSettingsDialog(HINSTANCE__* instance, HWND__* owner);
#endif
