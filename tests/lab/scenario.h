#pragma once

// A session of orvel-bot players in the lab, and the figures the lab tests and the lab benchmark
// take of it: join time, chat delivered, car states, the time to notice a player gone, the time
// to migrate the host role.

#include <QString>
#include <memory>
#include <vector>

#include "lab.h"

namespace lab {

// Figures for the path between any two players; each link gets its share.
struct PathImpairment {
    int rttMs = 0;
    int jitterMs = 0;  // one way, +-
    double lossPct = 0;  // one way
    double reorderPct = 0;
};
bool impairAllPaths(Lab& lab, const PathImpairment& path);

struct ChatTally {
    int expected = 0;    // lines times senders times receivers
    int delivered = 0;   // distinct lines that arrived
    int duplicates = 0;  // lines that arrived more than once
    int outOfOrder = 0;  // lines that arrived behind a later one of their sender
    bool complete() const { return delivered == expected && duplicates == 0 && outOfOrder == 0; }
};

class Session {
public:
    explicit Session(Lab& lab) : lab_(lab) {}

    // The host on player 1 ("P1", host migration on), then players 2..N join one after the
    // other. Returns the milliseconds from the first join to the last completed one, or -1 with
    // the reason.
    long long form(int deadlineMs, QString* why);

    Player& player(int i) { return *players_.at(static_cast<size_t>(i - 1)); }
    static QString name(int i) { return QStringLiteral("P%1").arg(i); }
    std::vector<Player*> allBut(int except);

    // Every player types `lines` numbered lines; waits until every other player has them all
    // (or deadlineMs) and counts what arrived, from the players in `among` only.
    ChatTally exchangeChat(int lines, int deadlineMs, const std::vector<int>& among);

    // Car states received by every player from every other over the next `reports` reports
    // (2 s each), as a fraction of the 20 a second each sender sends, among the players still
    // running. -1 if no report came.
    double carStateRatio(int reports);

    // Milliseconds until every player in `watchers` printed a line starting with `line`, or -1
    // after deadlineMs.
    long long timeUntilAll(const std::vector<int>& watchers, const QString& line, int deadlineMs);
    // True when any player printed a line starting with `prefix` after its first `since` lines.
    bool anyPrinted(const QString& prefix, const std::vector<int>& since) const;
    std::vector<int> lineCounts() const;

private:
    Lab& lab_;
    std::vector<std::unique_ptr<Player>> players_;
};

}  // namespace lab
