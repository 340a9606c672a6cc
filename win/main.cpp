// Entry point: registers the window class, shows the window and runs the
// message loop; the quit code is the exit code (0 without a window).
#include "window.h"

#include <windows.h>

SYSTEM_CALLBACK int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand)
{
    if (!RegisterWindowClass(instance)) {
        MessageBoxA(nullptr, "Program requires Windows NT!", kTitle, MB_ICONERROR);
        return 0;
    }
    return RunMainWindow(instance, showCommand);
}
