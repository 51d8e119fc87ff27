// The main of tests without windows: an event loop for sockets and timers, and session searches
// kept on loopback.
#include <gtest/gtest.h>

#include <QCoreApplication>

int main(int argc, char** argv) {
    qputenv("ORVEL_DISCOVERY", "loopback");
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
