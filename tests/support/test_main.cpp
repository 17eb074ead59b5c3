#include <gtest/gtest.h>

#include "orchel/corvlog.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Tests read the log through capturing sinks; no test writes the default log file.
    gCORVLog->SetLogFile(nullptr);
    return RUN_ALL_TESTS();
}
