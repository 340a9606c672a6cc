// The message loop of the window program and the screen saver; a file of its
// own, so that the screen saver links it without the main window.
#include "window.h"

#include <windows.h>

int RunMessageLoop()
{
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0)) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return static_cast<int>(message.wParam);
}
