// The number of helper threads for the system's processor count.
#include "helper_count.h"

#include <doctest/doctest.h>

TEST_CASE("one helper for every processor but the window thread's, and none when the count fails")
{
    CHECK(HelperCount(0) == 0);  // the system's failure value
    CHECK(HelperCount(1) == 0);
    CHECK(HelperCount(2) == 1);
    CHECK(HelperCount(64) == 63);
    CHECK(HelperCount(UINT32_MAX) == UINT32_MAX - 1);
}
