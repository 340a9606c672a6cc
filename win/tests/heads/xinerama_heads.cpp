// A stand-in for libXinerama.so.1 that Wine loads by name (found first through
// LD_LIBRARY_PATH): it reports the monitors that MANDELBROT_HEADS lists, as
// "WxH+X+Y,WxH+X+Y", on one X screen as large as all of them. Xvfb's own
// Xinerama puts every head at (0, 0); this lets the Wine checks place
// monitors of different sizes side by side, as a desk has them.
#include <cstdio>
#include <cstdlib>

namespace {

// The record libXinerama returns, as its header lays it out.
struct ScreenInfo {
    int screen_number;
    short x_org;
    short y_org;
    short width;
    short height;
};

constexpr int kMaxHeads = 16;

}  // namespace

extern "C" {

int XineramaQueryExtension(void*, int* event_base, int* error_base)
{
    *event_base = 0;
    *error_base = 0;
    return 1;
}

int XineramaIsActive(void*)
{
    return 1;
}

// The caller frees the array with XFree, which is free().
ScreenInfo* XineramaQueryScreens(void*, int* count)
{
    *count = 0;
    const char* heads = getenv("MANDELBROT_HEADS");
    if (!heads)
        return nullptr;
    ScreenInfo* screens = static_cast<ScreenInfo*>(calloc(kMaxHeads, sizeof(ScreenInfo)));
    if (!screens)
        return nullptr;
    int w, h, x, y, used;
    while (*count < kMaxHeads && sscanf(heads, "%dx%d+%d+%d%n", &w, &h, &x, &y, &used) == 4) {
        screens[*count] = {*count, static_cast<short>(x), static_cast<short>(y), static_cast<short>(w),
                           static_cast<short>(h)};
        ++*count;
        heads += used;
        if (*heads != ',')
            break;
        ++heads;
    }
    return screens;
}

}  // extern "C"
