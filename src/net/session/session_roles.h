#pragma once

// The roles of one player's session over a link table, and the one place that hands each event
// of a link to the role its kind names, and each message on a player's link to the role that
// handles it, once it has checked that the sender may send it. SessionCore runs it over ENet;
// the tests run it over a fake table.

#include <functional>
#include <optional>

#include "net/session/come_back.h"
#include "net/session/host_join.h"
#include "net/session/joiner.h"
#include "net/paths/meet_link.h"
#include "net/session/members.h"
#include "net/paths/relay.h"
#include "net/session/session_context.h"

namespace dx8 {

class SessionRoles {
public:
    // `now` is the session clock; `leave` ends the session here without a word to anyone.
    SessionRoles(LinkTable& links, SessionEvents& events, std::function<qint64()> now,
                 std::function<void()> leave);

    Roster& roster() { return roster_; }
    const Roster& roster() const { return roster_; }
    SessionContext& context() { return context_; }
    HostJoin& hostJoin() { return hostJoin_; }
    Joiner& joiner() { return joiner_; }
    const Joiner& joiner() const { return joiner_; }
    Members& members() { return members_; }
    Relay& relay() { return relay_; }
    ComeBack& comeBack() { return comeBack_; }
    const ComeBack& comeBack() const { return comeBack_; }
    MeetLink& meet() { return meet_; }
    const MeetLink& meet() const { return meet_; }

    // Whether someone new may connect now.
    bool takesVisitors() const;
    // What the links report.
    void linkUp(LinkId link, Link& state);
    void linkDown(LinkId link, const Link& state);
    void dataArrived(const Link& state, const QByteArray& data);
    void relayArrived(const Link& state, const QByteArray& packet, bool guaranteed);
    void controlArrived(LinkId link, const net::ControlMessage& m);
    // A message from a player over its own link; false when it has no place there.
    bool playerSaid(DPNID from, const net::ControlMessage& m);
    // Whether this player may say this to us now: the one rule of who may say what.
    bool mayTake(DPNID from, const net::ControlMessage& m) const;

    void checkDeadlines();
    // The earliest deadline of any role (0: none), on the session clock.
    qint64 earliestDeadline() const;
    // Back to no session.
    void reset();

private:
    // Whether losing the link to this player means we are the one cut off.
    bool cutOff(DPNID lost) const;
    // Our own link to the host is gone or has heard nothing for a while.
    bool hostDark() const;
    // A player says the host is gone while the host still answers us: kept a while, and taken
    // should our own link to the host go dark meanwhile.
    void heardHostGone(DPNID from, const net::ControlMessage& m);
    static constexpr int kHostGoneHeardMs = 10000;
    static constexpr int kHostGoneRecheckMs = 250;
    struct HostGoneHeard {
        DPNID from = 0;
        net::msg::PlayerRemoved said;
        qint64 until = 0;
    };
    std::optional<HostGoneHeard> hostGone_;

    Roster roster_;
    SessionContext context_;
    HostJoin hostJoin_;
    Relay relay_;
    Members members_;
    Joiner joiner_;
    ComeBack comeBack_;
    MeetLink meet_;
};

}  // namespace dx8
