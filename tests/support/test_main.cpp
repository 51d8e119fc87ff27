// The main of tests without windows: an event loop for sockets and timers, session searches kept
// on loopback, and a runtime folder of each test's own.
#include <gtest/gtest.h>

#include <QCoreApplication>

#include "runtime_per_test.h"

int main(int argc, char** argv) {
    qputenv("ORVEL_DISCOVERY", "loopback");
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    orvel::testing::giveEachTestItsRuntimeFolder();
    return RUN_ALL_TESTS();
}
