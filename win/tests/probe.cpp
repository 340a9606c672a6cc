// window-probe: reports on or drives the running "Mandelbrot Set" window from
// another process, for the Wine checks (wine_checks.py). Each command gives the
// window a second to appear; the checks poll for longer waits.
//
//   window-probe state      prints one line:
//                           window L T R B client X Y W H style S exstyle E
//                           iconic I screen W H depth D foreground F focus F
//   window-probe minimize   posts the minimise command the title bar would send
//   window-probe restore    posts the restore command
//   window-probe close      posts WM_CLOSE
//   window-probe resources  prints "gdi G user U", the window's process's GDI and
//                           USER object counts; exits 3 where the platform does
//                           not report them (Wine: GetGuiResources is not implemented)
//   window-probe gdi-capacity  prints how many GDI objects this process can hold
//                           (memory DCs, created and deleted again)
//   window-probe paint N    repaints the window N times, each repaint done before
//                           the next starts (a paint sent to its thread), each
//                           for the top left pixel
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

static HWND FindMainWindow()
{
    for (int i = 0; i < 10; ++i) {
        HWND hwnd = FindWindowA("Mandelbrot Set", "Mandelbrot Set");
        if (hwnd && IsWindowVisible(hwnd))
            return hwnd;
        Sleep(100);
    }
    return nullptr;
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

static int PrintResources(HWND hwnd)
{
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, pid);
    if (!process) {
        std::fprintf(stderr, "window-probe: cannot open process %lu\n", static_cast<unsigned long>(pid));
        return 1;
    }
    SetLastError(0);
    const DWORD gdi = GetGuiResources(process, GR_GDIOBJECTS);
    const DWORD error = GetLastError();
    const DWORD user = GetGuiResources(process, GR_USEROBJECTS);
    CloseHandle(process);
    // A process with a window and a painted frame holds some of both kinds.
    if (gdi == 0 || user == 0) {
        std::printf("GetGuiResources reports no GDI/USER objects here (error %lu)\n",
                    static_cast<unsigned long>(error));
        return 3;
    }
    std::printf("gdi %lu user %lu\n", static_cast<unsigned long>(gdi), static_cast<unsigned long>(user));
    return 0;
}

static void PrintGdiCapacity()
{
    HDC screen = GetDC(nullptr);
    std::vector<HDC> held;
    while (HDC dc = CreateCompatibleDC(screen))
        held.push_back(dc);
    for (HDC dc : held)
        DeleteDC(dc);
    ReleaseDC(nullptr, screen);
    std::printf("%zu\n", held.size());
}

int main(int argc, char** argv)
{
    const char* command = argc >= 2 ? argv[1] : "";
    if (std::strcmp(command, "gdi-capacity") == 0) {
        PrintGdiCapacity();
        return 0;
    }
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
    else if (std::strcmp(command, "paint") == 0 && argc == 3) {
        // A one-pixel update region: the paint makes and frees its GDI objects
        // as any paint does, but sends the screen one pixel, not a frame.
        const long count = std::strtol(argv[2], nullptr, 10);
        const RECT pixel = {0, 0, 1, 1};
        for (long i = 0; i < count; ++i)
            RedrawWindow(hwnd, &pixel, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
    } else {
        std::fprintf(stderr, "usage: window-probe state|minimize|restore|close|resources|gdi-capacity|paint N\n");
        return 2;
    }
    return 0;
}
