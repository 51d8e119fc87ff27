#pragma once

// Coming back after a drop. A player whose links all go dark at once is the one cut off: rather
// than end the session there, it joins it again by itself for up to a minute, as the player it
// was, at the addresses it knew: the host's first, then those next in line, since the others may
// have handed the host role on meanwhile (a player that is not the host tells it where the host
// is). When the first of them fails and the session has a code at the meeting point, it also
// asks there where the code's host is now, and tries that address the way a join by code goes
// (the host is told to punch toward us, the meeting point relays when no link forms); it proves
// itself there to each player it knew in turn, since the code names no player. Its roster
// stays as it was until it is back; then the players gone meanwhile are destroyed, the new ones
// created and a new host reported. A cut-off host never hosts on by itself: it comes back as a
// player of whoever took over. A program started again soon after it ended without leaving
// comes back the same way, from a ticket it wrote down.
//
// Who is who: each player holds a key of its own (return_key.h), whose public half the host
// keeps and tells everyone, so that whoever hosts next can check a return too. One coming back
// says which player it was, answers the challenge of the player it reached with its proof, and
// is given its old id by the host; its old place in the join order comes with the id.

#include <functional>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include "net/session/joiner.h"
#include "net/paths/meet_link.h"
#include "net/trust/return_key.h"
#include "net/session/session_context.h"

namespace dx8 {

class Members;

constexpr int kComeBackMs = 60000;  // how long one cut off tries
constexpr int kTryLinkMs = 3000;    // a try whose link is not up by then gives way to the next
constexpr int kTryGapMs = 500;      // tries start no closer together than this
// A try where the meeting point said: time for the direct link, then for its relay.
constexpr int kTryByCodeMs = kMeetDirectWaitMs + 5000;
constexpr int kLookupAgainMs = 10000;  // the meeting point is asked again no sooner than this
constexpr size_t kMaxKeysKept = 64;
constexpr size_t kMaxHeldSends = 256;  // guaranteed sends kept while cut off
constexpr qsizetype kMaxHeldBytes = 256 * 1024;

class ComeBack {
public:
    ComeBack(SessionContext& session, Joiner& joiner, Members& members, MeetLink& meet)
        : s_(session), joiner_(joiner), members_(members), meet_(meet) {}

    // ---- Keys -----------------------------------------------------------------------------
    // We are a player now (hosting, joined, or back): the host keeps our key.
    void becamePlayer();
    // A word on keys: a player's own to the host (OwnKey), or the host's on another's (KeyOf).
    void onKeyWord(DPNID from, const net::ControlMessage& m);
    // Host: a player's key; everyone else hears of it, and the player of every key we keep.
    void onOwnKey(DPNID from, const net::msg::OwnKey& m);
    // The host's word on a player's key.
    void onKeyOf(const net::msg::KeyOf& m);
    // On a link nobody vouched for yet: one says it is a player of ours coming back.
    void onReturn(LinkId link, const net::msg::Return& m);

    // ---- Our own way back --------------------------------------------------------------------
    // Every link has gone dark at once. False when there is nowhere to go back to.
    bool cutOff();
    // A new start: back as the ticket's player, trying for up to budgetMs; the outcome is the
    // Connect's of `handle`.
    void start(DPNHANDLE handle, const ReturnTicket& ticket, int budgetMs);
    bool active() const { return trip_.has_value(); }
    // A player that is not the host says where the host is.
    void onHostAt(const net::msg::HostAt& m);
    // The host of our session, `player`, is at this address (the meeting point may know it):
    // the next try goes there.
    void tryFirst(ReturnAddress at);
    // A send of the program while we are cut off: guaranteed data waits, in order, until we are
    // back (then goes through `resend`), the rest would be stale by then. False when we are not
    // cut off and the send goes now.
    struct Held {
        DPNID target;
        QByteArray data;
        int32_t flags;
    };
    bool hold(DPNID target, const QByteArray& data, int32_t flags);
    std::function<void(const Held&)> resend;

    ReturnTicket ticket() const;
    void setBudgetMs(int ms) { budgetMs_ = ms; }

    void checkDeadline(qint64 now);
    qint64 deadline() const;
    void reset();

private:
    struct Trip {
        bool fresh = false;  // a new start: its Connect ends it; else we are cut off
        DPNHANDLE handle = 0;
        DPNID id = 0;
        DPNID oldHost = 0;
        QString name;
        QUuid instance;
        QUuid application;
        std::vector<ReturnAddress> addresses;
        size_t next = 0;      // the address of the next try
        DPNID tryPlayer = 0;  // whom the try under way means to reach
        qint64 until = 0;     // given up then
        qint64 tryAt = 0;     // the next try starts then; 0: one is under way
        qint64 tryStarted = 0;
        LinkId tryLink = 0;
        int tryLinkMs = kTryLinkMs;  // the try gives way when its link is not up by then
        HRESULT last = DPNERR_NORESPONSE;
        std::optional<MeetLink::SessionCode> code;
        qint64 lookupAt = 0;               // no lookup before then
        std::vector<ReturnAddress> found;  // where the meeting point said: tried first
    };

    void keep(DPNID id, const QByteArray& key);
    void refuse(LinkId link, HRESULT code);
    void tryNext();
    void askMeetingPoint();
    void onFound(std::optional<Endpoint> host);
    void tryFailed(HRESULT why);
    void returned(std::map<DPNID, Player> before, const std::vector<DPNID>& order);
    void lost();

    SessionContext& s_;
    Joiner& joiner_;
    Members& members_;
    MeetLink& meet_;
    int budgetMs_ = kComeBackMs;
    ReturnKey key_;
    bool keepKey_ = false;  // we came back: the key stays ours
    std::map<DPNID, QByteArray> keys_;
    std::set<DPNID> toldAll_;  // host: players told every key we keep
    std::optional<Trip> trip_;
    // The code we came back with, until the host tells it to us again.
    std::optional<MeetLink::SessionCode> code_;
    std::vector<Held> held_;
    qsizetype heldBytes_ = 0;
};

// Where to look for the session: the host first (unless it is us), then those next in line,
// then the others; each at the address we reached it at and at its router's mapping.
std::vector<ReturnAddress> returnAddresses(const Roster& roster);

}  // namespace dx8
