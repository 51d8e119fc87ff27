#pragma once

// The address a search or connect asks the player for when it has none: ORVEL_ENUM_ADDRESS
// answers when set; otherwise a dialog asks (in a program with windows).

#include <QStringList>

#include "net/paths/session_address_source.h"

namespace orvel {

constexpr int kRecentHostsKept = 8;

// The hosts the dialog offers next time: the one typed first, no repeats, at most
// kRecentHostsKept. Blank (a search of the local network) is not a host.
QStringList rememberHost(QStringList recent, const QString& typed);
// Puts a host where a session answered at the top of the offers (a host that never answered
// is not offered again).
void rememberAnsweredHost(const QString& typed);

class SessionAddressDialog : public dx8::EnvironmentAddressSource {
public:
    std::optional<QString> askForAddress() override;
};

}  // namespace orvel
