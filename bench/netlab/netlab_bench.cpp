// The lab's full matrix: four orvel-bot players under each fault in turn, one table row per
// fault. Needs root (network namespaces). Takes about a minute a row, the long outages two.
//
//   netlab_bench [--only SUBSTRING] [--smoke]
//
// --smoke runs the clean row alone, with 2 chat lines from each and one car-state report, and
// fails unless every figure of it came.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <cstdio>
#include <functional>
#include <string>

#include "private_folders.h"
#include "scenario.h"
#include "smoke.h"

namespace {

using lab::PathImpairment;
using lab::Session;

struct Fault {
    const char* name;
    PathImpairment path;
    int outagePlayer = 0;  // 0: none
    int outageMs = 0;
};

QString ms(long long v) {
    return v < 0 ? QStringLiteral("-") : QString::number(v);
}

// What became of a player cut off for long, as the players print it.
QString outcome(Session& s, int dark, const std::vector<int>& before) {
    const QStringList mine = s.player(dark).lines().mid(before[static_cast<size_t>(dark - 1)]);
    QStringList parts;
    int droppedBy = 0;
    int backTo = 0;
    for (int i = 1; i <= 4; ++i) {
        const QStringList seen = s.player(i).lines().mid(before[static_cast<size_t>(i - 1)]);
        if (i != dark && seen.contains(QStringLiteral("-- %1 has left the game.").arg(Session::name(dark)))) {
            ++droppedBy;
        }
        if (i != dark && seen.contains(QStringLiteral("- %1 is back.").arg(Session::name(dark)))) {
            ++backTo;
        }
    }
    parts << QStringLiteral("dropped by %1/3").arg(droppedBy);
    if (backTo > 0) {
        parts << QStringLiteral("back to %1/3").arg(backTo);
    } else if (!mine.filter(QStringLiteral("session ended")).isEmpty()) {
        parts << QStringLiteral("told: ") + mine.filter(QStringLiteral("session ended")).first().mid(15);
    } else if (droppedBy > 0) {
        parts << QStringLiteral("never told");
    }
    if (!mine.filter(QStringLiteral("host is now %1").arg(Session::name(dark))).isEmpty()) {
        parts << QStringLiteral("made itself host");
    }
    return parts.join(QStringLiteral("; "));
}

}  // namespace

int main(int argc, char** argv) {
    const bool smoke = orvel::bench::takeSmokeFlag(argc, argv);
    QCoreApplication app(argc, argv);
    // The players' runtime and settings folders are this run's own.
    const orvel::bench::PrivateFolders folders;
    QString only = smoke ? QStringLiteral("clean") : QString();
    for (int i = 1; i + 1 < argc; ++i) {
        if (QString::fromLocal8Bit(argv[i]) == QStringLiteral("--only")) only = QString::fromLocal8Bit(argv[i + 1]);
    }
    const Fault faults[] = {
        {"clean", {0, 0, 0, 0}},
        {"150 ms +-20", {150, 20, 0, 0}},
        {"150 ms +-20, reorder 10 %", {150, 20, 0, 10}},
        {"150 ms +-20, loss 10 %", {150, 20, 10, 0}},
        {"300 ms", {300, 0, 0, 0}},
        {"loss 30 %", {150, 20, 30, 0}},
        {"3 s outage of P3", {150, 20, 10, 0}, 3, 3000},
        {"40 s outage of P4", {150, 20, 10, 0}, 4, 40000},
        {"40 s outage of the host", {150, 20, 10, 0}, 1, 40000},
    };
    std::printf("| fault | join ms | chat delivered/expected | car states %% | killed player noticed ms | migration ms | outage outcome |\n");
    std::printf("|---|---|---|---|---|---|---|\n");
    std::fflush(stdout);
    for (const Fault& f : faults) {
        if (!only.isEmpty() && !QString::fromLatin1(f.name).contains(only)) continue;
        QString why;
        bool unsupported = false;
        auto lab = lab::Lab::create(4, &why, &unsupported);
        if (!lab) {
            std::fprintf(stderr, "netlab_bench: %s\n", qPrintable(why));
            return unsupported ? 77 : 1;
        }
        Session s(*lab);
        // An outage row joins without the loss, so that a failed join does not hide the outage.
        PathImpairment joinPath = f.path;
        if (f.outagePlayer > 0) joinPath.lossPct = 0;
        lab::impairAllPaths(*lab, joinPath);
        const long long join = s.form(90000, &why);
        lab::impairAllPaths(*lab, f.path);
        if (join < 0) {
            std::printf("| %s | failed: %s | | | | | |\n", f.name, qPrintable(why.left(80)));
            std::fflush(stdout);
            if (smoke) return 1;
            continue;
        }
        QString outage = QStringLiteral("-");
        std::vector<int> chatAmong{1, 2, 3, 4};
        if (f.outagePlayer > 0) {
            const std::vector<int> before = s.lineCounts();
            lab->control(QStringLiteral("outage p%1 0 %2").arg(f.outagePlayer).arg(f.outageMs));
            // The outage, then long enough for its consequences: a drop, a migration, a message.
            s.timeUntilAll({f.outagePlayer}, QStringLiteral("session ended"), f.outageMs + 35000);
            if (!s.player(f.outagePlayer).lines().mid(before[static_cast<size_t>(f.outagePlayer - 1)])
                     .filter(QStringLiteral("session ended")).isEmpty()) {
                // Told early: the bot ends, and the others are given the time to notice it gone.
                s.player(f.outagePlayer).waitFor([](const QStringList&) { return false; }, 5000);
                std::vector<int> others;
                for (int i = 1; i <= 4; ++i) if (i != f.outagePlayer) others.push_back(i);
                s.timeUntilAll(others, QStringLiteral("-- %1 has left the game.").arg(Session::name(f.outagePlayer)),
                               15000);
            }
            outage = outcome(s, f.outagePlayer, before);
            if (!s.player(f.outagePlayer).running()) {
                chatAmong.erase(std::find(chatAmong.begin(), chatAmong.end(), f.outagePlayer));
            }
        }
        const lab::ChatTally chat = s.exchangeChat(smoke ? 2 : 10, 20000, chatAmong);
        const double cars = s.carStateRatio(smoke ? 1 : 2);
        // A player that vanishes without a word, then the host.
        const int victim = f.outagePlayer == 4 ? 3 : 4;
        std::vector<int> watchers;
        for (int i : chatAmong) if (i != victim) watchers.push_back(i);
        s.player(victim).kill();
        const long long noticed = s.timeUntilAll(
            watchers, QStringLiteral("-- %1 has left the game.").arg(Session::name(victim)), 30000);
        long long migration = -1;
        if (std::find(watchers.begin(), watchers.end(), 1) != watchers.end()) {
            s.player(1).kill();
            watchers.erase(std::find(watchers.begin(), watchers.end(), 1));
            migration = s.timeUntilAll(watchers, QStringLiteral("host is now"), 30000);
        }
        std::printf("| %s | %s | %d/%d%s | %s | %s | %s | %s |\n", f.name, qPrintable(ms(join)),
                    chat.delivered, chat.expected,
                    chat.duplicates || chat.outOfOrder
                        ? qPrintable(QStringLiteral(" (%1 twice, %2 out of order)").arg(chat.duplicates).arg(chat.outOfOrder))
                        : "",
                    cars < 0 ? "-" : qPrintable(QString::number(cars * 100, 'f', 0)),
                    qPrintable(ms(noticed)), qPrintable(ms(migration)), qPrintable(outage));
        std::fflush(stdout);
        if (smoke && (!chat.complete() || cars < 0 || noticed < 0 || migration < 0)) return 1;
    }
    return 0;
}
