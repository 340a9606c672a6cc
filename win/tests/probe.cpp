// window-probe: reports on or drives the running "Mandelbrot Set" window from
// another process, for the Wine checks (window_checks.py, saver_checks.py). Each command gives the
// window a second to appear; the checks poll for longer waits.
//
//   window-probe state      prints one line:
//                           window L T R B client X Y W H style S exstyle E
//                           iconic I screen W H depth D foreground F focus F
//   window-probe minimize   posts the minimise command the title bar would send
//   window-probe restore    posts the restore command
//   window-probe close      posts WM_CLOSE
//   window-probe resources  prints "gdi G user U", the window's process's GDI and
//                           USER object counts (the lowest of a few readings),
//                           or "gdi G" where the platform counts neither (Wine
//                           has no GetGuiResources) and G comes from a 64-bit
//                           process's GDI handle table; exits 3 where there is
//                           no count at all
//   window-probe resize N   resizes the window N times, each done before the
//                           next starts, between its size and one pixel less
//                           each way, and leaves it at its size
//   window-probe screens    prints one line per screen-saver window:
//                           screen L T R B style S exstyle E
//   window-probe parent W H opens a window with a W x H client area, prints its
//                           HWND in decimal, and runs until that window is destroyed
//   window-probe children HWND  prints one line per child window of HWND:
//                           child W H style S (client size)
//   window-probe close HWND posts WM_CLOSE to that window
//   window-probe name FILE  prints string resource 1 of that exe (32- or 64-bit)
//   window-probe manifest FILE  prints the manifest resource of that exe
//   window-probe display W H  changes the display mode to W x H, as the
//                           display settings would; exits 1 if refused
//
// "The window" is the window program's, or else the screen saver's first one.
#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

static const char kScreenClass[] = "Mandelbrot Screen";

static HWND FindMainWindow()
{
    for (int i = 0; i < 10; ++i) {
        for (const char* windowClass : {"Mandelbrot Set", kScreenClass}) {
            HWND hwnd = FindWindowA(windowClass, "Mandelbrot Set");
            if (hwnd && IsWindowVisible(hwnd))
                return hwnd;
        }
        Sleep(100);
    }
    return nullptr;
}

static BOOL CALLBACK PrintScreen(HWND hwnd, LPARAM)
{
    char name[32] = {};
    GetClassNameA(hwnd, name, sizeof name);
    if (std::strcmp(name, kScreenClass) != 0 || !IsWindowVisible(hwnd))
        return TRUE;
    RECT rect;
    GetWindowRect(hwnd, &rect);
    std::printf("screen %ld %ld %ld %ld style %08lX exstyle %08lX\n", rect.left, rect.top, rect.right, rect.bottom,
                static_cast<unsigned long>(GetWindowLongA(hwnd, GWL_STYLE)),
                static_cast<unsigned long>(GetWindowLongA(hwnd, GWL_EXSTYLE)));
    return TRUE;
}

static BOOL CALLBACK PrintChild(HWND hwnd, LPARAM)
{
    RECT client;
    GetClientRect(hwnd, &client);
    std::printf("child %ld %ld style %08lX\n", client.right, client.bottom,
                static_cast<unsigned long>(GetWindowLongA(hwnd, GWL_STYLE)));
    return TRUE;
}

static LRESULT CALLBACK ParentProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_DESTROY)
        PostQuitMessage(0);
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

// A stand-in for the settings dialog's preview area, in a process of its own.
static int RunParent(int width, int height)
{
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = ParentProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(GRAY_BRUSH));
    windowClass.lpszClassName = "Preview Parent";
    RegisterClassA(&windowClass);
    RECT rect = {0, 0, width, height};
    AdjustWindowRect(&rect, WS_POPUP | WS_BORDER, FALSE);
    HWND hwnd = CreateWindowExA(0, "Preview Parent", "Preview Parent", WS_POPUP | WS_BORDER | WS_VISIBLE, 20, 20,
                                rect.right - rect.left, rect.bottom - rect.top, nullptr, nullptr,
                                windowClass.hInstance, nullptr);
    if (!hwnd)
        return 1;
    std::printf("%llu\n", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(hwnd)));
    std::fflush(stdout);
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0))
        DispatchMessageA(&message);
    return 0;
}

static HWND ParseWindow(const char* text)
{
    return reinterpret_cast<HWND>(static_cast<uintptr_t>(std::strtoull(text, nullptr, 10)));
}

static void PrintState(HWND hwnd)
{
    RECT window, client;
    GetWindowRect(hwnd, &window);
    GetClientRect(hwnd, &client);
    POINT origin = {0, 0};
    ClientToScreen(hwnd, &origin);
    HDC screen = GetDC(nullptr);
    const int depth = GetDeviceCaps(screen, BITSPIXEL);
    ReleaseDC(nullptr, screen);
    GUITHREADINFO thread = {};
    thread.cbSize = sizeof thread;
    GetGUIThreadInfo(GetWindowThreadProcessId(hwnd, nullptr), &thread);
    std::printf("window %ld %ld %ld %ld client %ld %ld %ld %ld style %08lX exstyle %08lX iconic %d "
                "screen %d %d depth %d foreground %d focus %d\n",
                window.left, window.top, window.right, window.bottom, origin.x, origin.y, client.right,
                client.bottom, static_cast<unsigned long>(GetWindowLongA(hwnd, GWL_STYLE)),
                static_cast<unsigned long>(GetWindowLongA(hwnd, GWL_EXSTYLE)), IsIconic(hwnd) ? 1 : 0,
                GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN), depth,
                GetForegroundWindow() == hwnd ? 1 : 0, thread.hwndFocus == hwnd ? 1 : 0);
}

// One entry of a 64-bit process's GDI handle table; a free entry has type 0.
struct GdiHandleEntry {
    std::uint64_t object;
    std::uint32_t owner;
    std::uint16_t unique;
    std::uint8_t type;
    std::uint8_t flags;
    std::uint64_t user;
};
static_assert(sizeof(GdiHandleEntry) == 24, "a GDI handle table entry is 24 bytes");
static const size_t kGdiHandles = 0x10000;

// The GDI objects in use in a 64-bit process's GDI handle table, which its
// PEB points to, or -1 where it cannot be read. Wine gives each process a
// table of its own and records no owner, so every entry in use is the
// process's; this is only asked where GetGuiResources counts nothing. A 32-bit
// process's table is not counted: its address is in the 32-bit PEB, and Wine
// tells other processes nothing that leads there (ProcessWow64Information
// says only whether the process is 32-bit).
static long CountGdiHandles(HANDLE process)
{
    BOOL wow64 = FALSE;
    PROCESS_BASIC_INFORMATION basic = {};
    std::uint64_t table = 0;
    if (!IsWow64Process(process, &wow64) || wow64 ||
        !NT_SUCCESS(NtQueryInformationProcess(process, ProcessBasicInformation, &basic, sizeof basic, nullptr)) ||
        !ReadProcessMemory(process, reinterpret_cast<char*>(basic.PebBaseAddress) + 0xF8, &table, sizeof table,
                           nullptr) ||
        !table)
        return -1;
    std::vector<GdiHandleEntry> entries(kGdiHandles);
    if (!ReadProcessMemory(process, reinterpret_cast<void*>(static_cast<uintptr_t>(table)), entries.data(),
                           entries.size() * sizeof entries[0], nullptr))
        return -1;
    long used = 0;
    for (const GdiHandleEntry& entry : entries)
        used += entry.type != 0;
    return used;
}

// The lowest of several readings a few milliseconds apart: a paint in
// progress holds a bitmap and DCs for a moment.
static int PrintResources(HWND hwnd)
{
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    if (!process) {
        std::fprintf(stderr, "window-probe: cannot open process %lu\n", static_cast<unsigned long>(pid));
        return 1;
    }
    SetLastError(0);
    DWORD gdi = GetGuiResources(process, GR_GDIOBJECTS);
    const DWORD error = GetLastError();
    DWORD user = GetGuiResources(process, GR_USEROBJECTS);
    // A process with a window and a painted frame holds some of both kinds.
    const bool counted = gdi != 0 && user != 0;
    long table = counted ? 0 : CountGdiHandles(process);
    for (int i = 0; i < 10 && (counted || table > 0); ++i) {
        Sleep(7);
        if (counted) {
            gdi = std::min(gdi, GetGuiResources(process, GR_GDIOBJECTS));
            user = std::min(user, GetGuiResources(process, GR_USEROBJECTS));
        } else {
            table = std::min(table, CountGdiHandles(process));
        }
    }
    CloseHandle(process);
    if (counted)
        std::printf("gdi %lu user %lu\n", static_cast<unsigned long>(gdi), static_cast<unsigned long>(user));
    else if (table > 0)
        std::printf("gdi %ld\n", table);
    else {
        std::printf("GetGuiResources reports no GDI/USER objects here (error %lu), and the process's GDI handle "
                    "table is not read (only a 64-bit process's is)\n",
                    static_cast<unsigned long>(error));
        return 3;
    }
    return 0;
}

int main(int argc, char** argv)
{
    const char* command = argc >= 2 ? argv[1] : "";
    if (std::strcmp(command, "screens") == 0) {
        EnumWindows(PrintScreen, 0);
        return 0;
    }
    if (std::strcmp(command, "parent") == 0 && argc == 4)
        return RunParent(std::atoi(argv[2]), std::atoi(argv[3]));
    if (std::strcmp(command, "children") == 0 && argc == 3) {
        EnumChildWindows(ParseWindow(argv[2]), PrintChild, 0);
        return 0;
    }
    if (std::strcmp(command, "name") == 0 && argc == 3) {
        HMODULE module = LoadLibraryExA(argv[2], nullptr, LOAD_LIBRARY_AS_DATAFILE);
        char name[128] = {};
        if (!module || !LoadStringA(module, 1, name, sizeof name))
            return 1;
        std::printf("%s\n", name);
        return 0;
    }
    if (std::strcmp(command, "manifest") == 0 && argc == 3) {
        HMODULE module = LoadLibraryExA(argv[2], nullptr, LOAD_LIBRARY_AS_DATAFILE);
        HRSRC found = module ? FindResourceA(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24)) : nullptr;
        if (!found)
            return 1;
        std::fwrite(LockResource(LoadResource(module, found)), 1, SizeofResource(module, found), stdout);
        return 0;
    }
    if (std::strcmp(command, "display") == 0 && argc == 4) {
        DEVMODEA mode = {};
        mode.dmSize = sizeof mode;
        mode.dmPelsWidth = static_cast<DWORD>(std::atoi(argv[2]));
        mode.dmPelsHeight = static_cast<DWORD>(std::atoi(argv[3]));
        mode.dmFields = DM_PELSWIDTH | DM_PELSHEIGHT;
        const LONG result = ChangeDisplaySettingsExA(nullptr, &mode, nullptr, 0, nullptr);
        if (result != DISP_CHANGE_SUCCESSFUL) {
            std::fprintf(stderr, "window-probe: ChangeDisplaySettingsExA to %sx%s gave %ld\n", argv[2], argv[3], result);
            return 1;
        }
        return 0;
    }
    if (std::strcmp(command, "close") == 0 && argc == 3)
        return PostMessageA(ParseWindow(argv[2]), WM_CLOSE, 0, 0) ? 0 : 1;
    HWND hwnd = FindMainWindow();
    if (!hwnd) {
        std::fprintf(stderr, "window-probe: no visible \"Mandelbrot Set\" window\n");
        return 1;
    }
    if (std::strcmp(command, "state") == 0)
        PrintState(hwnd);
    else if (std::strcmp(command, "minimize") == 0)
        PostMessageA(hwnd, WM_SYSCOMMAND, SC_MINIMIZE, 0);
    else if (std::strcmp(command, "restore") == 0)
        PostMessageA(hwnd, WM_SYSCOMMAND, SC_RESTORE, 0);
    else if (std::strcmp(command, "close") == 0)
        PostMessageA(hwnd, WM_CLOSE, 0, 0);
    else if (std::strcmp(command, "resources") == 0)
        return PrintResources(hwnd);
    else if (std::strcmp(command, "resize") == 0 && argc == 3) {
        const long count = std::strtol(argv[2], nullptr, 10);
        RECT rect;
        GetWindowRect(hwnd, &rect);
        const int width = rect.right - rect.left;
        const int height = rect.bottom - rect.top;
        const UINT flags = SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE;
        for (long i = 0; i < count; ++i)
            SetWindowPos(hwnd, nullptr, 0, 0, width - (i % 2 == 0), height - (i % 2 == 0), flags);
        SetWindowPos(hwnd, nullptr, 0, 0, width, height, flags);
    } else {
        std::fprintf(stderr, "usage: window-probe state|minimize|restore|close [HWND]|resources|"
                             "resize N|screens|parent W H|children HWND|name FILE|manifest FILE|display W H\n");
        return 2;
    }
    return 0;
}
