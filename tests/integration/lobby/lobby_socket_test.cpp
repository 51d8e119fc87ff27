// The lobbied application over its real sockets, in one process: the test plays lobby clients,
// good and hostile, and a handler records what reaches the program.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>
#include <functional>
#include <memory>
#include <vector>

#include "dx_result.h"
#include "wait.h"
#include "platform/dx8/directx8.h"
#include "platform/dx8/lobby/lobby_protocol.h"

using namespace dx8;

namespace {

const QString kApp = QStringLiteral("{EABD4D9B-6AA9-4c24-9D10-1A6701B07342}");
const QString kTcpUrl =
    QStringLiteral("x-directplay:/provider=%7BEBFE7BA0-628D-11D2-AE0F-006097B01411%7D");

using orvel::testing::waitUntil;

using orvel::testing::codeOf;

class Recorder : public DirectPlay8LobbyEvent {
public:
    std::vector<DPL_MESSAGE_CONNECT> connects;
    std::vector<DPNHANDLE> disconnects;
    bool rejectNext = false;
    std::function<void(DPL_MESSAGE_CONNECT&)> onConnect;

    void DirectPlay8LobbyEvent_Connect(DPL_MESSAGE_CONNECT& m, bool& reject) override {
        connects.push_back(m);
        reject = rejectNext;
        if (onConnect) {
            onConnect(m);
        }
    }
    void DirectPlay8LobbyEvent_ConnectionSettings(DPL_MESSAGE_CONNECTION_SETTINGS&) override {}
    void DirectPlay8LobbyEvent_Disconnect(DPNHANDLE h, int32_t) override {
        disconnects.push_back(h);
    }
    void DirectPlay8LobbyEvent_Receive(DPL_MESSAGE_RECEIVE&, bool&) override {}
    void DirectPlay8LobbyEvent_SessionStatus(int32_t, DPNHANDLE) override {}
};

DPL_CONNECTION_SETTINGS hostRequest(const QString& name) {
    DPL_CONNECTION_SETTINGS s;
    s.lFlags = DPLCONNECTSETTINGS_HOST;
    s.ApplicationDescription.guidApplication = kApp;
    s.ApplicationDescription.SessionName = QStringLiteral("Race");
    s.PlayerName = name;
    s.AddressDeviceUrl = kTcpUrl;
    return s;
}

// One lobby client connection, read and written by the test.
class Client {
public:
    explicit Client(const QString& path) {
        socket_.connectToServer(path);
        connected_ = socket_.waitForConnected(3000);
    }
    bool connected() const { return connected_; }
    void send(const QByteArray& bytes) {
        socket_.write(bytes);
        socket_.flush();
    }
    void request(const DPL_CONNECTION_SETTINGS& s) { send(lobby::frame(lobby::encodeRequest(s))); }
    // The program's reply, or nothing when it hung up or stayed silent for timeoutMs.
    std::optional<lobby::Reply> reply(int timeoutMs = 5000) {
        waitUntil(
            [&] {
                reader_.append(socket_.readAll());
                if (auto p = reader_.next()) {
                    payload_ = *p;
                    return true;
                }
                return socket_.state() != QLocalSocket::ConnectedState;
            },
            timeoutMs);
        if (!payload_) {
            return std::nullopt;
        }
        auto r = lobby::decodeReply(*payload_);
        payload_.reset();
        return r;
    }
    bool hungUp(int timeoutMs = 5000) {
        return waitUntil([&] { return socket_.state() != QLocalSocket::ConnectedState; }, timeoutMs);
    }
    void close() { socket_.abort(); }

private:
    QLocalSocket socket_;
    bool connected_ = false;
    lobby::FrameReader reader_;
    std::optional<QByteArray> payload_;
};

class LobbySocket : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(home_.isValid());
        qputenv("XDG_CONFIG_HOME", home_.filePath(QStringLiteral("config")).toLocal8Bit());
        qputenv("XDG_RUNTIME_DIR", home_.filePath(QStringLiteral("run")).toLocal8Bit());
        QDir().mkpath(home_.filePath(QStringLiteral("run")));
        qunsetenv(lobby::kConnectionVariable);
        QString error;
        folder_ = lobby::runtimeFolder(&error);
        ASSERT_FALSE(folder_.isEmpty()) << error.toStdString();
        app_ = root_.DirectPlayLobbiedApplicationCreate();
    }
    void TearDown() override {
        if (app_) {
            app_->Close();
        }
        app_.reset();
        QCoreApplication::processEvents();
    }

    void makeAvailable(int32_t flags = 0) {
        app_->RegisterMessageHandler(&events_);
        DPL_PROGRAM_DESC p;
        p.guidApplication = kApp;
        p.ApplicationName = QStringLiteral("orvel");
        app_->RegisterProgram(p, 0);
        app_->SetAppAvailable(true, flags);
    }
    QString socketPath() const {
        return lobby::availabilitySocket(folder_, QUuid::fromString(kApp), ::getpid());
    }

    QTemporaryDir home_;
    QString folder_;
    DirectX8 root_;
    std::shared_ptr<DirectPlay8LobbiedApplication> app_;
    Recorder events_;
};

QByteArray header(quint32 n) {
    QByteArray h(4, '\0');
    qToBigEndian(n, h.data());
    return h;
}

TEST_F(LobbySocket, CallsAreCheckedBeforeAnythingListens) {
    app_->RegisterMessageHandler(&events_);
    EXPECT_EQ(codeOf([&] { app_->SetAppAvailable(true, 0); }), DPNERR_NOTREGISTERED);
    DPL_PROGRAM_DESC p;
    p.guidApplication = QStringLiteral("Kartova");
    EXPECT_EQ(codeOf([&] { app_->RegisterProgram(p, 0); }), DPNERR_INVALIDPARAM);
    p.guidApplication = kApp;
    EXPECT_EQ(codeOf([&] { app_->RegisterProgram(p, 1); }), DPNERR_INVALIDFLAGS);
    EXPECT_EQ(codeOf([&] { app_->RegisterProgram(p, 0); }), DPN_OK);
    EXPECT_TRUE(lobby::readRegistration(kApp));
    EXPECT_EQ(codeOf([&] { app_->SetAppAvailable(true, 2); }), DPNERR_INVALIDFLAGS);
    EXPECT_EQ(codeOf([&] { app_->GetConnectionSettings(1, 0); }), DPNERR_INVALIDHANDLE);
    EXPECT_EQ(codeOf([&] { app_->RegisterMessageHandler(nullptr); }), DPNERR_INVALIDPARAM);
    // A runtime folder that others could enter is not used.
    ::chmod(QFile::encodeName(folder_).constData(), 0755);
    EXPECT_EQ(codeOf([&] { app_->SetAppAvailable(true, 0); }), DPNERR_NOTALLOWED);
    ::chmod(QFile::encodeName(folder_).constData(), 0700);
    EXPECT_EQ(codeOf([&] { app_->SetAppAvailable(true, 0); }), DPN_OK);
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(socketPath()).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 077, 0u);  // the socket itself is the user's alone
    app_->SetAppAvailable(false, 0);
    EXPECT_FALSE(QFile::exists(socketPath()));
    EXPECT_EQ(codeOf([&] { app_->UnRegisterProgram(kApp, 0); }), DPN_OK);
    EXPECT_EQ(codeOf([&] { app_->UnRegisterProgram(kApp, 0); }), DPNERR_DOESNOTEXIST);
    app_->Close();
    EXPECT_EQ(codeOf([&] { app_->SetAppAvailable(true, 0); }), DPNERR_UNINITIALIZED);
    EXPECT_EQ(codeOf([&] { app_->RegisterProgram(p, 0); }), DPNERR_UNINITIALIZED);
}

TEST_F(LobbySocket, HostileClientsAreRefusedAndTheProgramStaysAvailable) {
    makeAvailable();
    auto wrongApp = hostRequest(QStringLiteral("Ann"));
    wrongApp.ApplicationDescription.guidApplication =
        QStringLiteral("{11111111-2222-3333-4444-555555555555}");
    auto joinWithoutHost = hostRequest(QStringLiteral("Ann"));
    joinWithoutHost.lFlags = 0;
    const std::vector<std::pair<const char*, QByteArray>> junk = {
        {"zero length", header(0)},
        {"oversized length", header(lobby::kMaxFrameBytes + 1) + QByteArray(64, 'x')},
        {"endless length", header(0xFFFFFFFF)},
        {"noise", QByteArray(20000, '\x5a')},
        {"not JSON", lobby::frame("hello")},
        {"JSON of another kind", lobby::frame(R"({"type":"launch","version":1})")},
        {"huge name", lobby::frame(R"({"type":"connect","version":1,"flags":1,"playerName":")" +
                                   QByteArray(3000, 'n') + R"(","application":{}})")},
        {"another application", lobby::frame(lobby::encodeRequest(wrongApp))},
        {"a join without a host", lobby::frame(lobby::encodeRequest(joinWithoutHost))},
    };
    for (const auto& [name, bytes] : junk) {
        Client c(socketPath());
        ASSERT_TRUE(c.connected()) << name;
        c.send(bytes);
        const auto reply = c.reply();
        ASSERT_TRUE(reply) << name;
        EXPECT_FALSE(reply->taken) << name;
        EXPECT_FALSE(reply->reason.isEmpty()) << name;
        EXPECT_TRUE(c.hungUp()) << name;
    }
    {
        // Half a frame, then gone.
        Client c(socketPath());
        c.send(lobby::frame(lobby::encodeRequest(hostRequest(QStringLiteral("Ann")))).left(30));
        c.close();
    }
    // Connections that never speak: beyond a few at once the next is turned away.
    std::vector<std::unique_ptr<Client>> idle;
    for (int i = 0; i < 4; ++i) {
        idle.push_back(std::make_unique<Client>(socketPath()));
        ASSERT_TRUE(idle.back()->connected());
    }
    QTest::qWait(100);
    Client crowd(socketPath());
    const auto turnedAway = crowd.reply();
    ASSERT_TRUE(turnedAway);
    EXPECT_EQ(turnedAway->reason, QStringLiteral("too many lobby connections at once"));
    idle.clear();
    // The program lets the idle ones go before a newcomer finds room; it shows no count to wait on.
    QTest::qWait(100);
    EXPECT_TRUE(events_.connects.empty());

    // After all that, a good request trickled in byte by byte still gets through.
    Client good(socketPath());
    ASSERT_TRUE(good.connected());
    const QByteArray bytes = lobby::frame(lobby::encodeRequest(hostRequest(QStringLiteral("Ann"))));
    for (const char b : bytes) {
        good.send(QByteArray(1, b));
        QCoreApplication::processEvents();
    }
    ASSERT_TRUE(waitUntil([&] { return events_.connects.size() == 1; }));
    EXPECT_EQ(events_.connects[0].AddressDeviceUrl, kTcpUrl);
    // Not taken yet, so no answer yet.
    EXPECT_FALSE(good.reply(300));
    const DPL_CONNECTION_SETTINGS s = app_->GetConnectionSettings(events_.connects[0].ConnectId, 0);
    EXPECT_EQ(s.PlayerName, QStringLiteral("Ann"));
    EXPECT_EQ(s.lFlags, DPLCONNECTSETTINGS_HOST);
    EXPECT_EQ(s.ApplicationDescription.SessionName, QStringLiteral("Race"));
    const auto taken = good.reply();
    ASSERT_TRUE(taken);
    EXPECT_TRUE(taken->taken);
    // Taking them again answers nothing more and still gives the settings.
    EXPECT_EQ(app_->GetConnectionSettings(events_.connects[0].ConnectId, 0).PlayerName, "Ann");
    EXPECT_EQ(codeOf([&] { app_->GetConnectionSettings(events_.connects[0].ConnectId, 1); }),
              DPNERR_INVALIDFLAGS);
    // One lobby client per availability: the program no longer listens.
    EXPECT_FALSE(QFile::exists(socketPath()));
    EXPECT_FALSE(Client(socketPath()).connected());
    // The lobby client leaving is reported.
    good.close();
    ASSERT_TRUE(waitUntil([&] { return events_.disconnects.size() == 1; }));
    EXPECT_EQ(events_.disconnects[0], events_.connects[0].ConnectId);
}

TEST_F(LobbySocket, ARejectedConnectionIsRefusedAndMultipleConnectKeepsListening) {
    makeAvailable(DPLAVAILABLE_ALLOWMULTIPLECONNECT);
    events_.rejectNext = true;
    Client first(socketPath());
    first.request(hostRequest(QStringLiteral("Ann")));
    const auto refused = first.reply();
    ASSERT_TRUE(refused);
    EXPECT_FALSE(refused->taken);
    EXPECT_EQ(refused->reason, QStringLiteral("the program rejected the lobby connection"));
    EXPECT_EQ(codeOf([&] { app_->GetConnectionSettings(events_.connects[0].ConnectId, 0); }),
              DPNERR_INVALIDHANDLE);
    events_.rejectNext = false;
    events_.onConnect = [&](DPL_MESSAGE_CONNECT& m) {
        app_->GetConnectionSettings(m.ConnectId, 0);
    };
    for (int i = 0; i < 2; ++i) {
        Client next(socketPath());
        ASSERT_TRUE(next.connected());
        next.request(hostRequest(QStringLiteral("Bob")));
        const auto r = next.reply();
        ASSERT_TRUE(r);
        EXPECT_TRUE(r->taken);
    }
    EXPECT_EQ(events_.connects.size(), 3u);
    EXPECT_NE(events_.connects[1].ConnectId, events_.connects[2].ConnectId);
}

TEST_F(LobbySocket, AClientGoneBeforeTheSettingsAreTakenHurtsNothing) {
    makeAvailable();
    Client leaving(socketPath());
    leaving.request(hostRequest(QStringLiteral("Ann")));
    ASSERT_TRUE(waitUntil([&] { return events_.connects.size() == 1; }));
    // Gone before the program answers: the answer meets a closed socket.
    leaving.close();
    QTest::qSleep(50);
    const DPL_CONNECTION_SETTINGS s = app_->GetConnectionSettings(events_.connects[0].ConnectId, 0);
    EXPECT_EQ(s.PlayerName, QStringLiteral("Ann"));
    ASSERT_TRUE(waitUntil([&] { return events_.disconnects.size() == 1; }));
    app_->SetAppAvailable(true, 0);
    Client next(socketPath());
    EXPECT_TRUE(next.connected());
}

TEST_F(LobbySocket, ClosingTellsWaitingClientsAndStopsListening) {
    makeAvailable();
    Client waiting(socketPath());
    ASSERT_TRUE(waiting.connected());
    Client accepted(socketPath());
    accepted.request(hostRequest(QStringLiteral("Ann")));
    ASSERT_TRUE(waitUntil([&] { return events_.connects.size() == 1; }));
    app_->Close();
    for (Client* c : {&waiting, &accepted}) {
        const auto r = c->reply();
        ASSERT_TRUE(r);
        EXPECT_FALSE(r->taken);
        EXPECT_EQ(r->reason, QStringLiteral("the program has closed its lobby interface"));
    }
    EXPECT_FALSE(QFile::exists(socketPath()));
    EXPECT_EQ(codeOf([&] { app_->GetConnectionSettings(events_.connects[0].ConnectId, 0); }),
              DPNERR_UNINITIALIZED);
    // The good one came after the idle ones had gone, and none of those made a connect.
    EXPECT_EQ(events_.connects.size(), 1u);
    app_.reset();  // dropping a closed one is fine too
}

TEST_F(LobbySocket, ALaunchConnectionIsTakenFromTheEnvironmentOnce) {
    // Outside the private folder: ignored.
    QTemporaryDir elsewhere;
    QLocalServer stranger;
    ASSERT_TRUE(stranger.listen(elsewhere.filePath(QStringLiteral("launch-1-x.sock"))));
    qputenv(lobby::kConnectionVariable, stranger.fullServerName().toLocal8Bit());
    auto ignored = root_.DirectPlayLobbiedApplicationCreate();
    ignored->RegisterMessageHandler(&events_);
    EXPECT_FALSE(qEnvironmentVariableIsSet(lobby::kConnectionVariable));
    ignored->Close();

    // In the private folder: taken, and the request arrives as a Connect.
    QLocalServer launcher;
    ASSERT_TRUE(launcher.listen(folder_ + QStringLiteral("/launch-1-abc.sock")));
    qputenv(lobby::kConnectionVariable, launcher.fullServerName().toLocal8Bit());
    app_->RegisterMessageHandler(&events_);
    EXPECT_FALSE(qEnvironmentVariableIsSet(lobby::kConnectionVariable));
    QLocalSocket* program = nullptr;
    ASSERT_TRUE(waitUntil([&] {
        if (launcher.hasPendingConnections()) {
            program = launcher.nextPendingConnection();
        }
        return program != nullptr;
    }));
    // By the time the good one has connected, the one outside would have been reached too.
    EXPECT_FALSE(stranger.hasPendingConnections());
    auto join = hostRequest(QStringLiteral("Cy"));
    join.lFlags = 0;
    join.AddressSenderUrl = kTcpUrl + QStringLiteral(";hostname=127.0.0.1;port=2302");
    program->write(lobby::frame(lobby::encodeRequest(join)));
    ASSERT_TRUE(waitUntil([&] { return events_.connects.size() == 1; }));
    EXPECT_EQ(events_.connects[0].AddressSenderUrl, join.AddressSenderUrl);
    app_->GetConnectionSettings(events_.connects[0].ConnectId, 0);
    lobby::FrameReader reader;
    ASSERT_TRUE(waitUntil([&] {
        reader.append(program->readAll());
        return reader.buffered() > 0;
    }));
    const auto reply = lobby::decodeReply(*reader.next());
    ASSERT_TRUE(reply);
    EXPECT_TRUE(reply->taken);
    // A handler registered again does not look a second time.
    app_->UnRegisterMessageHandler();
    app_->RegisterMessageHandler(&events_);
    EXPECT_FALSE(launcher.waitForNewConnection(200));
}

}  // namespace
