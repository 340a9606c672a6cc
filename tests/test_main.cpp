#define DOCTEST_CONFIG_IMPLEMENT
#include <doctest/doctest.h>

#include <cstdio>
#include <cstring>
#include <ctime>

// Every test program runs its cases in a new random order each run, so that no
// case leans on what an earlier one left, and prints the seed, so that a
// failing order can be run again. --order-by and --rand-seed choose otherwise.
int main(int argc, char** argv)
{
    doctest::Context context;
    context.setOption("order-by", "rand");
    bool random = true, seeded = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--order-by=", 11) == 0)
            random = std::strcmp(argv[i] + 11, "rand") == 0;
        seeded = seeded || std::strncmp(argv[i], "--rand-seed=", 12) == 0;
    }
    if (random && !seeded) {
        const int seed = static_cast<int>(std::time(nullptr) % 1000000);
        std::printf("[doctest] random order; to repeat it: --rand-seed=%d\n", seed);
        std::fflush(stdout);
        context.setOption("rand-seed", seed);
    }
    context.applyCommandLine(argc, argv);
    return context.run();
}
