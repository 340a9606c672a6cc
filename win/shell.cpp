#include "shell.h"

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

// A negative height is what makes a DIB top-down.
void TopDownDibHeader(BITMAPINFOHEADER* header, int32_t width, int32_t height)
{
    *header = BITMAPINFOHEADER{};
    header->biSize = sizeof *header;
    header->biWidth = width;
    header->biHeight = -height;
    header->biPlanes = 1;
    header->biBitCount = 32;
    header->biCompression = BI_RGB;
}
