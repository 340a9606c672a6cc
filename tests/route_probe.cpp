// Prints the name the kernel gives this process: its own when it runs
// natively, the emulator's when qemu-i386 runs it.
#include <cstdio>

int main()
{
    char name[64] = "";
    FILE* comm = std::fopen("/proc/self/comm", "r");
    if (!comm || !std::fgets(name, sizeof name, comm))
        return 1;
    std::fputs(name, stdout);
    return 0;
}
