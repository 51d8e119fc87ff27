#pragma once

// What a meeting point keeps and how it answers, apart from its sockets: the caller feeds it
// each datagram with the socket it came on, and it sends through an Outbox. Time comes in with
// every call, so that the rules can be driven by any clock.
//
// Rules:
// - A request that does not decode gets nothing. One without a valid cookie gets a Retry with
//   one, smaller than any request, so that nobody can use us to send a third party more than
//   it would have sent itself.
// - Requests from one IPv4 address are rate-limited, lookups more tightly still, so that codes
//   cannot be enumerated; past the limit the address is told once, then ignored.
// - A host holds one session per address and port; an address holds a bounded number.
// - Relays are offered only between a session's host and the joiners that looked it up, or two
//   such joiners, and each side opens its relay from its own address with its own token.

#include <QByteArray>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "budget.h"
#include "keys.h"
#include "net/paths/meet_protocol.h"
#include "relay_table.h"

namespace orvel::meet {

enum Socket : int { kMainSocket = 0, kProbeSocket = 1, kFirstRelaySocket = 2 };

class Outbox {
public:
    virtual ~Outbox() = default;
    virtual void send(int socket, const char* data, size_t size, Endpoint to) = 0;
};

class MeetServer {
public:
    struct Config {
        int64_t sessionTimeoutMs = 35000;  // a host that sends no keepalive this long is gone
        size_t maxSessions = 100000;
        uint32_t relayIp = 0;  // what RelayReady names; 0: the address the client reached
        std::vector<uint16_t> relayPorts;
        RelayTable::Limits relay;  // its ports: as many as relayPorts
    };

    static constexpr int kSessionsPerAddress = 32;  // carrier-grade NATs put many behind one
    static constexpr double kRequestRate = 20, kRequestBurst = 40;
    static constexpr double kLookupRate = 0.2, kLookupBurst = 10;
    static constexpr double kRetryRate = 50000, kRetryBurst = 5000;  // all addresses together
    static constexpr size_t kMaxAddresses = 1 << 18;
    static constexpr size_t kMaxJoinersKept = 16;
    static constexpr int kProbes = 3;

    MeetServer(Config config, Keys& keys, Outbox& out);

    void receive(int socket, const uint8_t* data, size_t size, Endpoint from, int64_t nowMs);
    // Probes, expiry and the relay's idle pairs; call it about every 250 ms.
    void sweep(int64_t nowMs);

    size_t sessions() const { return sessions_.size(); }
    size_t relays() const { return relay_.pairs(); }

private:
    struct Session {
        Code code;
        uint64_t salt = 0;
        uint64_t nonce = 0;  // of the registration that made it (a resend gets the same answer)
        uint32_t epoch = 0;
        Endpoint host;
        int64_t seenMs = 0;
        QString name;
        std::vector<Endpoint> lan;
        std::vector<std::pair<Endpoint, int64_t>> joiners;  // looked it up, last at
        int probesLeft = 0;
    };
    struct Allowance {
        Budget requests;
        Budget lookups;
        int sessions = 0;
        bool toldRequests = false;
        bool toldLookups = false;
    };
    struct Hash {
        size_t operator()(uint64_t v) const {
            return std::hash<uint64_t>()(v * 0x9E3779B97F4A7C15ull);
        }
    };
    static uint64_t key(Endpoint e) { return (uint64_t{e.ip} << 16) | e.port; }

    void request(int socket, const Message& m, Endpoint from, int64_t nowMs);
    void claim(Endpoint from, uint64_t nonce, const Reclaim* reclaim, const QString& name,
               const std::vector<Endpoint>& lan, int64_t nowMs);
    void keepalive(Endpoint from, const Keepalive& k, int64_t nowMs);
    void unregister(Endpoint from, const Unregister& u);
    void lookup(Endpoint from, Code code, Allowance& a, int64_t nowMs);
    void relayAsk(Endpoint from, const RelayAsk& r, int64_t nowMs);
    void relayOpen(int socket, Endpoint from, const RelayOpen& r, int64_t nowMs);

    Session* hostedWith(Code code, const Secret& secret, uint32_t epoch);
    void moveHost(Session& s, Endpoint to);
    void drop(uint64_t code);
    // The allowance of an address, made when create and there is room; nothing otherwise.
    Allowance* allowance(uint32_t ip, bool create = true);
    void answer(int socket, Endpoint to, const Message& m);
    void fail(int socket, Endpoint to, uint8_t about, Code code, Problem problem);
    void registered(const Session& s);

    Config config_;
    Keys& keys_;
    Outbox& out_;
    RelayTable relay_;
    Budget retries_;
    std::unordered_map<uint64_t, Session, Hash> sessions_;   // by code
    std::unordered_map<uint64_t, uint64_t, Hash> hostedAt_;  // host's address -> code
    std::unordered_map<uint32_t, Allowance> allowances_;     // by IPv4 address
    std::vector<uint64_t> probing_;
    int64_t nextExpiryMs_ = 0;
    int64_t nextAllowanceSweepMs_ = 0;
};

}  // namespace orvel::meet
