// The store, the tools and /tmp that these tests change must be a simulated device's, never the host's.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv)
{
    if (!std::getenv("KORVALT_SIM_DEVICE")) {
        std::fprintf(stderr, "%s runs only on a simulated device: sim/korvalt-sim DEVICE WORK -- %s\n", argv[0],
                     argv[0]);
        return 2;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
