#include "color.h"

#include <cmath>

// Truncation toward zero to a signed 32-bit integer, with the x86 rule for
// values that do not fit: NaN and magnitudes of 2^31 or more give INT32_MIN.
// A plain cast would be undefined behaviour there.
static int32_t TruncToInt32(float x)
{
    if (!(std::fabs(x) < 2147483648.0f))
        return INT32_MIN;
    return static_cast<int32_t>(x);
}

static uint32_t LowByte(float x)
{
    return static_cast<uint32_t>(TruncToInt32(x)) & 0xFFu;
}

uint32_t HsvToColor(float h, float s, float v)
{
    const int32_t i = TruncToInt32(h / 60.0f);
    const float f = static_cast<float>(static_cast<double>(h) / 60.0 - static_cast<double>(i));
    const float V = v * 255.0f;
    const float p = (1.0f - s) * V;
    const float q = (1.0f - f * s) * V;
    const float t = (1.0f - (1.0f - f) * s) * V;

    uint32_t b2, b1, b0;
    switch (i % 6) {  // truncating remainder: negative sectors fall to default
    case 0: b2 = LowByte(p); b1 = LowByte(t); b0 = LowByte(V); break;
    case 1: b2 = LowByte(p); b1 = LowByte(V); b0 = LowByte(q); break;
    case 2: b2 = LowByte(t); b1 = LowByte(V); b0 = LowByte(p); break;
    case 3: b2 = LowByte(V); b1 = LowByte(q); b0 = LowByte(p); break;
    case 4: b2 = LowByte(V); b1 = LowByte(p); b0 = LowByte(t); break;
    default: b2 = LowByte(q); b1 = LowByte(p); b0 = LowByte(V); break;
    }
    return (b2 << 16) | (b1 << 8) | b0;
}
