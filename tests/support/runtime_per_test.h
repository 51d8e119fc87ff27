// A private runtime folder for each test case: what one test's programs leave there (game claims,
// lobby sockets, restart records) never reaches the programs of the next.
#pragma once

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <memory>

namespace orvel::testing {

class RuntimeFolderPerTest : public ::testing::EmptyTestEventListener {
public:
    void OnTestStart(const ::testing::TestInfo&) override {
        // Created for the owner alone, as the programs require of their runtime folder.
        folder_ = std::make_unique<QTemporaryDir>();
        if (folder_->isValid()) {
            qputenv("XDG_RUNTIME_DIR", folder_->path().toLocal8Bit());
        }
    }

private:
    std::unique_ptr<QTemporaryDir> folder_;
};

// Call after InitGoogleTest; gtest owns the listener. What a suite starts before its first
// test gets a folder of this run's own: never the shared default, where another test program's
// killed players may have left restart records.
inline void giveEachTestItsRuntimeFolder() {
    static QTemporaryDir run;
    if (run.isValid()) {
        qputenv("XDG_RUNTIME_DIR", run.path().toLocal8Bit());
    }
    ::testing::UnitTest::GetInstance()->listeners().Append(new RuntimeFolderPerTest);
}

}  // namespace orvel::testing
