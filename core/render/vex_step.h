// The arithmetic of one step for the hand-allocated 32-bit steps, in the
// three-operand VEX/EVEX form that AVX2 and AVX-512 share: the same text
// serves 256- and 512-bit operands. Operands: zr and zi in registers (updated),
// cr and ci in memory, t1 and t2 temporaries; it leaves |z|^2 in t1. The
// operations and their order are the generic step's, so the bits are too.
#pragma once

#define VEX_Z_STEP                                                    \
    "vmulps %[zr], %[zr], %[t1]\n\t"   /* zr^2 */                     \
    "vmulps %[zi], %[zi], %[t2]\n\t"   /* zi^2 */                     \
    "vaddps %[zr], %[zr], %[zr]\n\t"   /* 2 zr */                     \
    "vmulps %[zr], %[zi], %[zi]\n\t"                                  \
    "vaddps %[ci], %[zi], %[zi]\n\t"   /* zi * 2 zr + ci */           \
    "vsubps %[t2], %[t1], %[zr]\n\t"                                  \
    "vaddps %[cr], %[zr], %[zr]\n\t"   /* (zr^2 - zi^2) + cr */       \
    "vaddps %[t2], %[t1], %[t1]\n\t"   /* |z|^2 */
