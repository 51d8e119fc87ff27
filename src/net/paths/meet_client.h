#pragma once

// A player's side of the meeting point, over a socket that the caller owns: it is given a
// function that sends a datagram and is fed the datagrams that arrive. Orvel runs it over its
// session socket, so that a host registers from the port its players reach (the same mapping on
// its router). It resends what goes unanswered, keeps a registration alive, answers the meeting
// point's cookie, opens relays, and tells the owner what happened through Events.
//
// Callbacks run on the caller's thread, from receive() or the client's own timer; they may call
// the client again.

#include <QElapsedTimer>
#include <QTimer>
#include <functional>
#include <optional>
#include <vector>

#include "net/paths/meet_protocol.h"

namespace orvel::meet {

class MeetClient {
public:
    using Send = std::function<void(const QByteArray& datagram, Endpoint to)>;

    struct Registration {
        Code code;
        Secret secret{};  // share it with the players: whoever hosts next reclaims the code
        uint32_t epoch = 0;
        Endpoint seenAt;  // the host's public address
    };
    struct HostAddresses {
        Code code;
        Endpoint seenAt;
        QString name;
        std::vector<Endpoint> lan;
    };
    enum class Request : uint8_t { Register, Keepalive, Lookup, Relay };
    struct Events {
        std::function<void(const Registration&)> registered;
        // Once after each registration: whether datagrams from an address the host never sent to
        // reach its port (false: joiners must be introduced, and both sides send at once).
        std::function<void(bool reachableUnasked)> reachability;
        // Host: a joiner at this public address looked the code up; send toward it.
        std::function<void(Endpoint joiner)> peerArrived;
        std::function<void(const HostAddresses&)> found;
        // Both sides have opened the relay: reach peer at relay from now on.
        std::function<void(Endpoint peer, Endpoint relay)> relayed;
        // code: the request's; peer: the other side, for a relay.
        std::function<void(Request request, Problem problem, Code code, Endpoint peer)> failed;
    };

    // First resend after this; each next one waits twice as long, up to a second.
    static constexpr int kResendMs = 250;
    static constexpr int kGiveUpMs = 5000;
    static constexpr int kRelayOpenGiveUpMs = 10000;
    static constexpr int kReachabilityWaitMs = 1500;

    MeetClient(Endpoint server, Send send, Events events);
    MeetClient(const MeetClient&) = delete;
    MeetClient& operator=(const MeetClient&) = delete;

    // Takes a datagram that arrived at the socket. True when it was a meet datagram (the caller
    // drops it then), whether or not it was expected.
    bool receive(const uint8_t* data, size_t size, Endpoint from);

    void registerSession(const QString& name, std::vector<Endpoint> lan);
    void reclaimSession(Code code, const Secret& secret, const QString& name,
                        std::vector<Endpoint> lan);
    // Forgets the registration here and at the meeting point (no answer is awaited).
    void unregisterSession();
    const std::optional<Registration>& registration() const { return registration_; }

    void lookup(Code code);
    // A relay to peer (its public address), one of the session's players.
    void requestRelay(Code code, Endpoint peer);

private:
    struct Pending {
        uint8_t kind = 0;
        Endpoint to{};
        Code code{};
        Endpoint peer{};
        uint64_t token = 0;
        qint64 startMs = 0;
        qint64 dueMs = 0;
        int sent = 0;
        int retries = 0;  // Retry answers taken for it, bounded against a forger
    };

    qint64 now() const { return clock_.elapsed(); }
    void beginRegistration(const QString& name, std::vector<Endpoint> lan);
    void start(Pending p);
    void transmit(Pending& p);
    Message build(const Pending& p) const;
    void handle(const Message& m, Endpoint from);
    void onRegistered(const Registered& r);
    void onFailure(const Failure& f, Endpoint from);
    void onRelayReady(const RelayReady& r);
    // Removes the pending requests that match; true when there was one.
    bool settle(const std::function<bool(const Pending&)>& match);
    bool hasPending(const std::function<bool(const Pending&)>& match) const;
    void poll();
    void schedule();
    uint64_t& cookieFor(Endpoint to);

    Endpoint server_;
    Send send_;
    Events events_;
    QElapsedTimer clock_;
    QTimer timer_;
    std::vector<Pending> pending_;
    std::vector<std::pair<Endpoint, uint64_t>> cookies_;

    // The host's side.
    QString name_;
    std::vector<Endpoint> lan_;
    uint64_t nonce_ = 0;
    std::optional<std::pair<Code, Secret>> claim_;  // set while reclaiming
    std::optional<Registration> registration_;
    qint64 keepaliveDueMs_ = 0;
    int keepaliveMs_ = 0;
    bool probed_ = false;
    std::optional<qint64> reachabilityDueMs_;
};

}  // namespace orvel::meet
