// What the screen saver's in-process tests share: a case's saver, stand-in
// parents for the preview, the frames they should show, and the system's
// power notices.
#pragma once
#include "saver.h"

#include "render/reference.h"
#include "stored_settings.h"

#include <doctest/doctest.h>
#include <windows.h>

#include <algorithm>
#include <memory>
#include <vector>

// The module, with the saver's window classes registered.
inline HINSTANCE Instance()
{
    static const HINSTANCE instance = [] {
        HINSTANCE module = GetModuleHandleA(nullptr);
        REQUIRE(RegisterSaverClasses(module));
        return module;
    }();
    return instance;
}

inline std::vector<HWND> parents;  // NewParent's windows

// A case's saver: a new state record (on the heap: the frame in flight makes
// it about 1 MB), a thread of normal priority, and no stored settings. On the
// way out, a failed REQUIRE included, it destroys the windows the case left
// open (the saver's, its clock and the stand-in parents), lets go of the
// helpers, takes the quit messages that all this posts, and removes what the
// saver stored, so that the next case starts clean.
struct SaverSession {
    NoStoredSettings clean;
    std::unique_ptr<SaverState> owned = std::make_unique<SaverState>();
    SaverState& state = *owned;
    SaverSession() { SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL); }
    SaverSession(const SaverSession&) = delete;
    SaverSession& operator=(const SaverSession&) = delete;
    ~SaverSession()
    {
        for (int i = 0; i < state.count; ++i)
            if (state.screens[i].hwnd)
                DestroyWindow(state.screens[i].hwnd);
        if (state.clock)
            DestroyWindow(state.clock);
        for (HWND parent : parents)
            DestroyWindow(parent);
        parents.clear();
        StopHelpers(&state);
        MSG message;
        while (PeekMessageA(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
        }
    }
};

inline std::vector<uint32_t> ReferenceFrame(const ViewState& view, int32_t width, int32_t height)
{
    std::vector<uint32_t> frame(static_cast<size_t>(width) * height);
    RenderReference(view, frame.data(), width, height);
    return frame;
}

inline bool ShowsFrame(const Screen& screen, const std::vector<uint32_t>& expected)
{
    GdiFlush();
    return screen.pixels && std::equal(expected.begin(), expected.end(), screen.pixels);
}

// Takes the quit message if one was posted; its code, or -1 if none.
inline int QuitCode()
{
    MSG message;
    return PeekMessageA(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) ? static_cast<int>(message.wParam) : -1;
}

// A plain framed window standing in for the settings dialog's preview area;
// the case's SaverSession destroys it if the case does not.
inline HWND NewParent(int clientWidth, int clientHeight)
{
    RECT rect = {0, 0, clientWidth, clientHeight};
    AdjustWindowRect(&rect, WS_POPUP | WS_BORDER, FALSE);
    HWND parent = CreateWindowExA(0, "STATIC", "preview parent", WS_POPUP | WS_BORDER | WS_VISIBLE, 10, 10,
                                  rect.right - rect.left, rect.bottom - rect.top, nullptr, nullptr, Instance(),
                                  nullptr);
    REQUIRE(parent);
    parents.push_back(parent);
    RECT client;
    GetClientRect(parent, &client);
    REQUIRE(client.right == clientWidth);
    REQUIRE(client.bottom == clientHeight);
    return parent;
}

inline RECT WindowRect(HWND hwnd)
{
    RECT rect;
    GetWindowRect(hwnd, &rect);
    return rect;
}

inline bool SameRect(const RECT& a, const RECT& b)
{
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

// The notification the system sends for a power setting, with its DWORD.
struct PowerSetting {
    GUID setting;
    DWORD length;
    DWORD state;
};

inline void ReportPower(HWND hwnd, const GUID& setting, DWORD state)
{
    PowerSetting report = {setting, sizeof(DWORD), state};
    CHECK(SendMessageA(hwnd, WM_POWERBROADCAST, PBT_POWERSETTINGCHANGE, reinterpret_cast<LPARAM>(&report)) == TRUE);
}
