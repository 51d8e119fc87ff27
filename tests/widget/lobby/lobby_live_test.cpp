// The wizard with the real platform objects (peers on loopback, the lobbied application and its
// socket), the test playing the lobby client: what a lobby asks is done, and once the wizard has
// finished the lobby connection is given back and nobody can reach the program any more.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QListWidget>
#include <QLocalSocket>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QUdpSocket>

#include "connect_wizard/dplay_connect.h"
#include "platform/dx8/lobby/lobby_protocol.h"
#include "platform/dx8/play/peer_extras.h"
#include "ui_common/message_box.h"
#include "wait.h"
#include "wizard_fakes.h"

using namespace dx8;
using orvel::DPlayConnect;

namespace {

const QString kGuid = QStringLiteral("{EABD4D9B-6AA9-4c24-9D10-1A6701B07342}");
const QString kTcpUrl =
    QStringLiteral("x-directplay:/provider=%7BEBFE7BA0-628D-11D2-AE0F-006097B01411%7D");

using orvel::testing::waitUntil;

// What a lobby sends for Bob to join the session hosted on this machine's port.
DPL_CONNECTION_SETTINGS bobJoins(int port) {
    DPL_CONNECTION_SETTINGS s;
    s.ApplicationDescription.guidApplication = kGuid;
    s.PlayerName = QStringLiteral("Bob");
    s.AddressSenderUrl = kTcpUrl + QStringLiteral(";hostname=127.0.0.1;port=%1").arg(port);
    s.AddressDeviceUrl = kTcpUrl;
    return s;
}

// A UDP port outside the session range that nobody uses right now.
int freePort() {
    for (int i = 0; i < 50; ++i) {
        QUdpSocket probe;
        if (probe.bind(QHostAddress::Any, 0)) {
            const int port = probe.localPort();
            if (port > 2400) {
                return port;
            }
        }
    }
    return 0;
}

class LobbyClient {
public:
    bool send(const QString& path, const DPL_CONNECTION_SETTINGS& s) {
        socket_.connectToServer(path);
        if (!socket_.waitForConnected(orvel::testing::scaledMs(3000))) {
            return false;
        }
        socket_.write(lobby::frame(lobby::encodeRequest(s)));
        socket_.flush();
        return true;
    }
    // Polled while the wizard runs; true once a reply came.
    bool poll() {
        reader_.append(socket_.readAll());
        if (auto p = reader_.next()) {
            reply_ = lobby::decodeReply(*p);
        }
        return reply_.has_value();
    }
    std::optional<lobby::Reply> reply_;

private:
    QLocalSocket socket_;
    lobby::FrameReader reader_;
};

class LobbyLive : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(home_.isValid());
        qputenv("XDG_CONFIG_HOME", home_.filePath(QStringLiteral("config")).toLocal8Bit());
        qputenv("XDG_RUNTIME_DIR", home_.filePath(QStringLiteral("run")).toLocal8Bit());
        QDir().mkpath(home_.filePath(QStringLiteral("run")));
        orvel::SetMessageBoxHook(
            [this](QWidget*, const QString& text, const QString& caption, QMessageBox::Icon) {
                boxes << caption + QStringLiteral(": ") + text;
            });
        peer = root->DirectPlayPeerCreate();
        wizard = std::make_unique<DPlayConnect>();
    }
    void TearDown() override {
        orvel::SetMessageBoxHook({});
        if (peer) {
            peer->UnRegisterMessageHandler();
            peer->Close(0);
        }
        if (wizard) {
            wizard->GoUnload();
        }
        wizard.reset();
        peer.reset();
        for (auto& p : others) {
            p->UnRegisterMessageHandler();
            p->Close(0);
        }
    }

    QString socketPath() const {
        QString error;
        return lobby::availabilitySocket(lobby::runtimeFolder(&error), QUuid::fromString(kGuid),
                                         ::getpid());
    }

    // Runs the wizard; script runs inside its run loop, on page 3.
    bool run(const std::function<void(DPlayConnect&)>& script) {
        QTimer::singleShot(0, wizard.get(), [this, script] {
            wizard->lstSP->setCurrentRow(wizard->lstSP->count() - 1);
            wizard->cmdOk->click();
            EXPECT_EQ(wizard->currentPage(), 3);
            script(*wizard);
            if (!wizard->wizardDone()) {
                wizard->close();
            }
        });
        return wizard->StartConnectWizard(root, peer, kGuid, 6, &callback, true);
    }

    // A session hosted by another peer of this process.
    int hostElsewhere(int32_t maxPlayers) {
        auto host = root->DirectPlayPeerCreate();
        host->RegisterMessageHandler(&hostEvents);
        DPN_PLAYER_INFO me;
        me.Name = QStringLiteral("Hostess");
        me.lInfoFlags = DPNINFO_NAME;
        host->SetPeerInfo(me, DPNSETPEERINFO_SYNC);
        DPN_APPLICATION_DESC desc;
        desc.guidApplication = kGuid;
        desc.lMaxPlayers = maxPlayers;
        desc.SessionName = QStringLiteral("Elsewhere");
        host->Host(desc, nullptr, 0);
        others.push_back(host);
        return sessionPortOf(host.get());
    }

    QTemporaryDir home_;
    std::shared_ptr<DirectX8> root = std::make_shared<DirectX8>();
    std::shared_ptr<DirectPlay8Peer> peer;
    std::vector<std::shared_ptr<DirectPlay8Peer>> others;
    std::unique_ptr<DPlayConnect> wizard;
    wizard_test::RecordingCallback callback;
    wizard_test::RecordingCallback hostEvents;
    QStringList boxes;
};

TEST_F(LobbyLive, AHostRequestHostsAndTheLobbyIsGivenBackWhenTheWizardEnds) {
    const int port = freePort();
    ASSERT_GT(port, 0);
    LobbyClient lobbyClient;
    LobbyRegistration during;
    const bool result = run([&](DPlayConnect& w) {
        DPL_CONNECTION_SETTINGS s;
        s.lFlags = DPLCONNECTSETTINGS_HOST;
        s.ApplicationDescription.guidApplication = kGuid;
        s.ApplicationDescription.SessionName = QStringLiteral("Lobby race");
        s.ApplicationDescription.lMaxPlayers = 2;
        s.PlayerName = QStringLiteral("Ann");
        s.AddressDeviceUrl = kTcpUrl + QStringLiteral(";port=%1").arg(port);
        ASSERT_TRUE(lobbyClient.send(socketPath(), s));
        ASSERT_TRUE(waitUntil([&] { return w.wizardDone(); }));
        during = lobbyRegistrationOf(peer.get());
    });
    ASSERT_TRUE(result);
    EXPECT_TRUE(boxes.isEmpty()) << boxes.join('\n').toStdString();
    EXPECT_TRUE(wizard->IsHost());
    EXPECT_EQ(wizard->UserName(), QStringLiteral("Ann"));
    EXPECT_EQ(wizard->SessionName(), QStringLiteral("Lobby race"));
    EXPECT_EQ(sessionPortOf(peer.get()), port);
    // The lobby client heard that its settings were taken.
    ASSERT_TRUE(waitUntil([&] { return lobbyClient.poll(); }));
    EXPECT_TRUE(lobbyClient.reply_->taken);
    // Registered while the wizard ran, given back when it finished; the interface is closed.
    EXPECT_EQ(during.handle, wizard->lobbyConnection);
    EXPECT_NE(during.application, nullptr);
    const LobbyRegistration after = lobbyRegistrationOf(peer.get());
    EXPECT_EQ(after.handle, 0);
    EXPECT_EQ(after.application, nullptr);
    EXPECT_EQ(wizard->lobbyApp, nullptr);
    // A second lobby request finds nobody to talk to, and the session goes on.
    EXPECT_FALSE(QFile::exists(socketPath()));
    QLocalSocket second;
    second.connectToServer(socketPath());
    EXPECT_FALSE(second.waitForConnected(orvel::testing::scaledMs(1000)));
    QString error;
    EXPECT_TRUE(
        lobby::availablePrograms(lobby::runtimeFolder(&error), QUuid::fromString(kGuid)).empty());
    EXPECT_EQ(sessionPortOf(peer.get()), port);
}

TEST_F(LobbyLive, AJoinWithoutAnInstanceJoinsTheSessionTheAddressHosts) {
    const int port = hostElsewhere(6);
    ASSERT_GT(port, 0);
    LobbyClient lobbyClient;
    const bool result = run([&](DPlayConnect& w) {
        ASSERT_TRUE(lobbyClient.send(socketPath(), bobJoins(port)));
        ASSERT_TRUE(waitUntil([&] { return w.wizardDone(); }));
    });
    ASSERT_TRUE(result);
    EXPECT_FALSE(wizard->IsHost());
    EXPECT_EQ(wizard->UserName(), QStringLiteral("Bob"));
    EXPECT_TRUE(callback.events.contains(QStringLiteral("ConnectComplete")));
    EXPECT_EQ(callback.connectResults, (std::vector<HRESULT>{DPN_OK}));
    // The host sees the joiner under the lobby's name.
    ASSERT_TRUE(
        waitUntil([&] { return hostEvents.events.count(QStringLiteral("CreatePlayer")) == 2; }));
    EXPECT_EQ(lobbyRegistrationOf(peer.get()).handle, 0);
}

TEST_F(LobbyLive, AJoinIntoAFullSessionSaysFullAndShowsPageOne) {
    const int port = hostElsewhere(1);
    LobbyClient lobbyClient;
    const bool result = run([&](DPlayConnect& w) {
        ASSERT_TRUE(lobbyClient.send(socketPath(), bobJoins(port)));
        ASSERT_TRUE(waitUntil([&] { return !boxes.isEmpty(); }));
        EXPECT_TRUE(waitUntil([&] { return w.currentPage() == 1; }));
        EXPECT_FALSE(w.wizardDone());
    });
    EXPECT_FALSE(result);
    ASSERT_EQ(boxes.size(), 1);
    EXPECT_TRUE(boxes[0].startsWith(QStringLiteral("Full: The maximum number of people")));
    // The lobby connection was registered and, with the wizard's end, given back.
    EXPECT_EQ(lobbyRegistrationOf(peer.get()).handle, 0);
    EXPECT_EQ(wizard->lobbyApp, nullptr);
}

}  // namespace
