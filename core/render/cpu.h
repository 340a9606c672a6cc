// What the processor and the operating system offer the render paths. The
// decision is a pure function of the registers that CPUID and XGETBV report,
// so that it can be tested for processors and systems other than this one.
#pragma once
#include <cstdint>

enum CpuFeature : unsigned {
    kCpuSse2 = 1u << 0,
    kCpuAvx2 = 1u << 1,     // with the ymm registers saved by the OS
    kCpuAvx512f = 1u << 2,  // with the zmm and mask registers saved by the OS
};

// The register values the decision reads. A leaf past maxLeaf, or XCR0
// without OSXSAVE, is not read: such fields may hold anything.
struct CpuRegisters {
    uint32_t maxLeaf;             // CPUID leaf 0, EAX (0 also without CPUID at all)
    uint32_t leaf1Ecx, leaf1Edx;  // CPUID leaf 1
    uint32_t leaf7Ebx;            // CPUID leaf 7, subleaf 0
    uint32_t xcr0;                // XGETBV 0, low half: the state the OS saves
};

// This processor's registers.
CpuRegisters ReadCpuRegisters();

// The CpuFeature bits the registers report.
unsigned CpuFeatures(const CpuRegisters& registers);
