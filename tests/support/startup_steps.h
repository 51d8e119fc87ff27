#pragma once
// The steps of a start-up and a shutdown, in their order, as the start-up category reports them.

#include <QString>
#include <QStringList>

namespace orvel::testing {

inline const QStringList kCreateOrder = {
    "create dxRoot",        "create dpPeer",       "create diInput",      "create diKeyboard",
    "create keyboardEvent", "acquired diKeyboard", "create connectWizard"};
inline const QStringList kReleaseOrder = {
    "unregister handler",    "unload wizard",      "close dpPeer",
    "release keyboardEvent", "release diKeyboard", "release diInput",
    "release dpPeer",        "release dxRoot",     "release connectWizard"};

// The steps that are among wanted, in the order they came.
inline QStringList only(const QStringList& steps, const QStringList& wanted) {
    QStringList out;
    for (const QString& s : steps) {
        if (wanted.contains(s)) {
            out << s;
        }
    }
    return out;
}

}  // namespace orvel::testing
