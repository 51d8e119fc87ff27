#include "net/links/address_gate.h"

#include <enet/enet.h>

#include <QMessageAuthenticationCode>
#include <QRandomGenerator>
#include <QtEndian>
#include <cstring>

#include "common/same_secret.h"

namespace dx8 {

namespace {

// A cookie is good for one to two windows: long enough for a CONNECT that ENet resends for
// seconds, short enough that an address once reachable does not stay admitted.
constexpr qint64 kCookieWindowMs = 16000;
// Answers per source IP: a burst for several players behind one router, then a few a second.
constexpr double kAnswerRate = 8, kAnswerBurst = 16;
constexpr int kMaxGivenCookies = 256;

constexpr char kCookieMagic[4] = {'O', 'R', 'V', 'K'};
constexpr char kProofMagic[4] = {'O', 'R', 'V', 'P'};

uint64_t keyOf(Endpoint e) {
    return (static_cast<uint64_t>(e.ipv4) << 16) | e.port;
}

}  // namespace

AddressGate::AddressGate() : secret_(32, '\0'), answers_(kAnswerRate, kAnswerBurst) {
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(secret_.data()),
                                          secret_.size() / 4);
}

uint32_t AddressGate::cookieIn(Endpoint from, qint64 window) const {
    uchar message[14];
    qToBigEndian(from.ipv4, message);
    qToBigEndian(from.port, message + 4);
    qToBigEndian(static_cast<quint64>(window), message + 6);
    const QByteArray mac = QMessageAuthenticationCode::hash(
        QByteArray::fromRawData(reinterpret_cast<const char*>(message), sizeof message), secret_,
        QCryptographicHash::Sha256);
    const uint32_t cookie = qFromBigEndian<quint32>(mac.constData());
    return cookie <= kProveOnLink ? cookie + kProveOnLink + 1 : cookie;
}

uint32_t AddressGate::cookieFor(Endpoint from, qint64 now) const {
    return cookieIn(from, now / kCookieWindowMs);
}

bool AddressGate::admits(Endpoint from, uint32_t cookie, qint64 now) const {
    const qint64 window = now / kCookieWindowMs;
    return cookie > kProveOnLink && (orvel::sameSecret(cookie, cookieIn(from, window)) ||
                                     orvel::sameSecret(cookie, cookieIn(from, window - 1)));
}

void AddressGate::keep(Endpoint from, uint32_t cookie, qint64 now) {
    if (given_.size() >= kMaxGivenCookies) {
        given_.removeIf([now](const auto& it) { return now - it.value().at >= kCookieWindowMs; });
        if (given_.size() >= kMaxGivenCookies) {
            given_.clear();
        }
    }
    given_.insert(keyOf(from), Given{cookie, now});
}

uint32_t AddressGate::dialData(Endpoint at, qint64 now) const {
    const auto it = given_.constFind(keyOf(at));
    return it != given_.constEnd() && now - it->at < kCookieWindowMs ? it->cookie : kProveOnLink;
}

uint32_t peerNamedIn(const uint8_t* data, size_t size) {
    if (size < 2) {
        return ENET_PROTOCOL_MAXIMUM_PEER_ID + 1;
    }
    const uint16_t word = qFromBigEndian<quint16>(data);
    return word & ~(ENET_PROTOCOL_HEADER_FLAG_MASK | ENET_PROTOCOL_HEADER_SESSION_MASK);
}

std::optional<Opening> openingIn(const uint8_t* data, size_t size) {
    if (peerNamedIn(data, size) != ENET_PROTOCOL_MAXIMUM_PEER_ID) {
        return std::nullopt;
    }
    const uint16_t word = qFromBigEndian<quint16>(data);
    Opening opening;
    const size_t header = (word & ENET_PROTOCOL_HEADER_FLAG_SENT_TIME) != 0
                              ? sizeof(ENetProtocolHeader)
                              : offsetof(ENetProtocolHeader, sentTime);
    ENetProtocolConnect connect;
    if ((word & ENET_PROTOCOL_HEADER_FLAG_COMPRESSED) != 0 || size < header + sizeof connect) {
        return opening;
    }
    std::memcpy(&connect, data + header, sizeof connect);
    if ((connect.header.command & ENET_PROTOCOL_COMMAND_MASK) != ENET_PROTOCOL_COMMAND_CONNECT) {
        return opening;
    }
    opening.connect = true;
    opening.connectId = connect.connectID;
    opening.cookie = qFromBigEndian(connect.data);
    return opening;
}

QByteArray encodeCookie(const CookieDatagram& c) {
    QByteArray out(c.proveOnLink ? kProofMagic : kCookieMagic, sizeof kCookieMagic);
    out.append(reinterpret_cast<const char*>(&c.connectId), 4);
    uchar cookie[4];
    qToBigEndian(c.cookie, cookie);
    out.append(reinterpret_cast<const char*>(cookie), 4);
    return out;
}

std::optional<CookieDatagram> decodeCookie(const uint8_t* data, size_t size) {
    if (size != kCookieDatagramSize) {
        return std::nullopt;
    }
    CookieDatagram c;
    c.proveOnLink = std::memcmp(data, kProofMagic, sizeof kProofMagic) == 0;
    if (!c.proveOnLink && std::memcmp(data, kCookieMagic, sizeof kCookieMagic) != 0) {
        return std::nullopt;
    }
    std::memcpy(&c.connectId, data + 4, 4);
    c.cookie = qFromBigEndian<quint32>(data + 8);
    return c;
}

}  // namespace dx8
