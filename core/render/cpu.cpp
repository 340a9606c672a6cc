#include "render/cpu.h"

#include <cpuid.h>

CpuRegisters ReadCpuRegisters()
{
    CpuRegisters registers = {};
    unsigned eax, ebx, ecx, edx;
    registers.maxLeaf = __get_cpuid_max(0, nullptr);
    if (registers.maxLeaf >= 1) {
        __cpuid(1, eax, ebx, ecx, edx);
        registers.leaf1Ecx = ecx;
        registers.leaf1Edx = edx;
    }
    if (registers.maxLeaf >= 7) {
        __cpuid_count(7, 0, eax, ebx, ecx, edx);
        registers.leaf7Ebx = ebx;
    }
    if (registers.leaf1Ecx & bit_OSXSAVE) {
        unsigned high;
        __asm__ volatile("xgetbv" : "=a"(registers.xcr0), "=d"(high) : "c"(0));
    }
    return registers;
}

unsigned CpuFeatures(const CpuRegisters& registers)
{
    if (registers.maxLeaf < 1)
        return 0;
    unsigned features = 0;
    if (registers.leaf1Edx & bit_SSE2)
        features |= kCpuSse2;
    // AVX needs the OS to save the ymm (and for AVX-512 the zmm and mask)
    // registers on a context switch, which XCR0 reports.
    if (!(registers.leaf1Ecx & bit_OSXSAVE) || !(registers.leaf1Ecx & bit_AVX) || registers.maxLeaf < 7)
        return features;
    const bool osSavesYmm = (registers.xcr0 & 0x06) == 0x06;                // SSE and AVX state
    const bool osSavesZmm = osSavesYmm && (registers.xcr0 & 0xE0) == 0xE0;  // opmask, zmm0-15 high, zmm16-31
    if (osSavesYmm && (registers.leaf7Ebx & bit_AVX2))
        features |= kCpuAvx2;
    if (osSavesZmm && (registers.leaf7Ebx & bit_AVX512F))
        features |= kCpuAvx512f;
    return features;
}
