// Frame presentation: copies the FrameBuffer's words into the window.
#include "window.h"

#include <windows.h>

// A 32-bit device bitmap takes the words raw and shows bits 16-23 as red, 8-15
// as green and 0-7 as blue (so the colour conversion's red, in bits 0-7,
// appears as blue: the program's colours). A bitmap of any other depth would
// misread raw words, so they go in as a top-down 32-bit DIB, which shows them
// the same way, and GDI converts them to the bitmap's format.
static void CopyWords(HDC hdc, HBITMAP bitmap, int32_t width, int32_t height)
{
    BITMAP format = {};
    GetObjectA(bitmap, sizeof format, &format);
    if (format.bmBitsPixel == 32) {
        SetBitmapBits(bitmap, static_cast<DWORD>(static_cast<int64_t>(width) * height * 4), windowState.pixels);
        return;
    }
    BITMAPINFO info = {};
    TopDownDibHeader(&info.bmiHeader, width, height);
    SetDIBits(hdc, bitmap, 0, static_cast<UINT>(height), windowState.pixels, &info, DIB_RGB_COLORS);
}

void PaintFrame(HDC hdc, int32_t width, int32_t height)
{
    HBITMAP bitmap = CreateCompatibleBitmap(hdc, width, height);
    CopyWords(hdc, bitmap, width, height);
    HDC memDC = CreateCompatibleDC(hdc);
    HGDIOBJ old = SelectObject(memDC, bitmap);
    StretchBlt(hdc, 0, 0, windowState.clientWidth, windowState.clientHeight, memDC, 0, 0, width, height, SRCCOPY);
    SelectObject(memDC, old);
    DeleteDC(memDC);
    DeleteObject(bitmap);
}
