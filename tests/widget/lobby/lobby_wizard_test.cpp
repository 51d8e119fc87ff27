// The wizard's lobby launch against test doubles: a lobby connection hosts or joins what its
// settings say, on whatever page is shown, and is given back when the wizard finishes.
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRegularExpression>

#include "wizard_test_support.h"

using namespace wizard_test;
using orvel::DPlayConnect;

namespace {

const QString kTcpUrl =
    QStringLiteral("x-directplay:/provider=%7BEBFE7BA0-628D-11D2-AE0F-006097B01411%7D");

// A lobby that holds connection settings per handle and hands them out.
class SettingsLobby : public FakeLobby {
public:
    std::map<dx8::DPNHANDLE, dx8::DPL_CONNECTION_SETTINGS> settings;
    std::optional<dx8::HRESULT> failSettings;

    dx8::DPL_CONNECTION_SETTINGS GetConnectionSettings(dx8::DPNHANDLE h, int32_t flags) override {
        calls << QStringLiteral("GetConnectionSettings %1 %2").arg(h).arg(flags);
        if (failSettings) {
            dx8::raise(*failSettings);
        }
        auto it = settings.find(h);
        if (it == settings.end()) {
            dx8::raise(dx8::DPNERR_INVALIDHANDLE);
        }
        return it->second;
    }
};

// A peer whose lobby registration behaves as the platform's: one at a time, handles recorded.
class LobbyPeer : public FakePeer {
public:
    dx8::DPNHANDLE registered = 0;
    dx8::DirectPlay8LobbiedApplication* registeredWith = nullptr;

    void RegisterLobby(dx8::DPNHANDLE h, dx8::DirectPlay8LobbiedApplication* app,
                       int32_t lFlags) override {
        calls << QStringLiteral("RegisterLobby %1 %2").arg(h).arg(lFlags);
        if (lFlags == dx8::DPNLOBBY_REGISTER) {
            if (registered != 0) {
                dx8::raise(dx8::DPNERR_ALREADYREGISTERED);
            }
            registered = h;
            registeredWith = app;
        } else {
            if (registered == 0) {
                dx8::raise(dx8::DPNERR_NOTREGISTERED);
            }
            registered = 0;
            registeredWith = nullptr;
        }
    }
};

class LobbyWizardTest : public WizardTest {
protected:
    void SetUp() override {
        lobbyPeer = std::make_shared<LobbyPeer>();
        peer = lobbyPeer;
        WizardTest::SetUp();
        wizard->createLobbiedApplication = [this] { return settingsLobby; };
    }

    dx8::DPL_CONNECTION_SETTINGS hostSettings(const QString& name, const QString& session) {
        dx8::DPL_CONNECTION_SETTINGS s;
        s.lFlags = dx8::DPLCONNECTSETTINGS_HOST;
        s.ApplicationDescription.guidApplication = kGuid;
        s.ApplicationDescription.SessionName = session;
        s.ApplicationDescription.lMaxPlayers = 2;  // what the lobby asks; ours wins
        s.PlayerName = name;
        s.AddressDeviceUrl = kTcpUrl + QStringLiteral(";port=2310");
        return s;
    }
    dx8::DPL_CONNECTION_SETTINGS joinSettings(const QString& name) {
        dx8::DPL_CONNECTION_SETTINGS s;
        s.ApplicationDescription.guidApplication = kGuid;
        s.PlayerName = name;
        s.AddressSenderUrl = kTcpUrl + QStringLiteral(";hostname=127.0.0.1;port=2302");
        s.AddressDeviceUrl = kTcpUrl;
        return s;
    }

    // Delivers a lobby connection the way the platform does; returns the handler's reject answer.
    bool connectLobby(DPlayConnect& w, dx8::DPNHANDLE handle,
                      const dx8::DPL_CONNECTION_SETTINGS& s) {
        settingsLobby->settings[handle] = s;
        dx8::DPL_MESSAGE_CONNECT m;
        m.ConnectId = handle;
        m.AddressSenderUrl = s.AddressSenderUrl;
        m.AddressDeviceUrl = s.AddressDeviceUrl;
        bool reject = false;
        w.DirectPlay8LobbyEvent_Connect(m, reject);
        return reject;
    }

    void toLobbyPage(DPlayConnect& w) {
        w.lstSP->setCurrentRow(w.lstSP->count() - 1);
        w.cmdOk->click();
        ASSERT_EQ(w.currentPage(), 3);
    }

    QStringList lobbyCalls() const {
        return peer->calls.filter(QRegularExpression(QStringLiteral("^RegisterLobby")));
    }

    std::shared_ptr<LobbyPeer> lobbyPeer;
    std::shared_ptr<SettingsLobby> settingsLobby = std::make_shared<SettingsLobby>();
};

TEST_F(LobbyWizardTest, AHostRequestHostsWithMigrationAndOurSizeWhateverTheLobbyAsked) {
    const bool result = run([&](DPlayConnect& w) {
        toLobbyPage(w);
        EXPECT_FALSE(
            connectLobby(w, 7, hostSettings(QStringLiteral("Ann"), QStringLiteral("Lobby race"))));
        EXPECT_TRUE(w.wizardDone());
    });
    EXPECT_TRUE(result);
    EXPECT_EQ(peer->hostDesc.lFlags, dx8::DPNSESSION_MIGRATE_HOST);
    EXPECT_EQ(peer->hostDesc.lMaxPlayers, 6);
    EXPECT_EQ(peer->hostDesc.SessionName, "Lobby race");
    EXPECT_EQ(peer->hostDesc.guidApplication, kGuid);
    EXPECT_EQ(peer->hostFlags, 0);
    EXPECT_EQ(peer->hostDevice.url, kTcpUrl + QStringLiteral(";port=2310"));
    EXPECT_EQ(peer->info.Name, "Ann");
    EXPECT_EQ(peer->info.lInfoFlags, dx8::DPNINFO_NAME);
    EXPECT_EQ(peer->infoFlags, dx8::DPNSETPEERINFO_SYNC);
    EXPECT_TRUE(wizard->IsHost());
    EXPECT_EQ(wizard->UserName(), "Ann");
    EXPECT_EQ(wizard->SessionName(), "Lobby race");
    EXPECT_EQ(wizard->NumPlayers(), 0);  // left as it was
    EXPECT_EQ(wizard->lobbyConnection, 7);
    EXPECT_TRUE(settingsLobby->calls.contains("GetConnectionSettings 7 0"));
    // Registered with the peer on arrival, given back and closed when the wizard finished.
    EXPECT_EQ(lobbyCalls(), (QStringList{"RegisterLobby 7 1", "RegisterLobby 7 2"}));
    EXPECT_EQ(lobbyPeer->registered, 0);
    EXPECT_EQ(settingsLobby->calls.last(), "Close");
    EXPECT_EQ(wizard->lobbyApp, nullptr);
    EXPECT_EQ(wizard->deviceAddress, nullptr);
}

TEST_F(LobbyWizardTest, TheHostSizeIsTheCallersLimitAndAskedMigrationStays) {
    auto s = hostSettings(QStringLiteral("Ann"), QStringLiteral("Four"));
    s.ApplicationDescription.lMaxPlayers = 50;
    s.ApplicationDescription.lFlags = dx8::DPNSESSION_MIGRATE_HOST;
    s.ApplicationDescription.Password = QStringLiteral("pw");
    EXPECT_TRUE(run([&](DPlayConnect& w) { connectLobby(w, 3, s); }, /*allowMigrate=*/false, 4));
    EXPECT_EQ(peer->hostDesc.lMaxPlayers, 4);
    EXPECT_EQ(peer->hostDesc.lFlags, dx8::DPNSESSION_MIGRATE_HOST);
    EXPECT_EQ(peer->hostDesc.Password, "pw");  // the lobby's password is the session's
}

TEST_F(LobbyWizardTest, AFailedHostSaysSoAndShowsTheSessionPage) {
    peer->failHost = dx8::DPNERR_INVALIDDEVICEADDRESS;
    const bool result = run([&](DPlayConnect& w) {
        toLobbyPage(w);
        connectLobby(w, 9, hostSettings(QStringLiteral("Ann"), QStringLiteral("Taken port")));
        EXPECT_FALSE(w.wizardDone());
        EXPECT_EQ(w.currentPage(), 1);
        EXPECT_FALSE(w.IsHost());
        EXPECT_EQ(w.UserName(), "Ann");
    });
    EXPECT_FALSE(result);
    ASSERT_TRUE(lastBox(1, "Unable to create session", "No session", QMessageBox::Critical));
    // Still registered until the end, then given back.
    EXPECT_EQ(lobbyCalls(), (QStringList{"RegisterLobby 9 1", "RegisterLobby 9 2"}));
}

TEST_F(LobbyWizardTest, AJoinRequestConnectsWithTheLobbysDescriptionAndAddresses) {
    const auto s = joinSettings(QStringLiteral("Bob"));
    const bool result = run([&](DPlayConnect& w) {
        toLobbyPage(w);
        connectLobby(w, 11, s);
    });
    EXPECT_TRUE(result);
    EXPECT_FALSE(wizard->IsHost());
    EXPECT_EQ(wizard->UserName(), "Bob");
    EXPECT_EQ(peer->info.Name, "Bob");
    EXPECT_EQ(peer->infoFlags, dx8::DPNSETPEERINFO_SYNC);
    EXPECT_EQ(peer->connects, 1);
    // Unchanged: an empty instance GUID joins whatever session the address hosts.
    EXPECT_TRUE(peer->connectDesc.guidInstance.isEmpty());
    EXPECT_EQ(peer->connectDesc.guidApplication, kGuid);
    EXPECT_EQ(peer->connectHost.url, s.AddressSenderUrl);
    EXPECT_EQ(peer->connectDevice.url, s.AddressDeviceUrl);
    EXPECT_EQ(peer->connectFlags, 0);
    EXPECT_EQ(callback.events, (QStringList{"ConnectComplete"}));
    EXPECT_EQ(lobbyCalls(), (QStringList{"RegisterLobby 11 1", "RegisterLobby 11 2"}));
    EXPECT_EQ(wizard->lobbyApp, nullptr);
}

TEST_F(LobbyWizardTest, AJoinIntoAFullSessionShowsFullAndPageOne) {
    peer->connectResult = dx8::DPNERR_SESSIONFULL;
    const bool result = run([&](DPlayConnect& w) {
        toLobbyPage(w);
        connectLobby(w, 4, joinSettings(QStringLiteral("Bob")));
        EXPECT_FALSE(w.wizardDone());
        EXPECT_EQ(w.currentPage(), 1);
        EXPECT_TRUE(w.connectDone());
        EXPECT_FALSE(w.connectOK());
    });
    EXPECT_FALSE(result);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, "Full");
    EXPECT_EQ(boxes[0].page, 3);  // shown before page 1 came back
    EXPECT_TRUE(callback.events.isEmpty());
}

TEST_F(LobbyWizardTest, AJoinWithAWrongPasswordSaysSoAndShowsPageOne) {
    peer->connectResult = dx8::DPNERR_INVALIDPASSWORD;
    auto s = joinSettings(QStringLiteral("Bob"));
    s.ApplicationDescription.SessionName = QStringLiteral("Lobby race");
    s.ApplicationDescription.Password = QStringLiteral("guess");
    EXPECT_FALSE(run([&](DPlayConnect& w) {
        connectLobby(w, 4, s);
        EXPECT_EQ(w.currentPage(), 1);
    }));
    EXPECT_EQ(peer->connectDesc.Password, "guess");
    ASSERT_TRUE(lastBox(1, "Wrong password for \"Lobby race\".", "Wrong password"));
    EXPECT_TRUE(callback.events.isEmpty());  // the main window never hears of it
}

TEST_F(LobbyWizardTest, AConnectionWithoutAPlayerNameShowsPageZeroAndStaysRegistered) {
    const bool result = run([&](DPlayConnect& w) {
        w.txtUserName->setText(QStringLiteral("Typed"));
        toLobbyPage(w);
        connectLobby(w, 5, joinSettings(QString()));
        EXPECT_EQ(w.currentPage(), 0);
        EXPECT_EQ(w.windowTitle(), "Kartova Multiplayer - v1.1 - Choose Protocol");
        EXPECT_FALSE(w.wizardDone());
        EXPECT_EQ(lobbyPeer->registered, 5);
        EXPECT_EQ(w.UserName(), "Typed");
    });
    EXPECT_FALSE(result);
    EXPECT_EQ(peer->connects, 0);
    EXPECT_EQ(peer->calls.count("Host"), 0);
    EXPECT_EQ(lobbyCalls(), (QStringList{"RegisterLobby 5 1", "RegisterLobby 5 2"}));
}

TEST_F(LobbyWizardTest, ALaterConnectionTakesThePlaceOfANamelessOne) {
    const bool result = run([&](DPlayConnect& w) {
        toLobbyPage(w);
        connectLobby(w, 5, joinSettings(QString()));
        toLobbyPage(w);
        connectLobby(w, 6, hostSettings(QStringLiteral("Cy"), QStringLiteral("Second")));
    });
    EXPECT_TRUE(result);
    EXPECT_TRUE(wizard->IsHost());
    EXPECT_EQ(lobbyCalls(), (QStringList{"RegisterLobby 5 1", "RegisterLobby 5 2",
                                         "RegisterLobby 6 1", "RegisterLobby 6 2"}));
}

TEST_F(LobbyWizardTest, AConnectionWhilePageOneIsShownIsHandledAsOnPageThree) {
    const bool result = run([&](DPlayConnect& w) {
        w.cmdOk->click();
        ASSERT_EQ(w.currentPage(), 1);
        w.cmdRefresh->click();  // a search is running as well
        connectLobby(w, 21, joinSettings(QStringLiteral("Dee")));
    });
    EXPECT_TRUE(result);
    EXPECT_EQ(wizard->UserName(), "Dee");
    EXPECT_FALSE(wizard->IsHost());
    EXPECT_EQ(peer->connectHost.url, joinSettings({}).AddressSenderUrl);
    EXPECT_EQ(wizard->searchState(), 0);  // the finished wizard stopped it
}

TEST_F(LobbyWizardTest, AConnectionOnTheCreatePageHosts) {
    const bool result = run([&](DPlayConnect& w) {
        w.cmdOk->click();
        w.cmdCreate->click();
        ASSERT_EQ(w.currentPage(), 2);
        connectLobby(w, 2, hostSettings(QStringLiteral("Eve"), QStringLiteral("From page 2")));
    });
    EXPECT_TRUE(result);
    EXPECT_EQ(wizard->SessionName(), "From page 2");
}

TEST_F(LobbyWizardTest, AFailingPlatformCallEndsTheHandlerQuietly) {
    settingsLobby->failSettings = dx8::DPNERR_INVALIDHANDLE;
    const bool result = run([&](DPlayConnect& w) {
        toLobbyPage(w);
        connectLobby(w, 8, joinSettings(QStringLiteral("Fay")));
        EXPECT_EQ(w.currentPage(), 3);
        EXPECT_FALSE(w.wizardDone());
        EXPECT_EQ(w.lobbyConnection, 8);  // what was done until then is kept
        settingsLobby->failSettings.reset();
        // A broken address in the settings ends it as quietly, after the registration.
        auto s = joinSettings(QStringLiteral("Fay"));
        s.AddressSenderUrl = QStringLiteral("not an address");
        connectLobby(w, 9, s);
        EXPECT_EQ(w.currentPage(), 3);
        EXPECT_EQ(lobbyPeer->registered, 9);
    });
    EXPECT_FALSE(result);
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(peer->connects, 0);
    // Only what was registered is given back; the wizard's end does not fail on the rest.
    EXPECT_EQ(lobbyCalls(), (QStringList{"RegisterLobby 9 1", "RegisterLobby 9 2"}));
}

TEST_F(LobbyWizardTest, AConnectionDuringAPageOneJoinIsRejected) {
    peer->connectResult.reset();  // the test completes the join itself
    bool rejectedDuringJoin = false;
    const bool result = run([&](DPlayConnect& w) {
        findAndPick(w, answer("Race", "{IA}", 1, 6, 7));
        QTimer::singleShot(0, &w, [&] {
            rejectedDuringJoin = connectLobby(w, 31, hostSettings("Gus", "Later"));
            dx8::DPNMSG_CONNECT_COMPLETE done;
            bool reject = false;
            w.DirectPlay8Event_ConnectComplete(done, reject);
        });
        w.cmdJoin->click();  // waits until the completion above
    });
    EXPECT_TRUE(result);
    EXPECT_TRUE(rejectedDuringJoin);
    EXPECT_EQ(peer->calls.count("Host"), 0);
    EXPECT_TRUE(lobbyCalls().isEmpty());
    EXPECT_FALSE(settingsLobby->calls.join(' ').contains("GetConnectionSettings"));
}

TEST_F(LobbyWizardTest, CancellingPageThreeMakesTheProgramUnavailable) {
    run([&](DPlayConnect& w) {
        toLobbyPage(w);
        EXPECT_EQ(settingsLobby->available, std::optional<bool>(true));
        w.cmdCancelLobby->click();
        EXPECT_EQ(settingsLobby->available, std::optional<bool>(false));
        EXPECT_EQ(w.currentPage(), 0);
    });
    EXPECT_EQ(settingsLobby->calls.filter("SetAppAvailable"),
              (QStringList{"SetAppAvailable 1 0", "SetAppAvailable 0 0"}));
}

TEST_F(LobbyWizardTest, TheClientVariantJoinsThroughItsClientAndCannotHost) {
    const bool joined =
        run([&](DPlayConnect& w) { connectLobby(w, 12, joinSettings(QStringLiteral("Hal"))); },
            true, 6, /*useClient=*/true);
    EXPECT_TRUE(joined);
    EXPECT_TRUE(client->calls.contains("SetClientInfo"));
    EXPECT_EQ(client->connects, 1);
    EXPECT_EQ(client->calls.filter("RegisterLobby"),
              (QStringList{"RegisterLobby 1", "RegisterLobby 2"}));

    makeWizard();
    wizard->createLobbiedApplication = [this] { return settingsLobby; };
    const bool hosted = run(
        [&](DPlayConnect& w) {
            connectLobby(w, 13, hostSettings(QStringLiteral("Hal"), QStringLiteral("No")));
            EXPECT_EQ(w.currentPage(), 1);
        },
        true, 6, true);
    EXPECT_FALSE(hosted);
    ASSERT_FALSE(boxes.empty());
    EXPECT_EQ(boxes.back().text, "Unable to create session");
}

}  // namespace
