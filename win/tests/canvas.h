// A memory DC drawing into a top-down DIB section, for the window tests to
// paint into and read back.
#pragma once
#include "shell.h"

#include <doctest/doctest.h>
#include <windows.h>

#include <cstdint>

// A memory DC drawing into a top-down DIB section of the given depth; 16 bits
// is 5-6-5 like a 16-bit display. Both are freed when it goes out of scope,
// also when a REQUIRE ends the case halfway.
struct Canvas {
    HDC dc;
    HBITMAP bitmap;
    void* bits;
    int width;

    Canvas(int canvasWidth, int height, int bitsPerPixel) : dc(CreateCompatibleDC(nullptr)), width(canvasWidth)
    {
        struct {
            BITMAPINFOHEADER header;
            DWORD masks[3];
        } info = {};
        TopDownDibHeader(&info.header, width, height);
        info.header.biBitCount = static_cast<WORD>(bitsPerPixel);
        info.header.biCompression = bitsPerPixel == 16 ? BI_BITFIELDS : BI_RGB;
        info.masks[0] = 0xF800;
        info.masks[1] = 0x07E0;
        info.masks[2] = 0x001F;
        bitmap = CreateDIBSection(dc, reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS, &bits, nullptr, 0);
        REQUIRE(bitmap);
        SelectObject(dc, bitmap);
        GdiFlush();
    }
    Canvas(const Canvas&) = delete;
    Canvas& operator=(const Canvas&) = delete;
    ~Canvas()
    {
        DeleteDC(dc);
        if (bitmap)
            DeleteObject(bitmap);
    }
};

// The word at (x, y) of a 32-bit canvas, without its unused top byte.
inline uint32_t CanvasWord(const Canvas& canvas, int x, int y)
{
    GdiFlush();
    return static_cast<const uint32_t*>(canvas.bits)[y * canvas.width + x] & 0xFFFFFF;
}

// What a 5-6-5 display keeps of a word that a 32-bit one shows with bits 16-23
// as red, 8-15 as green and 0-7 as blue.
inline uint16_t Word565(uint32_t w)
{
    return static_cast<uint16_t>(((w >> 19) & 0x1F) << 11 | ((w >> 10) & 0x3F) << 5 | ((w >> 3) & 0x1F));
}
