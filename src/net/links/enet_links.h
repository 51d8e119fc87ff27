#pragma once

// The link table over ENet: one ENet host per session, its socket watched with a
// QSocketNotifier, and a single-shot timer that wakes ENet when it next has something to do (a
// resend, a ping, a timeout) or a deadline of the session falls due. Strangers pass the address
// gate before ENet gives them a peer slot (address_gate.h); a link's id is ours, its ENet peer
// may change while it connects (once more with the cookie it is answered).

#include <QElapsedTimer>
#include <QObject>
#include <functional>
#include <unordered_map>
#include <vector>

#include "net/links/address_gate.h"
#include "net/links/link_table.h"

struct _ENetHost;
struct _ENetPeer;
struct _ENetEvent;
class QSocketNotifier;
class QTimer;

namespace dx8 {

// What the links report to the session that owns them.
class LinkListener {
public:
    virtual ~LinkListener() = default;
    // Whether someone new may connect now.
    virtual bool takesVisitors() const = 0;
    // A link we asked for is up.
    virtual void linkUp(LinkId link, Link& state) = 0;
    // A link is gone; it has left the table already.
    virtual void linkDown(LinkId link, const Link& state) = 0;
    virtual void dataArrived(LinkId link, const Link& state, const QByteArray& data) = 0;
    // Data for or from a player reached through the host; guaranteed as its sender sent it.
    virtual void relayArrived(LinkId link, const Link& state, const QByteArray& packet,
                              bool guaranteed) {
        Q_UNUSED(link);
        Q_UNUSED(state);
        Q_UNUSED(packet);
        Q_UNUSED(guaranteed);
    }
    virtual void controlArrived(LinkId link, const net::ControlMessage& m) = 0;
    // A discovery query at the session port: the answer to send back, if any.
    virtual std::optional<QByteArray> queryArrived(const uint8_t* data, size_t size, uint32_t ip,
                                                   uint16_t port) = 0;
    // A datagram of the meeting point's at the session port.
    virtual void meetArrived(const uint8_t* data, size_t size, Endpoint from) {
        Q_UNUSED(data);
        Q_UNUSED(size);
        Q_UNUSED(from);
    }
    virtual void deadlinesDue() = 0;
    // The earliest deadline of the session's own (0 = none), on the session clock.
    virtual qint64 earliestDeadline() const = 0;
};

class EnetLinks : public QObject, public LinkTable {
    Q_OBJECT
public:
    EnetLinks(LinkListener& listener, const QElapsedTimer& clock, QObject* parent = nullptr);
    ~EnetLinks() override;

    // Binds the first free port from firstPort (through the session range when it starts
    // there), or any port when allowed.
    bool open(uint32_t bindIp, int firstPort, bool anyPortFallback);
    void close();
    bool isOpen() const { return enet_ != nullptr; }
    // Ends every link: with goodbyes that are given a moment to go out, or at once.
    void closeAll(bool flushGoodbyes);

    void send(LinkId link, const net::ControlMessage& m) override;
    LinkId connectTo(uint32_t ipv4, uint16_t port) override;
    Endpoint endpointOf(LinkId link) const override;
    uint16_t localPort() const override;
    void flush() override;
    void punch(uint32_t ipv4, uint16_t port) override;
    void sendDatagram(Endpoint to, const QByteArray& bytes) override;
    bool redirect(LinkId link, Endpoint to) override;
    bool sendData(const std::vector<LinkId>& links, const QByteArray& data, int32_t flags,
                  uint8_t channel = net::kChannelData) override;
    // Wakes ENet as soon as anything of ours or its falls due.
    void scheduleService();

    WireStats wireStats() const;

    qint64 silentMs(LinkId link) const override;
    int roundTripMs(LinkId link) const override;

protected:
    void closeNow(LinkId link) override;
    void forget(LinkId link) override;

private:
    _ENetPeer* peer(LinkId link) const;
    LinkId idOf(_ENetPeer* peer) const;
    void adopt(LinkId link, _ENetPeer* peer, uint32_t cookie = 0);
    void release(LinkId link);
    qint64 now() const { return clock_.elapsed(); }
    void pump();
    // A packet on a link of ours.
    void received(LinkId link, uint8_t channel, const QByteArray& data);
    // Keeps ENet's resend gaps short, so that a link back from an outage is heard at once.
    void capResends();
    void onReadable();
    void onTick();
    qint64 msUntilServiceDue() const;
    void retireLinksAt(_ENetPeer* fresh);
    void handleConnect(_ENetPeer* peer);
    // Someone new is up and has shown its address: a link that says who it is next.
    void welcome(_ENetPeer* peer);
    void handleDisconnect(_ENetPeer* peer);
    // Links from this IP (every IP when 0) that have not said who they are yet, ENet's half-open
    // handshakes included.
    int pendingFrom(uint32_t ip) const;
    // Whether a datagram that names no peer of ours may go on to ENet.
    bool admit(const Opening& opening, Endpoint from, size_t size);
    void cookieArrived(const CookieDatagram& c, Endpoint from);
    // Connects again, with the cookie, where one arrived for a link on its way.
    void redial();
    // Our cookie back over a link we opened, where the other side asked for it.
    void sendProof(LinkId link);

    // A stranger let in without a cookie, until it has sent it back over the link.
    struct Unproven {
        _ENetPeer* peer = nullptr;  // once ENet has made it
        Endpoint from;
        uint32_t connectId = 0;
        qint64 since = 0;
        int answers = 1;  // ENet's answers it may have had, within three times what it sent
        size_t bytesIn = 0;
        qint64 cookieSent = 0;
        std::vector<std::pair<uint8_t, QByteArray>> held;  // what it sent before its proof
        qsizetype heldBytes = 0;
    };
    Unproven* unprovenAt(Endpoint from, uint32_t connectId);
    Unproven* unprovenOf(const _ENetPeer* peer);
    // A new one, under the limits: it gets its slot, and our cookie goes to it.
    bool letInAtOnce(const Opening& opening, Endpoint from, size_t size, qint64 now);
    void askForProof(const Unproven& u, qint64 now);
    // A datagram of its: what it may have lost of ours goes again, within what it sent.
    void unprovenSpoke(Unproven& u, size_t size);
    // Holds ENet's resends to strangers that have not shown their address, and gives up on those
    // that took too long.
    void holdUnproven();
    void heardUnproven(_ENetPeer* peer, uint8_t channel, const QByteArray& data);
    void forgetUnproven(const _ENetPeer* peer);
    // A link we opened has this ENet peer now, whose CONNECT carried this cookie.
    void dialed(LinkId link, _ENetPeer* peer, uint32_t cookie);
    static EnetLinks* of(_ENetHost* host);
    static int intercept(_ENetHost* host, _ENetEvent* event);

    LinkListener& listener_;
    const QElapsedTimer& clock_;
    _ENetHost* enet_ = nullptr;
    QSocketNotifier* notifier_ = nullptr;
    QTimer* ticker_ = nullptr;
    qint64 tickDue_ = 0;  // when the timer is set to fire, on clock_
    // Sizes of received datagrams up to 255 bytes, for wireStats().
    std::vector<uint32_t> receivedSizes_ = std::vector<uint32_t>(256, 0);
    AddressGate gate_;
    LinkId nextId_ = 1;
    struct Ours {
        _ENetPeer* peer = nullptr;
        uint32_t cookie = 0;  // what our CONNECT carried, on a link we opened
        uint32_t proof = 0;   // the cookie to send back once up (0: none asked)
        bool proofSent = false;
    };
    std::unordered_map<LinkId, Ours> peers_;
    std::unordered_map<_ENetPeer*, LinkId> ids_;
    struct Redial {
        LinkId link = 0;
        uint32_t connectId = 0;  // of the CONNECT the cookie is for
        uint32_t cookie = 0;
    };
    std::vector<Redial> redials_;
    std::vector<Unproven> unproven_;
};

}  // namespace dx8
