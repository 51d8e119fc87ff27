#pragma once
// Folders of a run or a case of its own for the programs a benchmark starts.

#include <QByteArray>
#include <QTemporaryDir>

namespace orvel::bench {

// A runtime folder and a settings folder for this process and whatever it starts while the
// object lives: what one run or case leaves there (restart records of killed players, claims,
// settings) never reaches the players of another, nor the user's own.
class PrivateFolders {
public:
    PrivateFolders() {
        if (dir_.isValid()) {
            qputenv("XDG_RUNTIME_DIR", dir_.path().toLocal8Bit());
            qputenv("XDG_CONFIG_HOME", (dir_.path() + QStringLiteral("/config")).toLocal8Bit());
        }
    }
    bool ok() const { return dir_.isValid(); }

private:
    QTemporaryDir dir_;  // made for the owner alone, as the programs require
};

}  // namespace orvel::bench
