#include "support/TestPlatform.h"

#include <gtest/gtest.h>

// GoogleTest's own main, except that the tests this system cannot run are never listed or run.
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    std::string filter = GTEST_FLAG_GET(filter);
    if (!testplatform::leftOutTests().empty()) {
        filter += filter.find('-') == std::string::npos ? "-" : ":";
        for (const auto& [name, reason] : testplatform::leftOutTests()) {
            filter += std::string(name) + ":";
        }
        GTEST_FLAG_SET(filter, filter);
    }
    return RUN_ALL_TESTS();
}
