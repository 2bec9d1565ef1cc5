// Entry of the tests that run the built tool or the real keyring: they refuse to start
// outside the throw-away world of scripts/private-session.
#include "run_tool.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    privateHome();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
