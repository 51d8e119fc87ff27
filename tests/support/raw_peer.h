#pragma once

// Session traffic below the session's own rules, for tests on loopback: a player on raw ENet that
// says whatever the test makes it say, and a stranger that sends bare ENet CONNECTs and counts
// every byte that comes back.

#include <enet/enet.h>

#include <QByteArray>
#include <QString>
#include <functional>
#include <map>
#include <optional>
#include <vector>

#include "net/session/session_protocol.h"

namespace orvel::testing {

// A player on raw ENet at a loopback address. It links to a session as older ones do (a CONNECT,
// then one with the cookie it is answered) or asks to be answered at once, and confirms the
// players its host adds while it serves.
class RawPeer {
public:
    explicit RawPeer(size_t peerSlots = 8, const char* ip = "127.0.0.1");
    ~RawPeer();
    RawPeer(const RawPeer&) = delete;
    RawPeer& operator=(const RawPeer&) = delete;

    // How connect() dials: for a cookie first, or answered at once and sending the cookie back
    // over the link first thing, after its first message, or never.
    enum class Dial { Cookie, AtOnce, AtOnceProofLate, AtOnceNoProof };
    Dial dial = Dial::Cookie;
    size_t bytesOut() const { return host_ != nullptr ? host_->totalSentData : 0; }
    size_t bytesIn() const { return host_ != nullptr ? host_->totalReceivedData : 0; }

    // A link to the session port on loopback, or nullptr when none came up within ms.
    ENetPeer* connect(uint16_t port, int ms = 20000);
    void send(ENetPeer* to, uint8_t channel, const QByteArray& data, bool reliable = true);
    void send(ENetPeer* to, const dx8::net::ControlMessage& m);

    using Done =
        std::function<bool(const ENetEvent& e, const std::optional<dx8::net::ControlMessage>& m)>;
    // Serves the links until done holds for an event (with its control message, if it is one)
    // or the time is up.
    bool serveUntil(const Done& done, int ms);
    void serve(int ms) {
        serveUntil([](const auto&, const auto&) { return false; }, ms);
    }
    // A control message of this kind from this link.
    template <typename T>
    std::optional<T> await(ENetPeer* from, int ms = 20000) {
        std::optional<T> got;
        serveUntil(
            [&](const ENetEvent& e, const auto& m) {
                if (e.peer == from && e.channelID == dx8::net::kChannelControl && m &&
                    std::holds_alternative<T>(*m)) {
                    got = std::get<T>(*m);
                }
                return got.has_value();
            },
            ms);
        return got;
    }

    // The join by the book: to the host, then to every player it lists (or to none, the host
    // relaying for all of them), then ready; false on any failure.
    bool join(uint16_t port, const QString& name, bool relayed = false);

    ENetPeer* host = nullptr;
    uint32_t hostId = 0;
    uint32_t selfId = 0;
    struct Linked {
        ENetPeer* peer = nullptr;
        uint32_t id = 0;
    };
    std::map<QString, Linked> players;

private:
    int service(ENetEvent* e, int ms);
    static int intercept(ENetHost* host, ENetEvent* e);

    ENetHost* host_ = nullptr;
    ENetPeer* dialing_ = nullptr;
    uint32_t cookie_ = 0;  // the answer to dialing_'s CONNECT
    uint32_t proof_ = 0;   // the cookie to send back over dialing_'s link
    ENetPeer* proofAfterMessage_ = nullptr;
};

// The datagram ENet's enet_host_connect sends, with our connect ID and data field.
QByteArray connectDatagram(uint32_t connectId, uint32_t data);

// A stranger at a loopback address that sends bare CONNECTs from one or more ports, and ENet's
// header alone on a link it is answered with, and never acknowledges anything; it counts the
// bytes it sent and those that came back.
class RawStranger {
public:
    explicit RawStranger(const char* ip, int ports = 1);
    ~RawStranger();
    RawStranger(const RawStranger&) = delete;
    RawStranger& operator=(const RawStranger&) = delete;

    // A CONNECT to the port from our port number `from`, carrying this cookie, with this connect
    // ID (0: a new one).
    void sendConnect(uint16_t to, uint32_t cookie, int from = 0, uint32_t connectId = 0);
    // ENet's header alone, naming the peer slot the session's last answer gave us (if any).
    void sendOnLink(uint16_t to, int from = 0);
    // The cookie the session at `to` answers a CONNECT from our port `from` with (0: none).
    uint32_t fetchCookie(uint16_t to, int from, int ms);
    // Takes in what comes back for ms.
    void drain(int ms);

    size_t bytesOut = 0;
    size_t bytesIn = 0;
    int datagramsIn = 0;
    std::optional<uint16_t> slot;  // ours at the session, from its last VERIFY_CONNECT

private:
    void send(uint16_t to, const QByteArray& d, int from);
    bool receiveOne(int fromPort, int waitMs, QByteArray* out);

    uint32_t ip_ = 0;
    std::vector<int> sockets_;
};

}  // namespace orvel::testing
