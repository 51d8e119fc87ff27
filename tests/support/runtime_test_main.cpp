// Tests whose programs meet through sockets in the runtime folder get a folder of this run only.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTemporaryDir>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    // Created for the owner alone, as the programs require of their socket folder.
    QTemporaryDir runtime;
    if (!runtime.isValid()) {
        return 2;
    }
    qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
