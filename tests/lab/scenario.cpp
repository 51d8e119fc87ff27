#include "scenario.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <cmath>
#include <map>

namespace lab {

bool impairAllPaths(Lab& lab, const PathImpairment& path) {
    // A path crosses two links, each way: each link takes a quarter of the round trip, half of
    // the jitter, and the loss that two crossings compound into the path's.
    const double linkLoss = 100.0 * (1.0 - std::sqrt(1.0 - path.lossPct / 100.0));
    const double linkReorder = 100.0 * (1.0 - std::sqrt(1.0 - path.reorderPct / 100.0));
    return lab.control(QStringLiteral("set all delay=%1 jitter=%2 loss=%3 reorder=%4 dup=0")
                           .arg(path.rttMs / 4.0)
                           .arg(path.jitterMs / 2.0)
                           .arg(linkLoss)
                           .arg(linkReorder));
}

long long Session::form(int deadlineMs, QString* why) {
    players_.clear();
    players_.push_back(std::make_unique<Player>(
        lab_, 1,
        QStringList{QStringLiteral("--host"), QStringLiteral("--migrate"), QStringLiteral("--name"),
                    name(1), QStringLiteral("--report"), QStringLiteral("2")}));
    if (!players_[0]->waitFor(
            [](const QStringList& l) {
                return !l.filter(QStringLiteral("hosting")).isEmpty();
            },
            10000)) {
        *why = QStringLiteral("the host did not start: ") + players_[0]->lines().join(QLatin1Char('|'));
        return -1;
    }
    QElapsedTimer clock;
    clock.start();
    for (int i = 2; i <= lab_.players(); ++i) {
        players_.push_back(std::make_unique<Player>(
            lab_, i,
            QStringList{QStringLiteral("--join"), Lab::address(1) + QStringLiteral(":2302"),
                        QStringLiteral("--name"), name(i), QStringLiteral("--report"),
                        QStringLiteral("2")}));
        Player& p = *players_.back();
        const int left = deadlineMs - static_cast<int>(clock.elapsed());
        if (!p.waitFor(
                [](const QStringList& l) {
                    return !l.filter(QStringLiteral("joined on port")).isEmpty() ||
                           !l.filter(QStringLiteral("failed")).isEmpty();
                },
                std::max(left, 0)) ||
            p.lines().filter(QStringLiteral("joined on port")).isEmpty()) {
            *why = name(i) + QStringLiteral(" did not join: ") + p.lines().join(QLatin1Char('|'));
            return -1;
        }
    }
    const long long joined = clock.elapsed();
    // Everyone has everyone else before anything is measured.
    std::vector<Player*> all;
    for (auto& p : players_) all.push_back(p.get());
    const int n = lab_.players();
    if (!Player::waitAll(
            all,
            [n](const Player& p) {
                return p.lines().filter(QStringLiteral(" has joined the game.")).size() >=
                       (p.index() == 1 ? n - 1 : 1);
            },
            std::max(deadlineMs - static_cast<int>(clock.elapsed()), 1000))) {
        *why = QStringLiteral("not every player saw the others join");
        return -1;
    }
    return joined;
}

std::vector<Player*> Session::allBut(int except) {
    std::vector<Player*> out;
    for (auto& p : players_) {
        if (p->index() != except) out.push_back(p.get());
    }
    return out;
}

ChatTally Session::exchangeChat(int lines, int deadlineMs, const std::vector<int>& among) {
    const int round = lineCounts().front();  // tells this exchange's lines from earlier ones
    for (int i : among) {
        for (int k = 1; k <= lines; ++k) {
            player(i).say(QStringLiteral("line %1 %2 %3").arg(round).arg(name(i)).arg(k));
        }
    }
    const auto tally = [=, this](const Player& receiver, ChatTally* t) {
        // <Ps> line R Ps k
        const QRegularExpression re(QStringLiteral("^<(P\\d+)> line %1 \\1 (\\d+)$").arg(round));
        std::map<QString, std::vector<int>> got;
        for (const QString& l : receiver.lines()) {
            const auto m = re.match(l);
            if (m.hasMatch() && m.captured(1) != name(receiver.index())) {
                got[m.captured(1)].push_back(m.captured(2).toInt());
            }
        }
        for (int s : among) {
            if (s == receiver.index()) continue;
            t->expected += lines;
            std::vector<bool> seen(static_cast<size_t>(lines) + 1);
            int highest = 0;
            for (int k : got[name(s)]) {
                if (k < 1 || k > lines) continue;
                if (seen[static_cast<size_t>(k)]) {
                    ++t->duplicates;
                    continue;
                }
                seen[static_cast<size_t>(k)] = true;
                ++t->delivered;
                t->outOfOrder += k < highest;
                highest = std::max(highest, k);
            }
        }
    };
    std::vector<Player*> receivers;
    for (int i : among) receivers.push_back(&player(i));
    Player::waitAll(
        receivers,
        [&tally](const Player& p) {
            ChatTally t;
            tally(p, &t);
            return t.delivered >= t.expected;
        },
        deadlineMs);
    ChatTally total;
    for (Player* p : receivers) tally(*p, &total);
    return total;
}

double Session::carStateRatio(int reports) {
    std::vector<Player*> all;  // the players still in the game: one told it was cut off has ended
    for (auto& p : players_) {
        if (p->running()) all.push_back(p.get());
    }
    const auto reportCount = [](const Player& p) {
        return static_cast<int>(p.lines().filter(QRegularExpression(QStringLiteral("^car states: "))).size());
    };
    // From the next report of each player to the one `reports` later.
    std::vector<int> start;
    for (Player* p : all) start.push_back(reportCount(*p) + 1);
    std::vector<std::vector<std::pair<QString, int>>> first(all.size()), last(all.size());
    for (size_t i = 0; i < all.size(); ++i) {
        const int want = start[i];
        if (!all[i]->waitFor([&](const QStringList&) { return reportCount(*all[i]) >= want; }, 5000)) {
            return -1;
        }
        first[i] = all[i]->lastCarStates();
    }
    for (size_t i = 0; i < all.size(); ++i) {
        const int want = start[i] + reports;
        if (!all[i]->waitFor([&](const QStringList&) { return reportCount(*all[i]) >= want; },
                             reports * 2000 + 5000)) {
            return -1;
        }
        last[i] = all[i]->lastCarStates();
    }
    long long received = 0, nominal = 0;
    for (size_t i = 0; i < all.size(); ++i) {
        std::map<QString, int> before(first[i].begin(), first[i].end());
        for (const auto& [sender, n] : last[i]) {
            received += n - before[sender];
        }
        nominal += static_cast<long long>(all.size() - 1) * 20 * 2 * reports;
    }
    return nominal > 0 ? static_cast<double>(received) / nominal : -1;
}

long long Session::timeUntilAll(const std::vector<int>& watchers, const QString& line, int deadlineMs) {
    QElapsedTimer clock;
    clock.start();
    std::vector<Player*> ps;
    std::vector<int> from;
    for (int i : watchers) {
        ps.push_back(&player(i));
    }
    for (Player* p : ps) from.push_back(static_cast<int>(p->lines().size()));
    const bool ok = Player::waitAll(
        ps,
        [&](const Player& p) {
            size_t k = 0;
            while (ps[k] != &p) ++k;
            for (const QString& l : p.lines().mid(from[k])) {
                if (l.startsWith(line)) return true;
            }
            return false;
        },
        deadlineMs);
    return ok ? clock.elapsed() : -1;
}

std::vector<int> Session::lineCounts() const {
    std::vector<int> out;
    for (const auto& p : players_) out.push_back(static_cast<int>(p->lines().size()));
    return out;
}

bool Session::anyPrinted(const QString& prefix, const std::vector<int>& since) const {
    for (size_t i = 0; i < players_.size(); ++i) {
        const QStringList& l = players_[i]->lines();
        for (qsizetype k = i < since.size() ? since[i] : 0; k < l.size(); ++k) {
            if (l[k].startsWith(prefix)) return true;
        }
    }
    return false;
}

}  // namespace lab
