#define DOCTEST_CONFIG_IMPLEMENT
#include <doctest/doctest.h>

#include <cstdio>
#include <cstring>
#include <ctime>

// A run in random order without a seed of its own takes a new seed each time
// and prints it, so that a failing order can be run again.
int main(int argc, char** argv)
{
    doctest::Context context;
    bool random = false, seeded = false;
    for (int i = 1; i < argc; ++i) {
        random = random || std::strcmp(argv[i], "--order-by=rand") == 0;
        seeded = seeded || std::strncmp(argv[i], "--rand-seed=", 12) == 0;
    }
    if (random && !seeded) {
        const int seed = static_cast<int>(std::time(nullptr) % 1000000);
        std::printf("[doctest] random order; to repeat it: --order-by=rand --rand-seed=%d\n", seed);
        std::fflush(stdout);
        context.setOption("rand-seed", seed);
    }
    context.applyCommandLine(argc, argv);
    return context.run();
}
