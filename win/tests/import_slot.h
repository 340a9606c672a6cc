// Import slots for the Windows-side tests. The code under test calls the
// system through the slots of this program's own import table, so pointing a
// slot at a recorder shows those calls (the system's DLLs keep their own).
#pragma once
#include <windows.h>

// The slot's symbol, for an extern declaration's asm label. The 32-bit names
// carry the C prefix and the stdcall argument size in bytes.
#ifdef _WIN64
#define IMPORT_SLOT(function, argumentBytes) "__imp_" #function
#else
#define IMPORT_SLOT(function, argumentBytes) "__imp__" #function "@" #argumentBytes
#endif

// The slots sit in a read-only section once the loader has filled them.
template <typename Function>
void SetSlot(Function* slot, Function target)
{
    DWORD protection;
    VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &protection);
    *slot = target;
    VirtualProtect(slot, sizeof *slot, protection, &protection);
}

// While it lives, calls through the slot go to the hook, and *real holds what
// the slot called before, for the hook to pass the calls on to.
template <typename Function>
struct SlotHook {
    Function* slot;
    Function saved;
    SlotHook(Function* hooked, Function hook, Function* real) : slot(hooked), saved(*hooked)
    {
        *real = saved;
        SetSlot(slot, hook);
    }
    SlotHook(const SlotHook&) = delete;
    SlotHook& operator=(const SlotHook&) = delete;
    ~SlotHook() { SetSlot(slot, saved); }
};
