// The pages' own rules: provider and player, search and join, creation.
#include <pwd.h>
#include <unistd.h>

#include <QCheckBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>

#include "wizard_test_support.h"

using namespace wizard_test;
using orvel::DPlayConnect;

namespace {

dx8::DPN_SERVICE_PROVIDER_INFO sp(const char* name,
                                  const char* guid = "{00000000-0000-0000-0000-000000000001}") {
    return {0, QString::fromLatin1(guid), QString::fromLatin1(name)};
}

}  // namespace

// ---- Page 0
// --------------------------------------------------------------------------------------

struct ProviderCase {
    std::vector<dx8::DPN_SERVICE_PROVIDER_INFO> providers;
    const char* saved;  // nullptr: no saved index
    int selected;
};

TEST_F(WizardTest, ProviderChoiceRules) {
    const std::vector<ProviderCase> cases = {
        {{sp("IPX"), sp("Modem"), sp("Serial"), sp("Internet TCP/IP")}, nullptr, 3},
        {{sp("TCP/IP one"), sp("Modem"), sp("TCP/IP two"), sp("IPX")}, nullptr, 2},
        {{sp("IPX"), sp("Modem"), sp("Serial")}, nullptr, 0},
        {{sp("tcp lower case"), sp("Modem")}, nullptr, 0},  // only capital "TCP" counts
        {{sp("IPX"), sp("TCP/IP"), sp("Modem")}, "2", 2},
        {{sp("IPX"), sp("Modem"), sp("TCP/IP")}, "1", 1},
        {{sp("IPX"), sp("Modem"), sp("TCP/IP")}, "3", 2},    // the old lobby entry: ignored
        {{sp("IPX"), sp("Modem"), sp("TCP/IP")}, "-1", 2},   // none saved
        {{sp("IPX"), sp("Modem"), sp("TCP/IP")}, "abc", 2},  // not a number: none saved
        {{}, nullptr, 0},                                    // no provider: the lobby entry
    };
    for (size_t c = 0; c < cases.size(); ++c) {
        SCOPED_TRACE(c);
        clearSettings();
        if (cases[c].saved != nullptr) {
            orvel::SaveDefault("SPListIndex", QString::fromLatin1(cases[c].saved));
        }
        peer->providers = cases[c].providers;
        makeWizard();
        run([&](DPlayConnect& w) {
            const int n = static_cast<int>(cases[c].providers.size());
            ASSERT_EQ(w.lstSP->count(), n + 1);
            for (int i = 0; i < n; ++i) {
                EXPECT_EQ(w.lstSP->item(i)->text(),
                          cases[c].providers[static_cast<size_t>(i)].Name);
            }
            EXPECT_EQ(w.lstSP->item(n)->text(), "Wait for Lobby Connection...");
            ASSERT_EQ(w.lstSP->selectedItems().size(), 1);
            EXPECT_EQ(w.lstSP->row(w.lstSP->selectedItems().first()), cases[c].selected);
        });
    }
}

TEST_F(WizardTest, ClientVariantListsTheClientsProvidersAndCannotCreate) {
    client->providers = {sp("Modem"), sp("TCP/IP", "{C1}")};
    const bool result = run(
        [&](DPlayConnect& w) {
            EXPECT_EQ(client->handler, &w);
            EXPECT_EQ(peer->handler, nullptr);
            EXPECT_EQ(w.lstSP->count(), 3);
            EXPECT_TRUE(w.cmdCreate->isHidden());
            w.cmdOk->click();
            EXPECT_EQ(w.deviceAddress->GetSP(), "{C1}");
            offer(w, answer("S", "{1}", 1, 4, 9));
            w.lstGames->setCurrentRow(0);
            w.cmdJoin->click();
        },
        true, 6, true);
    EXPECT_TRUE(result);
    EXPECT_TRUE(client->calls.contains("SetClientInfo"));
    EXPECT_EQ(client->connects, 1);
    EXPECT_EQ(wizard->NumPlayers(), 4);
    EXPECT_FALSE(wizard->IsHost());
}

TEST_F(WizardTest, ProposesTheSavedNameElseTheLogonName) {
    orvel::SaveDefault("UserName", " Saved Name ");
    run([&](DPlayConnect& w) { EXPECT_EQ(w.txtUserName->text(), " Saved Name "); });

    QString logon;
    if (const passwd* account = getpwuid(geteuid()); account != nullptr) {
        logon = QString::fromLocal8Bit(account->pw_name);
    }
    ASSERT_FALSE(logon.isEmpty());
    EXPECT_EQ(DPlayConnect::LogonUserName(), logon);
    for (const char* stored : {static_cast<const char*>(nullptr), ""}) {
        clearSettings();
        if (stored != nullptr) {
            orvel::SaveDefault("UserName", QString::fromLatin1(stored));
        }
        makeWizard();
        run([&](DPlayConnect& w) { EXPECT_EQ(w.txtUserName->text(), logon); });
    }
}

TEST_F(WizardTest, AcceptingPageZeroSavesTheChoiceAndMakesTheDeviceAddress) {
    run([&](DPlayConnect& w) {
        w.txtUserName->clear();
        w.cmdOk->click();
        ASSERT_TRUE(lastBox(1, "Please enter a username before going on.", "No username",
                            QMessageBox::Information));
        EXPECT_EQ(w.currentPage(), 0);
        EXPECT_EQ(w.deviceAddress, nullptr);
        EXPECT_EQ(orvel::GetDefault("UserName", "<none>"), "<none>");  // nothing saved
        EXPECT_EQ(orvel::GetDefault("SPListIndex", "<none>"), "<none>");

        w.txtUserName->setText("   ");  // blanks are a name
        w.lstSP->setCurrentRow(0);
        w.lstSP_DblClick();
        EXPECT_EQ(w.currentPage(), 1);
        ASSERT_NE(w.deviceAddress, nullptr);
        EXPECT_EQ(w.deviceAddress->GetSP(), kSerialGuid);
        EXPECT_EQ(w.UserName(), "   ");
    });
    EXPECT_EQ(boxes.size(), 1u);
    EXPECT_EQ(orvel::GetDefault("UserName"), "   ");
    EXPECT_EQ(orvel::GetDefault("SPListIndex"), "0");
}

TEST_F(WizardTest, PageZeroWithoutAProviderOrWithAFailingOneStays) {
    run([&](DPlayConnect& w) {
        w.lstSP->clearSelection();
        w.cmdOk->click();
        ASSERT_TRUE(lastBox(1, "Please select a service provider before going on.",
                            "No service provider", QMessageBox::Information));
        EXPECT_EQ(orvel::GetDefault("SPListIndex", "<none>"), "<none>");
        EXPECT_EQ(w.currentPage(), 0);

        // The platform no longer knows the provider chosen.
        w.lstSP->setCurrentRow(1);
        peer->providers.clear();
        w.cmdOk->click();
        ASSERT_TRUE(lastBox(2, "Unable to use this service provider.  Error: 0x80158180", "Error",
                            QMessageBox::Critical));
        EXPECT_EQ(w.currentPage(), 0);
    });
}

TEST_F(WizardTest, AFailingLobbyAvailabilityIsReported) {
    lobby->failAvailable = dx8::DPNERR_NOTALLOWED;
    run([&](DPlayConnect& w) {
        w.lstSP->setCurrentRow(w.lstSP->count() - 1);
        w.cmdOk->click();
        ASSERT_TRUE(lastBox(1, "Unable to wait for a lobby connection.  Error: 0x80158520", {},
                            QMessageBox::Critical));
        EXPECT_EQ(w.currentPage(), 0);

        lobby->failAvailable.reset();
        w.cmdOk->click();
        ASSERT_EQ(w.currentPage(), 3);
        lobby->failAvailable = dx8::DPNERR_NOTALLOWED;
        w.cmdCancelLobby->click();  // reported, and page 0 all the same
        ASSERT_TRUE(lastBox(2, "Unable to leave the lobby wait.  Error: 0x80158520"));
        EXPECT_EQ(w.currentPage(), 0);
    });
}

TEST_F(WizardTest, EveryAcceptMakesAFreshDeviceAddress) {
    run([&](DPlayConnect& w) {
        w.cmdOk->click();
        const auto first = w.deviceAddress;
        w.cmdCancelGame->click();
        w.lstSP->setCurrentRow(0);
        w.cmdOk->click();
        EXPECT_NE(w.deviceAddress, first);
        EXPECT_EQ(w.deviceAddress->GetSP(), kSerialGuid);
    });
}

TEST_F(WizardTest, MigrateChoiceIsOfferedOnlyWhenAllowed) {
    run([&](DPlayConnect& w) { EXPECT_FALSE(w.chkMigrate->isHidden()); }, true);
    makeWizard();
    run([&](DPlayConnect& w) { EXPECT_TRUE(w.chkMigrate->isHidden()); }, false);
}

// ---- Page 1
// --------------------------------------------------------------------------------------

TEST_F(WizardTest, SearchStartsAndStops) {
    run([&](DPlayConnect& w) {
        w.cmdOk->click();
        w.cmdRefresh->click();
        EXPECT_EQ(w.searchState(), 1);
        EXPECT_EQ(w.cmdRefresh->text(), "Stop Search");
        EXPECT_EQ(peer->enumDesc.guidApplication, kGuid);
        EXPECT_TRUE(peer->enumDesc.guidInstance.isEmpty());
        EXPECT_TRUE(peer->enumDesc.SessionName.isEmpty());
        EXPECT_FALSE(peer->enumHost.given);
        EXPECT_TRUE(peer->enumDevice.given);
        EXPECT_EQ(peer->enumDevice.url, w.deviceAddress->GetURL());
        EXPECT_EQ(peer->enumRetryCount, -1);
        EXPECT_EQ(peer->enumRetryInterval, 0);
        EXPECT_EQ(peer->enumTimeOut, -1);
        EXPECT_EQ(peer->enumFlags, 1);
        const dx8::DPNHANDLE handle = w.enumHandle;
        EXPECT_NE(handle, 0);

        w.cmdRefresh->click();
        EXPECT_EQ(w.searchState(), 0);
        EXPECT_TRUE(w.stopListing());
        EXPECT_EQ(w.cmdRefresh->text(), "Start Search");
        EXPECT_EQ(peer->cancelledHandle, handle);
        EXPECT_EQ(peer->cancelFlags, 0);
        EXPECT_EQ(w.enumHandle, handle);  // only the completion clears it

        bool r = false;
        dx8::DPNMSG_ASYNC_OP_COMPLETE other;
        other.AsyncOpHandle = handle + 1;
        w.DirectPlay8Event_AsyncOpComplete(other, r);
        EXPECT_EQ(w.enumHandle, handle);
        dx8::DPNMSG_ASYNC_OP_COMPLETE done;
        done.AsyncOpHandle = handle;
        w.DirectPlay8Event_AsyncOpComplete(done, r);
        EXPECT_EQ(w.enumHandle, 0);

        // Stopped with the operation already gone: no cancel call, still stopped.
        w.cmdRefresh->click();
        dx8::DPNMSG_ASYNC_OP_COMPLETE ended;
        ended.AsyncOpHandle = w.enumHandle;
        w.DirectPlay8Event_AsyncOpComplete(ended, r);
        const int cancels = static_cast<int>(peer->calls.count("CancelAsyncOperation"));
        w.cmdRefresh->click();
        EXPECT_EQ(peer->calls.count("CancelAsyncOperation"), cancels);
        EXPECT_EQ(w.searchState(), 0);
    });
    EXPECT_TRUE(boxes.empty());
}

// A search that cannot start says why in a box naming the address given, or says nothing when
// the player cancelled the question; either way the page stays and the search is off.
TEST_F(WizardTest, AFailingSearchIsReportedAndThePageStays) {
    struct Case {
        const char* typed;
        dx8::HRESULT code;
        const char* box;  // none: no box
        const char* caption;
    } cases[] = {
        {"", dx8::DPNERR_GENERIC, "Unable to search for sessions.  Error: 0x80004005", "Error"},
        {"ann-pc.invalid", dx8::DPNERR_INVALIDHOSTADDRESS,
         "No computer called \"ann-pc.invalid\" was found: the name is unknown to this "
         "computer's name service.",
         "Error"},
        {"10.0.0.7:99999", dx8::DPNERR_INVALIDHOSTADDRESS, "\"10.0.0.7:99999\" is not an address.",
         "Error"},
        {"10.0.0.7", dx8::DPNERR_USERCANCEL, nullptr, nullptr},
    };
    run([&](DPlayConnect& w) {
        w.cmdOk->click();
        size_t count = 0;
        for (const Case& c : cases) {
            SCOPED_TRACE(c.typed);
            qputenv("ORVEL_ENUM_ADDRESS", c.typed);
            peer->failEnumHosts = c.code;
            w.cmdRefresh->click();
            count += c.box != nullptr ? 1 : 0;
            ASSERT_EQ(boxes.size(), count);
            if (c.box != nullptr) {
                EXPECT_TRUE(lastBox(count, QString::fromUtf8(c.box), QString::fromUtf8(c.caption),
                                    QMessageBox::Critical));
            }
            EXPECT_EQ(w.currentPage(), 1);
            EXPECT_EQ(w.searchState(), 0);
            EXPECT_EQ(w.cmdRefresh->text(), "S&tart Search");
            EXPECT_TRUE(w.lblStatus->text().isEmpty());
        }
        qunsetenv("ORVEL_ENUM_ADDRESS");

        // A cancel that fails because the search has ended leaves the button usable.
        peer->failEnumHosts.reset();
        peer->failCancel = dx8::DPNERR_INVALIDHANDLE;
        w.cmdRefresh->click();
        w.cmdRefresh->click();
        EXPECT_EQ(w.searchState(), 0);
        EXPECT_EQ(w.cmdRefresh->text(), "Start Search");
    });
    EXPECT_EQ(boxes.size(), 3u);
}

TEST_F(WizardTest, SameSessionGivesOneLineWithTheLaterNumbers) {
    run([&](DPlayConnect& w) {
        startSearch(w);
        offer(w, answer("Race", "{I1}", 1, 6, 12, "x-directplay:/hostname=a", "x-directplay:/d=1"));
        now += 300;
        offer(w, answer("Race", "{I1}", 3, 5, 40, "x-directplay:/hostname=b", "x-directplay:/d=2"));
        ASSERT_EQ(w.lstGames->count(), 1);
        EXPECT_EQ(w.lstGames->item(0)->text(), "Race - 3/5 - Latency:40 ms");
        EXPECT_EQ(w.lstGames->item(0)->data(Qt::UserRole).toInt(), 0);
        ASSERT_EQ(w.lastSession, 0);
        // The stored entry keeps what the first answer said; only its time moves.
        EXPECT_EQ(w.Sessions[0].HostURL, "x-directplay:/hostname=a");
        EXPECT_EQ(w.Sessions[0].DeviceURL, "x-directplay:/d=1");
        EXPECT_EQ(w.Sessions[0].Desc.lMaxPlayers, 6);
        EXPECT_EQ(w.Sessions[0].LastSeen, now);
    });
}

TEST_F(WizardTest, SilentSessionsExpireAndLaterLinesAreRenumbered) {
    run([&](DPlayConnect& w) {
        startSearch(w, true);
        auto a =
            answer("A", "{IA}", 1, 6, 1, "x-directplay:/hostname=10.0.0.1", "x-directplay:/dev=a");
        auto b =
            answer("B", "{IB}", 1, 6, 2, "x-directplay:/hostname=10.0.0.2", "x-directplay:/dev=b");
        auto c =
            answer("C", "{IC}", 2, 4, 3, "x-directplay:/hostname=10.0.0.3", "x-directplay:/dev=c");
        offer(w, a);
        offer(w, b);
        offer(w, c);
        ASSERT_EQ(w.lstGames->count(), 3);

        // A and C keep answering; B falls silent.
        for (int step = 0; step < 4; ++step) {
            now += 500;
            offer(w, a);
            offer(w, c);
            w.tmrExpire_Timer();
        }
        ASSERT_EQ(w.lstGames->count(), 3);  // B is silent for exactly 2000 ms: kept
        now += 1;
        w.tmrExpire_Timer();  // 2001 ms
        ASSERT_EQ(w.lstGames->count(), 2);
        EXPECT_EQ(w.lastSession, 1);
        EXPECT_EQ(w.lstGames->item(0)->text(), "A - 1/6 - Latency:1 ms");
        EXPECT_EQ(w.lstGames->item(1)->text(), "C - 2/4 - Latency:3 ms");
        EXPECT_EQ(w.lstGames->item(1)->data(Qt::UserRole).toInt(), 1);
        EXPECT_EQ(w.Sessions[1].Desc.guidInstance, "{IC}");
        EXPECT_EQ(w.Sessions[1].HostURL, "x-directplay:/hostname=10.0.0.3");

        // Joining the third session's line connects to the third session.
        w.lstGames->setCurrentRow(1);
        w.cmdJoin->click();
    });
    EXPECT_EQ(peer->connectDesc.guidInstance, "{IC}");
    EXPECT_EQ(peer->connectHost.url, "x-directplay:/hostname=10.0.0.3");
    EXPECT_EQ(peer->connectDevice.url, "x-directplay:/dev=c");
    EXPECT_EQ(wizard->NumPlayers(), 4);
}

TEST_F(WizardTest, StoppedSearchFreezesTheLinesUntilTheyAllExpire) {
    run([&](DPlayConnect& w) {
        startSearch(w, true);
        auto a = answer("A", "{IA}", 1, 6, 1);
        auto b = answer("B", "{IB}", 1, 6, 2);
        offer(w, a);
        now += 400;
        offer(w, b);
        w.cmdRefresh->click();  // stop
        auto late = answer("A", "{IA}", 5, 6, 9);
        offer(w, late);  // no longer listed
        EXPECT_EQ(w.lstGames->item(0)->text(), "A - 1/6 - Latency:1 ms");
        now += 1601;  // A silent 2001 ms, B 1601 ms
        w.tmrExpire_Timer();
        ASSERT_EQ(w.lstGames->count(), 1);
        EXPECT_EQ(w.lstGames->item(0)->text(), "B - 1/6 - Latency:2 ms");
        EXPECT_EQ(w.lstGames->item(0)->data(Qt::UserRole).toInt(), 0);
        now += 400;
        w.tmrExpire_Timer();
        EXPECT_EQ(w.lstGames->count(), 0);
        EXPECT_EQ(w.lastSession, -1);
        EXPECT_TRUE(w.Sessions.empty());
        w.tmrExpire_Timer();  // an empty table: nothing happens
    });
}

TEST_F(WizardTest, TwoSilentNeighboursGoOverTwoTicks) {
    run([&](DPlayConnect& w) {
        startSearch(w, true);
        for (const char* id : {"{1}", "{2}", "{3}"}) {
            offer(w, answer(QString::fromLatin1(id), QString::fromLatin1(id), 1, 6, 1));
        }
        now += 2500;
        w.tmrExpire_Timer();  // removes {1}; {2} moves to 0 and waits; {3} (now at 1) goes
        EXPECT_EQ(w.lastSession, 0);
        ASSERT_EQ(w.lstGames->count(), 1);
        EXPECT_EQ(w.lstGames->item(0)->text().left(3), "{2}");
        w.tmrExpire_Timer();
        EXPECT_EQ(w.lstGames->count(), 0);
        EXPECT_EQ(w.lastSession, -1);
    });
}

TEST_F(WizardTest, TickCountWrapIsNoSilence) {
    now = 0xFFFFFF00u;
    run([&](DPlayConnect& w) {
        startSearch(w, true);
        offer(w, answer("A", "{IA}", 1, 6, 1));
        now += 0x200;  // wraps past zero: 512 ms later
        w.tmrExpire_Timer();
        EXPECT_EQ(w.lstGames->count(), 1);
    });
}

TEST_F(WizardTest, FirstAnswerAfterTheTableEmptiedClearsTheList) {
    run([&](DPlayConnect& w) {
        startSearch(w, true);
        w.lstGames->addItem("left over");
        offer(w, answer("A", "{IA}", 1, 6, 1));
        ASSERT_EQ(w.lstGames->count(), 1);
        EXPECT_EQ(w.lstGames->item(0)->text(), "A - 1/6 - Latency:1 ms");
    });
}

TEST_F(WizardTest, JoinWithoutASelectionChangesNothing) {
    run([&](DPlayConnect& w) {
        startSearch(w);
        auto a = answer("A", "{IA}", 1, 6, 1);
        offer(w, a);
        w.lstGames->clearSelection();
        w.cmdJoin->click();
        ASSERT_TRUE(lastBox(1, "You must first select a game from the list to join.",
                            "Select game.", QMessageBox::Information));
        EXPECT_FALSE(w.stopListing());
        EXPECT_EQ(w.NumPlayers(), 0);
        EXPECT_FALSE(peer->calls.contains("SetPeerInfo"));
        EXPECT_EQ(peer->connects, 0);
        EXPECT_EQ(w.currentPage(), 1);
    });
}

TEST_F(WizardTest, JoinConnectsAndFinishesAsAPlayer) {
    orvel::SaveDefault("UserName", "Bea");
    const bool result = run([&](DPlayConnect& w) {
        startSearch(w);
        offer(w, answer("Race", "{IA}", 2, 5, 7));  // no URLs: the device address serves
        w.lstGames->setCurrentRow(0);
        const QString device = w.deviceAddress->GetURL();
        w.lstGames_DblClick();
        EXPECT_EQ(peer->connectHost.url, device);
        EXPECT_EQ(peer->connectDevice.url, device);
        EXPECT_TRUE(w.stopListing());
        // The join itself leaves the search running.
        EXPECT_FALSE(peer->calls.contains("CancelAsyncOperation"));
        EXPECT_EQ(w.searchState(), 1);
    });
    EXPECT_TRUE(result);
    EXPECT_EQ(peer->info.Name, "Bea");
    EXPECT_EQ(peer->info.lInfoFlags, 1);
    EXPECT_EQ(peer->infoFlags, static_cast<int32_t>(0x80000000u));
    EXPECT_EQ(peer->connectDesc.guidInstance, "{IA}");
    EXPECT_EQ(peer->connectDesc.guidApplication, kGuid);
    EXPECT_TRUE(peer->connectDesc.SessionName.isEmpty());
    EXPECT_EQ(peer->connectDesc.lMaxPlayers, 0);
    EXPECT_EQ(peer->connectFlags, 1);
    EXPECT_EQ(wizard->UserName(), "Bea");
    EXPECT_FALSE(wizard->IsHost());
    EXPECT_EQ(wizard->NumPlayers(), 5);
    EXPECT_TRUE(wizard->SessionName().isEmpty());
    EXPECT_EQ(wizard->deviceAddress, nullptr);
    EXPECT_EQ(callback.events, (QStringList{"EnumHostsResponse", "ConnectComplete"}));
    // The finished wizard ends the search.
    EXPECT_EQ(peer->calls.count("CancelAsyncOperation"), 1);
    EXPECT_EQ(peer->cancelledHandle, wizard->enumHandle);
    EXPECT_EQ(wizard->searchState(), 0);
}

TEST_F(WizardTest, AFullSessionKeepsTheWizardOnPageOne) {
    peer->connectResult = dx8::DPNERR_SESSIONFULL;
    const bool result = run([&](DPlayConnect& w) {
        findAndPick(w, answer("Race", "{IA}", 1, 1, 7));
        w.cmdJoin->click();
        EXPECT_FALSE(w.wizardDone());
        EXPECT_EQ(w.currentPage(), 1);
        EXPECT_TRUE(w.connectDone());
        EXPECT_FALSE(w.connectOK());
        EXPECT_EQ(w.cmdRefresh->text(), "Stop Search");
    });
    EXPECT_FALSE(result);
    ASSERT_TRUE(lastBox(1,
                        "The maximum number of people allowed in this session have already "
                        "joined.  Please choose a different session or create your own.",
                        "Full", QMessageBox::Information));
    EXPECT_FALSE(callback.events.contains("ConnectComplete"));  // not forwarded
}

TEST_F(WizardTest, AnyOtherConnectResultEndsTheWizardWithSuccess) {
    peer->connectResult = dx8::DPNERR_NORESPONSE;
    const bool result = run([&](DPlayConnect& w) {
        findAndPick(w, answer("Race", "{IA}", 1, 6, 7));
        w.cmdJoin->click();
    });
    EXPECT_TRUE(result);
    EXPECT_TRUE(boxes.empty());
    ASSERT_EQ(callback.connectResults.size(), 1u);
    EXPECT_EQ(callback.connectResults[0], dx8::DPNERR_NORESPONSE);
}

TEST_F(WizardTest, AConnectThatCannotStartIsReportedAndListingGoesOn) {
    run([&](DPlayConnect& w) {
        startSearch(w);
        offer(w, answer("Race", "{IA}", 1, 6, 7, "not a url"));
        w.lstGames->setCurrentRow(0);
        w.cmdJoin->click();
        ASSERT_TRUE(lastBox(1, "Unable to join the session.  Error: 0x80158450", "Error",
                            QMessageBox::Critical));
        EXPECT_FALSE(w.stopListing());
        EXPECT_EQ(w.currentPage(), 1);
        EXPECT_FALSE(w.wizardDone());

        peer->failConnect = dx8::DPNERR_INVALIDHOSTADDRESS;
        offer(w, answer("Other", "{IB}", 1, 6, 7));
        w.lstGames->setCurrentRow(1);
        w.cmdJoin->click();
        ASSERT_TRUE(lastBox(2, "Unable to join the session.  Error: 0x80158370"));
        EXPECT_FALSE(w.stopListing());
    });
    EXPECT_EQ(peer->connects, 0);
}

TEST_F(WizardTest, OneJoinAtATime) {
    peer->connectResult.reset();  // the test completes the connect itself
    const bool result = run([&](DPlayConnect& w) {
        findAndPick(w, answer("Race", "{IA}", 1, 6, 7));
        QTimer::singleShot(0, &w, [&] {
            w.cmdJoin->click();  // while the first join waits
            w.cmdCreate->click();
            EXPECT_EQ(w.currentPage(), 1);
            dx8::DPNMSG_CONNECT_COMPLETE done;
            bool reject = false;
            w.DirectPlay8Event_ConnectComplete(done, reject);
        });
        w.cmdJoin->click();
    });
    EXPECT_TRUE(result);
    EXPECT_EQ(peer->connects, 1);
}

TEST_F(WizardTest, ClosingTheWindowEndsAJoinThatNeverCompletes) {
    peer->connectResult.reset();
    const bool result = run([&](DPlayConnect& w) {
        findAndPick(w, answer("Race", "{IA}", 1, 6, 7));
        QTimer::singleShot(0, &w, [&] { w.close(); });
        w.cmdJoin->click();
        EXPECT_FALSE(w.connectDone());
    });
    EXPECT_FALSE(result);
}

// ---- Page 2
// --------------------------------------------------------------------------------------

TEST_F(WizardTest, CreateButtonFillsThePageFromTheSettings) {
    orvel::SaveDefault("GameName", "Sunday Cup");
    orvel::SaveDefault("HostMigrate", "1");
    run(
        [&](DPlayConnect& w) {
            openCreatePage(w);
            EXPECT_EQ(w.txtGameName->text(), "Sunday Cup");
            EXPECT_EQ(w.txtUsers->text(), "5");
            EXPECT_TRUE(w.chkMigrate->isChecked());
            EXPECT_EQ(w.focusWidget(), w.txtGameName);
        },
        true, 5);
    clearSettings();
    makeWizard();
    run([&](DPlayConnect& w) {
        w.cmdOk->click();
        w.chkMigrate->setChecked(true);
        w.cmdCreate->click();
        EXPECT_EQ(w.txtGameName->text(), "");
        EXPECT_EQ(w.txtUsers->text(), "6");
        EXPECT_FALSE(w.chkMigrate->isChecked());
    });
}

struct NumberCase {
    const char* text;
    const char* box;  // nullptr: created
    int32_t players;
};

TEST_F(WizardTest, NumberOfPlayersRules) {
    const QString tooMany = QStringLiteral(
        "The number of maximum players you specified exceeds the number of maximum players "
        "allowed in this session.\r\nPlease lower the number of your maximum players.");
    const std::vector<NumberCase> cases = {
        {"6", nullptr, 6},
        {"7", "Too many players.", 0},
        {"0", "No max players.", 0},
        {"", "No max players.", 0},
        {"abc", "No max players.", 0},
        {"4 players", nullptr, 4},
        {" 3", nullptr, 3},
        {"2.5", nullptr, 2},
        {"3.5", nullptr, 4},
        {"-2", "No max players.", 0},
        {"6.4", "Too many players.", 0},
    };
    for (const NumberCase& c : cases) {
        SCOPED_TRACE(c.text);
        boxes.clear();
        makeWizard();
        peer = std::make_shared<FakePeer>();
        peer->providers = {sp("TCP/IP")};
        const bool result = run([&](DPlayConnect& w) {
            openCreatePage(w);
            w.txtGameName->setText("Cup");
            w.txtUsers->setText(QString::fromLatin1(c.text));
            w.cmdOkCreate->click();
            if (c.box != nullptr) {
                EXPECT_EQ(w.currentPage(), 2);
                EXPECT_FALSE(w.IsHost());
            }
        });
        if (c.box == nullptr) {
            EXPECT_TRUE(result);
            EXPECT_TRUE(boxes.empty());
            EXPECT_EQ(peer->hostDesc.lMaxPlayers, c.players);
            EXPECT_EQ(wizard->NumPlayers(), c.players);
        } else {
            EXPECT_FALSE(result);
            ASSERT_TRUE(lastBox(1,
                                QString::fromLatin1(c.box) == "Too many players."
                                    ? tooMany
                                    : QStringLiteral("You must enter a number of max players."),
                                QString::fromLatin1(c.box), QMessageBox::Information));
            EXPECT_FALSE(peer->calls.contains("Host"));
        }
    }
}

TEST_F(WizardTest, AnEmptyNameComesFirst) {
    run([&](DPlayConnect& w) {
        openCreatePage(w);
        w.txtGameName->setText("");
        w.txtUsers->setText("");
        w.cmdOkCreate->click();
        ASSERT_TRUE(lastBox(1, "You must enter a session name to create a session.", "No name.",
                            QMessageBox::Information));
        EXPECT_EQ(w.currentPage(), 2);
        // A refused name still counts as the name taken.
        w.txtGameName->setText("Tried");
        w.txtUsers->setText("9");
        w.cmdOkCreate->click();
        EXPECT_EQ(w.SessionName(), "Tried");
    });
    EXPECT_EQ(orvel::GetDefault("GameName", "<none>"), "<none>");
}

TEST_F(WizardTest, CreatingHostsTheSessionAndFinishesAsHost) {
    orvel::SaveDefault("UserName", "Cat");
    const bool result = run([&](DPlayConnect& w) {
        w.cmdOk->click();
        const QString device = w.deviceAddress->GetURL();
        w.cmdCreate->click();
        w.txtGameName->setText("Night Race");
        w.txtUsers->setText("4");
        w.chkMigrate->setChecked(true);
        EXPECT_EQ(w.txtPassword->echoMode(), QLineEdit::Password);
        w.txtPassword->setText("s3cret");
        QTest::keyClick(w.txtUsers, Qt::Key_Return);  // the default button
        EXPECT_EQ(peer->hostDevice.url, device);
    });
    EXPECT_TRUE(result);
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(peer->calls.filter(QRegularExpression("SetPeerInfo|Host")),
              (QStringList{"SetPeerInfo", "Host"}));
    EXPECT_EQ(peer->info.Name, "Cat");
    EXPECT_EQ(peer->info.lInfoFlags, 1);
    EXPECT_EQ(peer->infoFlags, static_cast<int32_t>(0x80000000u));
    EXPECT_EQ(peer->hostDesc.guidApplication, kGuid);
    EXPECT_EQ(peer->hostDesc.SessionName, "Night Race");
    EXPECT_EQ(peer->hostDesc.lMaxPlayers, 4);
    EXPECT_EQ(peer->hostDesc.lFlags, 4);
    EXPECT_EQ(peer->hostDesc.Password, "s3cret");
    EXPECT_EQ(peer->hostFlags, 1);
    EXPECT_TRUE(wizard->IsHost());
    EXPECT_EQ(wizard->SessionName(), "Night Race");
    EXPECT_EQ(wizard->NumPlayers(), 4);
    EXPECT_EQ(wizard->UserName(), "Cat");
    EXPECT_EQ(wizard->deviceAddress, nullptr);
    EXPECT_EQ(orvel::GetDefault("GameName"), "Night Race");
    EXPECT_EQ(orvel::GetDefault("HostMigrate"), "1");
    const QSettings stored(QSettings::IniFormat, QSettings::UserScope, "Orvel",
                           orvel::kSettingsApp);
    for (const QString& key : stored.allKeys()) {
        EXPECT_NE(stored.value(key), "s3cret") << key.toStdString();  // the password is never saved
    }
}

TEST_F(WizardTest, MigrationNotAllowedHostsWithoutTheFlagAndKeepsTheSetting) {
    orvel::SaveDefault("HostMigrate", "1");
    const bool result = run(
        [&](DPlayConnect& w) {
            openCreatePage(w);
            EXPECT_TRUE(w.chkMigrate->isChecked());
            w.txtGameName->setText("Cup");
            w.cmdOkCreate->click();
        },
        false);
    EXPECT_TRUE(result);
    EXPECT_EQ(peer->hostDesc.lFlags, 0);
    EXPECT_TRUE(peer->hostDesc.Password.isEmpty());  // a blank password: anyone may join
    EXPECT_EQ(orvel::GetDefault("HostMigrate"), "1");
}

TEST_F(WizardTest, AFailedHostReturnsToPageOne) {
    peer->failHost = dx8::DPNERR_INVALIDDEVICEADDRESS;
    run([&](DPlayConnect& w) {
        openCreatePage(w);
        w.txtGameName->setText("Cup");
        w.chkMigrate->setChecked(false);
        w.cmdOkCreate->click();
        EXPECT_EQ(w.currentPage(), 1);
        EXPECT_FALSE(w.IsHost());
        EXPECT_FALSE(w.wizardDone());
        ASSERT_TRUE(lastBox(1, "Unable to create session", "No session", QMessageBox::Critical));
        EXPECT_EQ(boxes[0].page, 2);  // shown before the page changes

        // The player may try again.
        peer->failHost.reset();
        w.cmdCreate->click();
        EXPECT_EQ(w.txtGameName->text(), "Cup");  // the name tried is remembered
        w.cmdOkCreate->click();
        EXPECT_TRUE(w.wizardDone());
    });
    EXPECT_EQ(orvel::GetDefault("GameName"), "Cup");
    EXPECT_EQ(orvel::GetDefault("HostMigrate"), "0");
    EXPECT_TRUE(wizard->IsHost());
}

TEST_F(WizardTest, AFailedPeerInfoAlsoFailsTheCreate) {
    peer->failSetInfo = dx8::DPNERR_INVALIDPARAM;
    run([&](DPlayConnect& w) {
        openCreatePage(w);
        w.txtGameName->setText("Cup");
        w.cmdOkCreate->click();
        EXPECT_EQ(w.currentPage(), 1);
    });
    ASSERT_TRUE(lastBox(1, {}, "No session"));
    EXPECT_FALSE(peer->calls.contains("Host"));
    EXPECT_EQ(wizard->NumPlayers(), 6);  // set when the attempt started
}
