// The wizard's status line: every wait is told in the player's words and ends; the history of
// addresses keeps only those where a session answered.
#include <QLabel>

#include "connect_wizard/wait_status.h"
#include "wizard_test_support.h"

using namespace wizard_test;
using orvel::DPlayConnect;

namespace {

// Sets the address the search is given for one scope (empty: a search of the network).
struct TypedAddress {
    explicit TypedAddress(const char* text) { qputenv("ORVEL_ENUM_ADDRESS", text); }
    ~TypedAddress() { qunsetenv("ORVEL_ENUM_ADDRESS"); }
};

TEST_F(WizardTest, EverySearchIsToldOnTheStatusLineUntilItEnds) {
    struct Case {
        const char* typed;
        const char* discovery;
        const char* asking;
        const char* nobody;
    } cases[] = {
        {"", "lan", "Searching on the local network...",
         "Nobody answered on the local network after 5 s."},
        {"", "loopback", "Searching on this computer...",
         "Nobody answered on this computer after 5 s."},
        {"10.0.0.7:2302", "lan", "Asking 10.0.0.7:2302...",
         "Nobody answered at 10.0.0.7:2302 after 5 s."},
        {"ann-pc", "lan", "Asking ann-pc on ports 2302-2400...",
         "Nobody answered at ann-pc on ports 2302-2400 after 5 s."},
    };
    run([&](DPlayConnect& w) {
        w.cmdOk->click();
        for (const Case& c : cases) {
            SCOPED_TRACE(c.asking);
            const TypedAddress typed(c.typed);
            qputenv("ORVEL_DISCOVERY", c.discovery);
            w.cmdRefresh->click();
            EXPECT_EQ(w.lblStatus->text(), QString::fromUtf8(c.asking));
            now += orvel::kNoAnswerMs;
            EXPECT_TRUE(waitUntil([&] { return w.lblStatus->text() == c.nobody; }))
                << w.lblStatus->text().toStdString();
            w.cmdRefresh->click();  // stopped: nothing is awaited any more
            EXPECT_TRUE(w.lblStatus->text().isEmpty());
        }
        qputenv("ORVEL_DISCOVERY", "loopback");

        // An answer ends the wait: the list tells the rest.
        w.cmdRefresh->click();
        offer(w, answer("Ann's race", "{IA}", 1, 6, 7));
        EXPECT_TRUE(w.lblStatus->text().isEmpty());
        w.lstGames->setCurrentRow(0);

        // A join is told with the session's name while it waits, and ends with its outcome.
        peer->connectResult.reset();
        QTimer::singleShot(0, &w, [&] {
            EXPECT_EQ(w.lblStatus->text(), "Joining Ann's race...");
            dx8::DPNMSG_CONNECT_COMPLETE full;
            full.hResultCode = dx8::DPNERR_SESSIONFULL;
            bool reject = false;
            w.DirectPlay8Event_ConnectComplete(full, reject);
        });
        w.cmdJoin->click();
        EXPECT_TRUE(w.lblStatus->text().isEmpty());

        // Cancel gives a join up: the wizard stays on its page, with nothing for the main window.
        const dx8::DPNHANDLE joinHandle = peer->nextHandle;
        QTimer::singleShot(0, &w, [&] {
            w.cmdCancelWait->click();
            dx8::DPNMSG_CONNECT_COMPLETE cancelled;
            cancelled.hResultCode = dx8::DPNERR_USERCANCEL;
            bool reject = false;
            w.DirectPlay8Event_ConnectComplete(cancelled, reject);
        });
        w.cmdJoin->click();
        EXPECT_EQ(peer->cancelledHandle, joinHandle);
        EXPECT_EQ(w.currentPage(), DPlayConnect::SessionPage);
        EXPECT_FALSE(w.wizardDone());
        EXPECT_TRUE(callback.connectResults.empty());
    });
}

TEST_F(WizardTest, OnlyAnAddressWhereASessionAnsweredGoesIntoTheHistory) {
    struct Case {
        const char* typed;
        bool answers;
        const char* history;
    } cases[] = {
        {"10.0.0.7:2302", false, ""},
        {"10.0.0.8", true, "10.0.0.8"},
        {"10.0.0.9", false, "10.0.0.8"},
        {"", true, "10.0.0.8"},  // a search of the network is no address
        {"10.0.0.7:2302", true, "10.0.0.7:2302\n10.0.0.8"},
    };
    run([&](DPlayConnect& w) {
        w.cmdOk->click();
        for (const Case& c : cases) {
            SCOPED_TRACE(c.typed);
            const TypedAddress typed(c.typed);
            w.cmdRefresh->click();
            if (c.answers) {
                offer(w, answer("Race", "{IA}", 1, 6, 7));
            }
            w.cmdRefresh->click();
            EXPECT_EQ(orvel::GetDefault("RecentHosts"), QString::fromUtf8(c.history));
        }
    });
}

TEST(WaitTexts, AJoinTellsTheStepItIsAt) {
    using Step = dx8::JoinProgress::Step;
    struct Case {
        dx8::JoinProgress progress;
        int waitedMs;
        const char* text;
    } cases[] = {
        {{Step::None, 0, 0}, 0, "Joining Ann's race..."},
        {{Step::ReachingHost, 0, 0}, 1999, "Joining Ann's race... Reaching the host."},
        {{Step::ReachingHost, 0, 0}, 6500, "Joining Ann's race... Reaching the host (6 s)."},
        {{Step::Asking, 0, 0}, 100, "Joining Ann's race... The host answered; asking to join."},
        {{Step::Linking, 1, 3},
         100,
         "Joining Ann's race... Linking to the other players (1 of 3)."},
        {{Step::Finishing, 3, 3}, 100, "Joining Ann's race... The host is adding you."},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(orvel::joinWaitText(QStringLiteral("Ann's race"), c.progress, c.waitedMs),
                  QString::fromUtf8(c.text));
    }
}

}  // namespace
