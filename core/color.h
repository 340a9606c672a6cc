// Colour conversion: hue/saturation/value to a packed pixel word.
#pragma once
#include <cstdint>

// Six-sector HSV to RGB in single precision. Channels are truncated to
// integers and only their low 8 bits kept (no clamping): red in bits 0-7,
// green in 8-15, blue in 16-23, bits 24-31 zero.
uint32_t HsvToColor(float h, float s, float v);
