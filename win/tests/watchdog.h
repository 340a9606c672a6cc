// A watchdog for the Windows-side tests: while one lives, a message loop (the
// program's, or a modal one such as a message box's) that nothing else ends
// within its time is ended by a quit message with a code of its own, and the
// case fails, instead of hanging until CTest's timeout.
#pragma once
#include <doctest/doctest.h>
#include <windows.h>

constexpr int kWatchdogCode = 99;

inline bool watchdogFired;

inline void CALLBACK WatchdogExpired(HWND, UINT, UINT_PTR, DWORD)
{
    watchdogFired = true;
    PostQuitMessage(kWatchdogCode);
}

struct Watchdog {
    UINT_PTR timer;
    explicit Watchdog(UINT milliseconds = 10000) : timer(SetTimer(nullptr, 0, milliseconds, WatchdogExpired))
    {
        watchdogFired = false;
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;
    // Takes the quit message that an expiry may have left for a later loop.
    ~Watchdog()
    {
        KillTimer(nullptr, timer);
        if (!watchdogFired)
            return;
        MSG message;
        while (PeekMessageA(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
        }
        FAIL_CHECK("the watchdog ended a message loop that nothing else ended in time");
    }
};
