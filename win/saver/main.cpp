// Entry point of the screen saver (mandelbrot.scr): the system starts it with
// /s, /p HWND or /c; the exit code is always 0.
#include "saver.h"

#include <windows.h>

// About 1 MB with the frame in flight: too large for the stack.
static SaverState saver;

SYSTEM_CALLBACK int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int)
{
    return RunScreenSaver(&saver, instance, commandLine);
}
