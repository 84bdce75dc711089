// The Windows tests: googletest, or a helper process when started with --child.
#include <gtest/gtest.h>

#include <cstring>

#include "support.h"

int main(int argc, char **argv) {
    if (argc > 1 && std::strcmp(argv[1], "--child") == 0) return wtest::ChildMain();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
