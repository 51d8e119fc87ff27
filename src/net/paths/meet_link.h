#pragma once

// The session's side of the meeting point (orvel-meet), over the session socket: a host
// registers its session there from the port its players reach, keeps it, and shares the code
// and its secret with the players so that whoever hosts next reclaims it; a host sends toward
// each joiner the meeting point announces (which opens its routers); a joiner by code reaches the
// host through the meeting point's relay when no link forms in a few seconds; and a pair of
// players the host would carry opens a relay of its own there, so that they stay linked when
// the host goes. With no meeting point set, none of this sends anything.

#include <QString>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "net/session/session_context.h"
#include "net/paths/meet_client.h"

namespace dx8 {

class Relay;

// A joiner by code asks for the relay when its link to the host has not come up by then.
constexpr int kMeetDirectWaitMs = 3000;
// A pair the host carries is paired at the meeting point once the host's own tries had their
// turn; again no sooner than kMeetPairRetryMs.
constexpr int kMeetPairAfterMs = 8000;
constexpr int kMeetPairRetryMs = 60000;
// Registration that failed is tried again after this.
constexpr int kMeetRetryMs = 30000;

class MeetLink {
public:
    MeetLink(SessionContext& session, Relay& relay);
    ~MeetLink();

    // The session code in what a player typed for a host, when a meeting point is set: eight
    // code symbols written with a dash or space, or without where no host has that name.
    static std::optional<orvel::meet::Code> codeIn(const QString& host);
    // The meeting point set, resolved; nothing when none is set or it has no address.
    static std::optional<orvel::meet::Endpoint> point();

    // A datagram of the meeting point's at the session port.
    void receive(const uint8_t* data, size_t size, Endpoint from);

    // The host's addresses under a code, or why there are none: asks the meeting point, and
    // `answer` gets what it says (within a few seconds, the client giving up by itself). False,
    // and nothing is asked, when no meeting point can be used.
    struct Found {
        std::optional<Endpoint> host;
        HRESULT failure = DPNERR_NORESPONSE;
    };
    bool lookup(orvel::meet::Code code, std::function<void(const Found&)> answer);
    // The answer to the lookup under way, if any, goes to nobody.
    void dropLookup() {
        answer_ = nullptr;
        failOnReset_ = false;
    }
    // Our join by code goes to the host at `host`.
    void joiningByCode(orvel::meet::Code code, Endpoint host);
    // The session's code and the meeting point that holds it, once we know them.
    struct SessionCode {
        orvel::meet::Code code;
        orvel::meet::Endpoint point;
    };
    std::optional<SessionCode> sessionCode() const;
    // Asks the meeting point `point` where the code's host is now, without waiting: `answer`
    // gets its address, or nothing. False, and nothing is sent, when `point` is not the meeting
    // point set.
    bool lookupFor(orvel::meet::Code code, orvel::meet::Endpoint point,
                   std::function<void(std::optional<Endpoint>)> answer);
    // Host: this player hears the code again (it came back, perhaps with nothing of it kept).
    void retell(DPNID id) { std::erase(told_, id); }

    // The host's word: MeetCode or MeetPair.
    void onHostWord(const net::ControlMessage& m);

    // We leave: the code goes unless the next host takes it over.
    void leaving();
    void checkDeadline(qint64 now);
    qint64 deadline() const { return pollAt_; }
    void reset();

    MeetStatus status() const;
    // How a player is reached, where the meeting point had a hand in it: through its relay,
    // or punched after its introduction.
    PathKind pathOf(const Player& p) const;

private:
    struct Shared {
        orvel::meet::Code code;
        orvel::meet::Secret secret{};
        orvel::meet::Endpoint point;
    };
    struct Pairing {
        net::PlayerEntry entry;  // token 0: the other links to us
        orvel::meet::Endpoint peer;
    };
    struct ByCode {
        orvel::meet::Code code;
        Endpoint host;
        qint64 relayAt = 0;
        bool asked = false;
    };

    bool ensureClient();
    void onCode(const net::msg::MeetCode& m);
    void onPair(const net::msg::MeetPair& m);
    void hostDuties(qint64 now);
    void pairRelayed(qint64 now);
    void joinDuties(qint64 now);
    void registered(const orvel::meet::MeetClient::Registration& r);
    void relayed(orvel::meet::Endpoint peer, orvel::meet::Endpoint relay);
    void failed(orvel::meet::MeetClient::Request request, orvel::meet::Problem problem);
    // Where the meeting point sees this player, as far as we know.
    std::optional<orvel::meet::Endpoint> meetAddressOf(const Player& p) const;
    void arrived(Endpoint at);
    void looked(std::optional<orvel::meet::MeetClient::HostAddresses> found);
    std::vector<orvel::meet::Endpoint> lanAddresses() const;
    // Host: the players who have not heard the code yet hear it with its secret.
    void tellCode();

    SessionContext& s_;
    Relay& relay_;
    std::unique_ptr<orvel::meet::MeetClient> client_;
    std::optional<orvel::meet::Endpoint> server_;
    qint64 resolvedAt_ = -1;
    qint64 pollAt_ = 0;

    std::optional<Shared> shared_;  // the session's code, ours or the host's word
    bool registering_ = false;
    qint64 retryAt_ = 0;
    std::optional<bool> reachable_;
    QString problem_;
    std::vector<DPNID> told_;  // players the host told the code

    std::optional<ByCode> byCode_;
    HRESULT lookupFailure_ = DPNERR_NORESPONSE;
    std::function<void(const Found&)> answer_;  // of the lookup under way
    bool failOnReset_ = false;                   // it is a join's, which waits for an answer

    // Where the meeting point sees those it introduced to us: joiners, or the host of a code.
    std::deque<Endpoint> arrivals_;
    std::deque<std::pair<Endpoint, orvel::meet::Endpoint>> relays_;  // relay -> peer
    std::vector<Pairing> pairings_;
    std::map<std::pair<DPNID, DPNID>, qint64> relayedSince_, pairedAt_;  // host only
};

}  // namespace dx8
