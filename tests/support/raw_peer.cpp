#include "raw_peer.h"

#include <arpa/inet.h>
#include <enet/protocol.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <cstring>

#include "net/links/address_gate.h"
#include "net/trust/trust.h"

namespace orvel::testing {

namespace net = dx8::net;
namespace msg = dx8::net::msg;

namespace {

// The peer whose host is being serviced on this thread: ENet's intercept hook has no user data.
thread_local RawPeer* serving = nullptr;

}  // namespace

RawPeer::RawPeer(size_t peerSlots, const char* ip) {
    enet_initialize();
    ENetAddress at;
    enet_address_set_host_ip(&at, ip);
    at.port = ENET_PORT_ANY;
    host_ = enet_host_create(&at, peerSlots, net::kChannelCount, 0, 0);
    if (host_ != nullptr) {
        host_->intercept = &RawPeer::intercept;
    }
}

RawPeer::~RawPeer() {
    if (host_ != nullptr) {
        enet_host_destroy(host_);
    }
    enet_deinitialize();
}

int RawPeer::intercept(ENetHost* host, ENetEvent*) {
    const auto c = dx8::decodeCookie(host->receivedData, host->receivedDataLength);
    if (!c) {
        return 0;
    }
    if (serving != nullptr && serving->dialing_ != nullptr &&
        serving->dialing_->connectID == c->connectId) {
        (c->proveOnLink ? serving->proof_ : serving->cookie_) = c->cookie;
    }
    return 1;
}

int RawPeer::service(ENetEvent* e, int ms) {
    RawPeer* const outer = serving;
    serving = this;
    const int r = enet_host_service(host_, e, static_cast<enet_uint32>(ms));
    serving = outer;
    return r;
}

ENetPeer* RawPeer::connect(uint16_t port, int ms) {
    if (host_ == nullptr) {
        return nullptr;
    }
    ENetAddress to;
    enet_address_set_host_ip(&to, "127.0.0.1");
    to.port = port;
    dialing_ = enet_host_connect(host_, &to, net::kChannelCount,
                                 dial == Dial::Cookie ? 0 : dx8::kProveOnLink);
    cookie_ = proof_ = 0;
    ENetPeer* up = nullptr;
    serveUntil(
        [&](const ENetEvent& e, const auto&) {
            if (cookie_ != 0 && dialing_ != nullptr) {
                enet_peer_reset(dialing_);
                dialing_ = enet_host_connect(host_, &to, net::kChannelCount, cookie_);
                cookie_ = 0;
            }
            if (e.type == ENET_EVENT_TYPE_CONNECT && e.peer == dialing_) {
                up = dialing_;
            }
            return up != nullptr;
        },
        ms);
    dialing_ = nullptr;
    if (up != nullptr && proof_ != 0 && dial == Dial::AtOnce) {
        send(up, msg::AddressProof{proof_});
    } else if (up != nullptr && proof_ != 0 && dial == Dial::AtOnceProofLate) {
        proofAfterMessage_ = up;
    }
    return up;
}

void RawPeer::send(ENetPeer* to, uint8_t channel, const QByteArray& data, bool reliable) {
    ENetPacket* packet = enet_packet_create(data.constData(), static_cast<size_t>(data.size()),
                                            reliable ? ENET_PACKET_FLAG_RELIABLE : 0);
    if (to == nullptr || enet_peer_send(to, channel, packet) < 0) {
        enet_packet_destroy(packet);
        return;
    }
    enet_host_flush(host_);
}

void RawPeer::send(ENetPeer* to, const net::ControlMessage& m) {
    send(to, net::kChannelControl, net::encodeControl(m), true);
    if (to != nullptr && to == std::exchange(proofAfterMessage_, nullptr)) {
        send(to, msg::AddressProof{proof_});
    }
}

bool RawPeer::serveUntil(const Done& done, int ms) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms) {
        ENetEvent e{};
        const int r = service(&e, 10);
        std::optional<net::ControlMessage> m;
        if (r > 0 && e.type == ENET_EVENT_TYPE_RECEIVE) {
            if (e.channelID == net::kChannelControl) {
                m = net::decodeControl(e.packet->data, e.packet->dataLength);
            }
            enet_packet_destroy(e.packet);
            const auto* added = m ? std::get_if<msg::PlayerAdded>(&*m) : nullptr;
            if (added != nullptr && e.peer == host) {
                send(host, net::addedAck(added->playerId));
            }
        }
        if (done(e, m)) {
            return true;
        }
    }
    return false;
}

bool RawPeer::join(uint16_t port, const QString& name, bool relayed) {
    host = connect(port);
    if (host == nullptr) {
        return false;
    }
    send(host, net::joinRequest({}, {}, name));
    const auto accept = await<msg::JoinAccept>(host);
    if (!accept) {
        return false;
    }
    hostId = accept->hostId;
    selfId = accept->playerId;
    msg::JoinReady ready;
    for (const net::PlayerEntry& e : accept->players) {
        if (e.id == accept->hostId) {
            continue;
        }
        if (relayed) {
            ready.relayed.push_back(e.id);
            continue;
        }
        ENetPeer* p = connect(e.port);
        if (p == nullptr) {
            return false;
        }
        send(p, net::meshHello(accept->playerId,
                               dx8::pairProof(e.token, dx8::ProofOf::Hello, accept->playerId)));
        if (!await<msg::MeshAck>(p)) {
            return false;
        }
        players[e.name] = {p, e.id};
        ready.linked.push_back(e.id);
    }
    send(host, ready);
    return await<msg::JoinDone>(host).has_value();
}

// ---- A stranger ---------------------------------------------------------------------------------

namespace {

// The peer slot an ENet datagram's VERIFY_CONNECT gives its reader at the sender.
std::optional<uint16_t> verifiedSlot(const uint8_t* d, size_t size) {
    const uint16_t word = size >= 2 ? static_cast<uint16_t>(d[0] << 8 | d[1]) : 0;
    size_t at = (word & ENET_PROTOCOL_HEADER_FLAG_SENT_TIME) != 0 ? 4 : 2;
    while ((word & ENET_PROTOCOL_HEADER_FLAG_COMPRESSED) == 0 && at < size) {
        const uint8_t command = d[at] & ENET_PROTOCOL_COMMAND_MASK;
        const size_t length = enet_protocol_command_size(command);
        if (length == 0 || at + length > size) {
            break;
        }
        if (command == ENET_PROTOCOL_COMMAND_VERIFY_CONNECT) {
            ENetProtocolVerifyConnect v;
            std::memcpy(&v, d + at, sizeof v);
            return ntohs(v.outgoingPeerID);
        }
        at += length;
    }
    return std::nullopt;
}

}  // namespace

QByteArray connectDatagram(uint32_t connectId, uint32_t data) {
    struct {
        ENetProtocolHeader header;
        ENetProtocolConnect connect;
    } __attribute__((packed)) d{};
    d.header.peerID = htons(static_cast<uint16_t>(ENET_PROTOCOL_MAXIMUM_PEER_ID) |
                            static_cast<uint16_t>(ENET_PROTOCOL_HEADER_FLAG_SENT_TIME));
    d.header.sentTime = htons(1);
    d.connect.header.command = static_cast<uint8_t>(ENET_PROTOCOL_COMMAND_CONNECT) |
                               static_cast<uint8_t>(ENET_PROTOCOL_COMMAND_FLAG_ACKNOWLEDGE);
    d.connect.header.channelID = 0xFF;
    d.connect.header.reliableSequenceNumber = htons(1);
    d.connect.incomingSessionID = 0xFF;
    d.connect.outgoingSessionID = 0xFF;
    d.connect.mtu = htonl(1392);
    d.connect.windowSize = htonl(ENET_PROTOCOL_MAXIMUM_WINDOW_SIZE);
    d.connect.channelCount = htonl(net::kChannelCount);
    d.connect.packetThrottleInterval = htonl(5000);
    d.connect.packetThrottleAcceleration = htonl(2);
    d.connect.packetThrottleDeceleration = htonl(2);
    d.connect.connectID = connectId;
    d.connect.data = htonl(data);
    return QByteArray(reinterpret_cast<const char*>(&d), sizeof d);
}

RawStranger::RawStranger(const char* ip, int ports) {
    ip_ = inet_addr(ip);
    for (int i = 0; i < ports; ++i) {
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = ip_;
        if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0) {
            sockets_.push_back(fd);
        } else if (fd >= 0) {
            ::close(fd);
        }
    }
}

RawStranger::~RawStranger() {
    for (int fd : sockets_) {
        ::close(fd);
    }
}

void RawStranger::sendConnect(uint16_t to, uint32_t cookie, int from, uint32_t connectId) {
    send(to,
         connectDatagram(connectId != 0 ? connectId : QRandomGenerator::global()->generate() | 1,
                         cookie),
         from);
}

void RawStranger::sendOnLink(uint16_t to, int from) {
    if (slot) {
        const uint16_t header[2] = {
            htons(static_cast<uint16_t>(*slot | ENET_PROTOCOL_HEADER_FLAG_SENT_TIME)), htons(2)};
        send(to, QByteArray(reinterpret_cast<const char*>(header), sizeof header), from);
    }
}

void RawStranger::send(uint16_t to, const QByteArray& d, int from) {
    if (from >= static_cast<int>(sockets_.size())) {
        return;
    }
    sockaddr_in dest{};
    dest.sin_family = AF_INET;
    dest.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    dest.sin_port = htons(to);
    if (::sendto(sockets_[from], d.constData(), static_cast<size_t>(d.size()), 0,
                 reinterpret_cast<sockaddr*>(&dest), sizeof dest) == d.size()) {
        bytesOut += static_cast<size_t>(d.size());
    }
}

bool RawStranger::receiveOne(int fromPort, int waitMs, QByteArray* out) {
    std::vector<pollfd> fds;
    for (int fd : sockets_) {
        fds.push_back({fd, POLLIN, 0});
    }
    if (::poll(fds.data(), fds.size(), waitMs) <= 0) {
        return false;
    }
    for (size_t i = 0; i < fds.size(); ++i) {
        char buffer[4096];
        const ssize_t n =
            (fds[i].revents & POLLIN) ? ::recv(fds[i].fd, buffer, sizeof buffer, 0) : -1;
        if (n < 0) {
            continue;
        }
        bytesIn += static_cast<size_t>(n);
        ++datagramsIn;
        if (const auto given =
                verifiedSlot(reinterpret_cast<const uint8_t*>(buffer), static_cast<size_t>(n))) {
            slot = given;
        }
        if (out != nullptr && static_cast<int>(i) == fromPort) {
            *out = QByteArray(buffer, n);
        }
    }
    return true;
}

uint32_t RawStranger::fetchCookie(uint16_t to, int from, int ms) {
    sendConnect(to, 0, from);
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms) {
        QByteArray got;
        receiveOne(from, 10, &got);
        const auto c = dx8::decodeCookie(reinterpret_cast<const uint8_t*>(got.constData()),
                                         static_cast<size_t>(got.size()));
        if (c) {
            return c->cookie;
        }
    }
    return 0;
}

void RawStranger::drain(int ms) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms) {
        receiveOne(-1, 10, nullptr);
    }
}

}  // namespace orvel::testing
