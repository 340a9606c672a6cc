#pragma once

#include <cstdlib>

// Whether this test program runs under an emulator, which the runners
// (scripts/run32, the Wine driver under qemu) say in MANDELBROT_EMULATED.
// There the longest cases run a shorter form: an emulator is 20 to 60 times
// slower, and the same code is proven in full on the native runs.
inline bool Emulated()
{
    return std::getenv("MANDELBROT_EMULATED") != nullptr;
}
