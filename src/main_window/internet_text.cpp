#include "main_window/internet_text.h"

#include <QHostAddress>
#include <QStringList>

namespace orvel {

namespace {

bool within(uint32_t ip, uint32_t network, int bits) {
    return (ip >> (32 - bits)) == (network >> (32 - bits));
}

QString lanText(uint32_t lanIpv4) {
    return lanIpv4 != 0 ? QHostAddress(lanIpv4).toString() : QStringLiteral("this computer");
}

// A mapping whose outside address the internet cannot reach: what stands in the way, and what
// the player can do about it.
QString behindSecondRouter(const net::Mapping& m, OutsideAddress kind, bool hosting) {
    QString text;
    switch (kind) {
        case OutsideAddress::Shared:
            text = QStringLiteral(
                       "Behind your provider's router (carrier-grade NAT): your router opened "
                       "UDP port %1, but its outside address %2 is shared.")
                       .arg(m.externalPort)
                       .arg(m.externalAddress);
            return text + (hosting ? QStringLiteral(" Ask your provider for a public address, or "
                                                    "let another player host.")
                                   : QStringLiteral(" Players who cannot reach you go through "
                                                    "the host."));
        case OutsideAddress::Unspecified:
            text = QStringLiteral(
                       "Behind a second router: your router opened UDP port %1 but knows no "
                       "outside address.")
                       .arg(m.externalPort);
            break;
        default:
            text = QStringLiteral(
                       "Behind a second router: your router opened UDP port %1, but its outside "
                       "address %2 is private.")
                       .arg(m.externalPort)
                       .arg(m.externalAddress);
            break;
    }
    const QString to = kind == OutsideAddress::Private
                           ? QStringLiteral(" to %1").arg(m.externalAddress)
                           : QString();
    return text + (hosting ? QStringLiteral(" Forward UDP port %1 on the outer router%2 too, or "
                                            "let another player host.")
                                 .arg(m.externalPort)
                                 .arg(to)
                           : QStringLiteral(" Players who cannot reach you go through the host."));
}

QString hostText(const Reach& r) {
    using State = net::PortMapper::State;
    if (r.state == State::Mapped && r.mapping) {
        const OutsideAddress kind = outsideAddressKind(r.mapping->externalAddress);
        if (kind != OutsideAddress::Public) {
            return behindSecondRouter(*r.mapping, kind, true);
        }
        const QString here = r.mapping->externalPort == r.port
                                 ? QString()
                                 : QStringLiteral(" (UDP port %1 on this computer)").arg(r.port);
        return QStringLiteral("Players on the internet can join you at %1%2")
            .arg(r.mapping->publicEndpoint(), here);
    }
    switch (r.state) {
        case State::Failed:
            return QStringLiteral(
                       "The router did not open the port: forward UDP port %1 to %2 for players "
                       "on the internet to join you")
                .arg(r.port)
                .arg(lanText(r.lanIpv4));
        case State::Trying:
            return QStringLiteral(
                       "Hosting on UDP port %1; asking the router to open it for players on the "
                       "internet...")
                .arg(r.port);
        default:
            return QStringLiteral(
                       "Hosting on UDP port %1; players on your network join you at "
                       "%2:%1.")
                .arg(r.port)
                .arg(lanText(r.lanIpv4));
    }
}

QString joinerText(const Reach& r) {
    if (r.state == net::PortMapper::State::Mapped && r.mapping) {
        const OutsideAddress kind = outsideAddressKind(r.mapping->externalAddress);
        if (kind == OutsideAddress::Public) {
            return QStringLiteral(
                       "Your address on the internet: %1 (your router forwards it to UDP port %2 "
                       "here).")
                .arg(r.mapping->publicEndpoint())
                .arg(r.port);
        }
        if (r.observed.ipv4 == 0 || outsideAddressKind(r.observed.ipv4) != OutsideAddress::Public) {
            return behindSecondRouter(*r.mapping, kind, false);
        }
    }
    if (r.observed.ipv4 != 0 && outsideAddressKind(r.observed.ipv4) == OutsideAddress::Public) {
        return QStringLiteral("Your address on the internet: %1:%2, as the host sees you.")
            .arg(QHostAddress(r.observed.ipv4).toString())
            .arg(r.observed.port);
    }
    return {};
}

}  // namespace

OutsideAddress outsideAddressKind(uint32_t ip) {
    if (ip == 0) {
        return OutsideAddress::Unspecified;
    }
    if (within(ip, 0x64400000u, 10)) {
        return OutsideAddress::Shared;
    }
    if (within(ip, 0x0A000000u, 8) || within(ip, 0xAC100000u, 12) || within(ip, 0xC0A80000u, 16) ||
        within(ip, 0x7F000000u, 8) || within(ip, 0xA9FE0000u, 16)) {
        return OutsideAddress::Private;
    }
    return OutsideAddress::Public;
}

OutsideAddress outsideAddressKind(const QString& address) {
    bool ok = false;
    const uint32_t ip = QHostAddress(address.trimmed()).toIPv4Address(&ok);
    return ok ? outsideAddressKind(ip) : OutsideAddress::Unspecified;
}

QString reachabilityText(const Reach& reach) {
    if (reach.port == 0) {
        return {};
    }
    if (reach.hosting && !reach.code.isEmpty()) {
        // In place of the router's story: whatever it is, friends come in through the code.
        return QStringLiteral("Friends can join with code %1 (%2).")
            .arg(reach.code, reach.codeUnasked
                                 ? QStringLiteral("they come straight in")
                                 : QStringLiteral("the meeting point introduces them"));
    }
    return reach.hosting ? hostText(reach) : joinerText(reach);
}

QString sessionText(const QString& sessionName, bool hosting, const QString& hostName) {
    const QString who = hosting              ? QStringLiteral("you are the host")
                        : hostName.isEmpty() ? QString()
                                             : QStringLiteral("%1 is the host").arg(hostName);
    if (sessionName.isEmpty()) {
        return who.isEmpty() ? QString() : who.at(0).toUpper() + who.mid(1) + QLatin1Char('.');
    }
    return who.isEmpty() ? QStringLiteral("Session \"%1\".").arg(sessionName)
                         : QStringLiteral("Session \"%1\": %2.").arg(sessionName, who);
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
