// Colour conversion: hue/saturation/value to a packed pixel word.
//
// The pixel word, which every part of the program passes on unchanged: three
// 8-bit channels in bits 0-7, 8-15 and 16-23, bits 24-31 zero. HsvToColor puts
// the conversion's red in bits 0-7 and its blue in bits 16-23, while whatever
// shows a word (the window's and the screen saver's bitmaps, the frame tool's
// PNG) reads bits 16-23 as red and 0-7 as blue, as a Windows DIB does. So the
// conversion's red is shown as blue and its blue as red: that exchange is the
// design, and the picture's colours are these words as shown.
#pragma once
#include <cstdint>

// Six-sector HSV to RGB in single precision. Channels are truncated to
// integers and only their low 8 bits kept (no clamping): the conversion's red
// in bits 0-7, green in 8-15, blue in 16-23, bits 24-31 zero (shown with red
// and blue exchanged, as said above).
uint32_t HsvToColor(float h, float s, float v);
