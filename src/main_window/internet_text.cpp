#include "main_window/internet_text.h"

#include <QHostAddress>
#include <QStringList>

namespace orvel {

QString internetJoinText(net::PortMapper::State state, const std::optional<net::Mapping>& mapping,
                         uint16_t port, uint32_t lanIpv4) {
    if (state == net::PortMapper::State::Mapped && mapping) {
        return QStringLiteral("Players on the internet can join you at %1")
            .arg(mapping->publicEndpoint());
    }
    if (state != net::PortMapper::State::Failed || port == 0) {
        return {};
    }
    const QString to =
        lanIpv4 != 0 ? QHostAddress(lanIpv4).toString() : QStringLiteral("this computer");
    return QStringLiteral(
               "The router did not open the port: forward UDP port %1 to %2 for players on the "
               "internet to join you")
        .arg(port)
        .arg(to);
}

QString rosterEntryText(const QString& name, int rttMs, bool relayed, bool noGame) {
    QStringList marks;
    if (noGame) {
        marks << QStringLiteral("no game");
    }
    if (rttMs >= 0) {
        marks << QStringLiteral("%1 ms").arg(rttMs);
    }
    if (relayed) {
        marks << QStringLiteral("relayed");
    }
    return marks.isEmpty() ? name
                           : QStringLiteral("%1 (%2)").arg(name, marks.join(QStringLiteral(", ")));
}

}  // namespace orvel
