#pragma once

// Address and identifier text as the session reads and writes it.

#include <QString>
#include <QUuid>
#include <optional>
#include <utility>

#include "platform/dx8/directplay8.h"

namespace dx8 {

QString guidText(const QUuid& id);
QUuid parseGuid(const QString& text);
// "x-directplay:/" URLs of a TCP/IP host address and of the (unspecified) local device.
QString hostUrl(uint32_t ip, uint16_t port);
// The same for a host name or a session code (no port component when port is 0).
QString hostUrl(const QString& host, uint16_t port);
QString deviceUrl();
// True for no address, or one of the TCP/IP provider (or with none named).
bool providerOk(const DirectPlay8Address* a);
std::optional<uint32_t> resolveIpv4(const QString& host);
// "host", "host:port"; the port is 0 when none is given, -1 when it is malformed.
std::pair<QString, int> splitHostPort(const QString& text);
std::optional<int> portOf(const DirectPlay8Address* a);
QString hostnameOf(const DirectPlay8Address* a);

}  // namespace dx8
