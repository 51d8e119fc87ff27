#include "net/paths/address_text.h"

#include "common/command_line.h"

#include <QHostAddress>
#include <QHostInfo>

namespace dx8 {

QString guidText(const QUuid& id) {
    return id.toString(QUuid::WithBraces).toUpper();
}
QUuid parseGuid(const QString& text) {
    return QUuid::fromString(QStringView(text).trimmed());
}

QString hostUrl(uint32_t ip, uint16_t port) {
    return hostUrl(QHostAddress(ip).toString(), port);
}

QString hostUrl(const QString& host, uint16_t port) {
    DirectPlay8Address a;
    a.SetSP(DP8SP_TCPIP);
    a.AddComponentString(DPNA_KEY_HOSTNAME, host);
    if (port != 0) {
        a.AddComponentLong(DPNA_KEY_PORT, port);
    }
    return a.GetURL();
}

QString deviceUrl() {
    DirectPlay8Address a;
    a.SetSP(DP8SP_TCPIP);
    return a.GetURL();
}

bool providerOk(const DirectPlay8Address* a) {
    if (a == nullptr) {
        return true;
    }
    const QString sp = a->GetSP();
    return sp.isEmpty() || parseGuid(sp) == parseGuid(DP8SP_TCPIP);
}

std::optional<uint32_t> resolveIpv4(const QString& host) {
    QHostAddress address;
    if (address.setAddress(host)) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol) {
            return address.toIPv4Address();
        }
        return std::nullopt;
    }
    const QHostInfo info = QHostInfo::fromName(host);
    for (const QHostAddress& a : info.addresses()) {
        if (a.protocol() == QAbstractSocket::IPv4Protocol) {
            return a.toIPv4Address();
        }
    }
    return std::nullopt;
}

// "host", "host:port"; the port is 0 when none is given, -1 when it is malformed.
std::pair<QString, int> splitHostPort(const QString& text) {
    if (const auto a = orvel::cli::parseHostPort(text, 0, nullptr, true)) {
        return {a->host, a->port};
    }
    return {QString(), -1};
}

std::optional<int> portOf(const DirectPlay8Address* a) {
    if (a == nullptr || !a->HasComponent(DPNA_KEY_PORT)) {
        return std::nullopt;
    }
    bool ok = false;
    const int port = a->GetComponentString(DPNA_KEY_PORT).toInt(&ok);
    if (!ok || port < 1 || port > 65535) {
        return std::nullopt;
    }
    return port;
}

QString hostnameOf(const DirectPlay8Address* a) {
    if (a == nullptr || !a->HasComponent(DPNA_KEY_HOSTNAME)) {
        return {};
    }
    return a->GetComponentString(DPNA_KEY_HOSTNAME).trimmed();
}

}  // namespace dx8
