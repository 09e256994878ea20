#include "NetNs.h"

#include <gtest/gtest.h>

// Live tests run in a network namespace of their own, entered before any thread starts.
int main(int argc, char** argv) {
    orvektest::EnterPrivateNetns();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
