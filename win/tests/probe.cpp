// window-probe: reports on or drives the running "Mandelbrot Set" window from
// another process, for the end-to-end run and the soak.
//
//   window-probe state      waits up to 120 s for the window, then prints one line:
//                           window L T R B client X Y W H style S exstyle E
//                           iconic I screen W H depth D foreground F focus F
//   window-probe minimize   posts the minimise command the title bar would send
//   window-probe restore    posts the restore command
//   window-probe close      posts WM_CLOSE
#include <windows.h>

#include <cstdio>
#include <cstring>

static HWND FindMainWindow(int seconds)
{
    for (int i = 0; i < seconds * 10; ++i) {
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

int main(int argc, char** argv)
{
    const char* command = argc == 2 ? argv[1] : "";
    HWND hwnd = FindMainWindow(std::strcmp(command, "state") == 0 ? 120 : 1);
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
    else {
        std::fprintf(stderr, "usage: window-probe state|minimize|restore|close\n");
        return 2;
    }
    return 0;
}
