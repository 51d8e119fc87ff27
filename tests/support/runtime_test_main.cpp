// Tests whose programs meet through sockets in the runtime folder get a folder of each test only.
#include <gtest/gtest.h>

#include <QCoreApplication>

#include "runtime_per_test.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    orvel::testing::giveEachTestItsRuntimeFolder();
    return RUN_ALL_TESTS();
}
