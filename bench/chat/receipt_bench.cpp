// What one received chat line costs the player who receives it: from the peer's notification
// through the race session to the line in the chat window and on the game's message line during
// a race, with the window's pending layout and paint. Lines of 1 MiB (Latin letters, CJK, and
// one full of line breaks) are set against a short line, the baseline, in the same run.
//
//   chat_receipt_bench [--runs N] [--smoke]   (median of N receipts each: 5, one under --smoke)

#include <QApplication>
#include <QElapsedTimer>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include "fake_os.h"
#include "game_link/game_memory_map.h"
#include "main_window/chat_history_box.h"
#include "main_window/frm_chat.h"
#include "private_folders.h"
#include "session/mod_dplay.h"
#include "session/wire_messages.h"
#include "smoke.h"
#include "stub_peer.h"

namespace {

constexpr uint32_t kGameWindow = 9;
constexpr uint32_t kGamePid = 12;
constexpr dx8::DPNID kSender = 0x41;
constexpr qsizetype kMiB = 1 << 20;

// A text of exactly bytes UTF-8 bytes, made of unit repeated.
QString filled(const QString& unit, qsizetype bytes) {
    const qsizetype unitBytes = unit.toUtf8().size();
    return unit.repeated(bytes / unitBytes) + QString(bytes % unitBytes, QLatin1Char('x'));
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // The window's settings stay in this run's own folder.
    const orvel::bench::PrivateFolders folders;
    const bool smoke = orvel::bench::takeSmokeFlag(argc, argv);
    QApplication app(argc, argv);
    int runs = smoke ? 1 : 5;
    const QStringList args = QCoreApplication::arguments();
    if (const qsizetype at = args.indexOf(QStringLiteral("--runs"));
        at > 0 && at + 1 < args.size()) {
        runs = std::clamp(args[at + 1].toInt(), 1, 100);
    }

    // A game in a race, in a fake process table, so every line also goes onto its message line.
    orvel::testing::FakeOsScope scope;
    scope.os.addWindow(kGameWindow, orvel::GameTitle, kGamePid);
    scope.os.map(kGamePid, 0x536000, 0x5FF000 - 0x536000);
    const orvel::gamemap::Edition& edition = orvel::gamemap::edition(0);
    scope.os.pokeFloat(kGamePid, edition.playValue, 12.5f);
    scope.os.pokeLong(kGamePid, edition.statusWord, 0);
    orvel::Memory::AttachGame(orvel::GameTitle);

    orvel::ModDplay dx;
    auto peer = std::make_shared<orvel::testing::StubPeer>();
    peer->addPlayer(1, QStringLiteral("Ann"), true);
    peer->addPlayer(kSender, QStringLiteral("Bob"));
    dx.dpPeer = peer;
    orvel::frmChat window(dx);
    window.Timer1->stop();
    window.show();
    for (const dx8::DPNID id : {dx8::DPNID(1), kSender}) {
        bool reject = false;
        dx.raceSession.DirectPlay8Event_CreatePlayer(id, reject);
    }
    QApplication::processEvents();

    auto receiptMs = [&](const QByteArray& message) {
        std::vector<double> ms;
        for (int i = 0; i < runs; ++i) {
            dx8::DPNMSG_RECEIVE m;
            m.idSender = kSender;
            m.ReceivedData = message;
            m.lDataSize = static_cast<int32_t>(message.size());
            bool reject = false;
            QElapsedTimer clock;
            clock.start();
            dx.raceSession.DirectPlay8Event_Receive(m, reject);
            QApplication::processEvents();  // the layout and paint the line brings
            ms.push_back(static_cast<double>(clock.nsecsElapsed()) / 1e6);
        }
        return median(ms);
    };

    struct Line {
        const char* name;
        QString text;
    };
    const std::vector<Line> lines = {
        {"1 MiB of Latin letters", filled(QStringLiteral("gg wp "), kMiB)},
        {"1 MiB of CJK", filled(QStringLiteral("\u65E5\u672C\u8A9E"), kMiB)},
        {"1 MiB of CR LF lines", filled(QStringLiteral("gg\r\n<Host> please leave "), kMiB)},
    };
    const double baseline =
        receiptMs(orvel::BuildTextMessage(orvel::ChatMessage, QStringLiteral("gg wp")));
    std::printf("| received chat line, median of %d | ms | against a short line |\n", runs);
    std::printf("|---|---|---|\n");
    std::printf("| \"gg wp\" (baseline) | %.3f | 1.0x |\n", baseline);
    for (const Line& l : lines) {
        const double ms = receiptMs(orvel::BuildTextMessage(orvel::ChatMessage, l.text));
        std::printf("| %s | %.3f | %.0fx |\n", l.name, ms, ms / baseline);
    }
    std::printf("window history: %lld characters\n",
                static_cast<long long>(window.txtChat->text().size()));
    return 0;
}
