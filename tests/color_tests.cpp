#include "color.h"

#include <doctest/doctest.h>

#include <cmath>
#include <limits>

TEST_CASE("the six sectors at full saturation and value")
{
    CHECK(HsvToColor(0, 1, 1) == 0x000000FFu);
    CHECK(HsvToColor(60, 1, 1) == 0x0000FFFFu);
    CHECK(HsvToColor(120, 1, 1) == 0x0000FF00u);
    CHECK(HsvToColor(180, 1, 1) == 0x00FFFF00u);
    CHECK(HsvToColor(240, 1, 1) == 0x00FF0000u);
    CHECK(HsvToColor(300, 1, 1) == 0x00FF00FFu);
    CHECK(HsvToColor(360, 1, 1) == 0x000000FFu);  // sector 6 wraps to 0
    CHECK(HsvToColor(30, 0.5f, 1) == 0x007FBFFFu);  // 127.5 and 191.25 truncate
}

TEST_CASE("zero value is black whatever the hue and saturation")
{
    CHECK(HsvToColor(1, 128, 0) == 0u);
    CHECK(HsvToColor(200, 0.3f, 0) == 0u);
    CHECK(HsvToColor(-61, 5, 0) == 0u);
}

TEST_CASE("channels outside 0..255 wrap modulo 256 instead of clamping")
{
    CHECK(HsvToColor(1, 0, 1) == 0x00FFFFFFu);
    CHECK(HsvToColor(1, 1, 1) == 0x000004FFu);
    CHECK(HsvToColor(1, 2, 1) == 0x00010AFFu);  // p = -255 -> 1, t = -246.5 -> -246 -> 10
    CHECK(HsvToColor(1, 3, 1) == 0x00020FFFu);
    CHECK(HsvToColor(1, 127, 1) == 0x007E9AFFu);
    for (int n = 1; n < 128; ++n) {
        const uint32_t word = HsvToColor(1, static_cast<float>(n), 1);
        CHECK((word & 0xFFu) == 0xFFu);
        CHECK((word >> 16) == static_cast<uint32_t>(n - 1));
    }
    // Value above 1: V = 510 -> 254.
    CHECK((HsvToColor(0, 0, 2) & 0xFFu) == 0xFEu);
}

TEST_CASE("NaN and huge channels have a zero byte")
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    CHECK(HsvToColor(0, 1, nan) == 0u);
    CHECK(HsvToColor(0, 1, inf) == 0u);
    CHECK(HsvToColor(0, 1, 1e30f) == 0u);
    // Saturation 1e30: p, q and t are huge and negative, V is 255.
    CHECK(HsvToColor(0, 1e30f, 1) == 0x000000FFu);
    // V = 255 * 8421504 = 2^31 - 128 still converts (low byte 0x80); the next
    // value rounds to 2^31 + 128, which does not.
    CHECK(HsvToColor(0, 0, 8421504.0f) == 0x00808080u);
    CHECK(HsvToColor(0, 0, 8421505.0f) == 0u);
}

TEST_CASE("negative sectors take the last row")
{
    CHECK(HsvToColor(-61, 1, 1) == 0x000300FFu);    // i = -1, q = 259.25 -> 3
    CHECK(HsvToColor(-1, 1, 1) == 0x0000FCFFu);     // i = 0 with a negative f
    CHECK(HsvToColor(-360, 1, 1) == 0x000000FFu);   // remainder 0: first row
    CHECK(HsvToColor(-121, 1, 1) == 0x000300FFu);   // i = -2, also the last row
    // NaN hue: i = INT32_MIN, remainder -2, last row (q p V) with NaN q.
    CHECK(HsvToColor(std::nanf(""), 1, 1) == 0x000000FFu);
    CHECK(HsvToColor(std::nanf(""), 0.5f, 1) == 0x00007FFFu);
    // Hues too large for the sector number behave like NaN.
    CHECK(HsvToColor(1e12f, 0.5f, 1) == 0x00007FFFu);
}
