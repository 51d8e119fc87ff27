// The lobbied application: the program's side of a lobby launch. It keeps the program's
// registration, listens for lobby clients while the program is available, takes the connection
// a launching lobby client named in the environment, checks every request, and reports each
// accepted one as a Connect notification through a dispatcher of its own.
#include <unistd.h>

#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLoggingCategory>
#include <QPointer>
#include <QTimer>
#include <map>
#include <memory>
#include <utility>

#include "platform/dx8/directx8.h"
#include "platform/dx8/lobby/lobby_protocol.h"
#include "platform/dx8/serial_dispatcher.h"

Q_LOGGING_CATEGORY(lcLobby, "orvel.lobby", QtCriticalMsg)

namespace dx8 {

namespace {

// A lobby client that has connected must send its request within this time.
constexpr int kRequestTimeoutMs = 10000;
// Connections still waiting for their request; more are turned away at once.
constexpr size_t kMaxWaitingConnections = 4;

class LobbiedApplication final : public QObject, public DirectPlay8LobbiedApplication {
public:
    LobbiedApplication() : dispatcher_(new SerialDispatcher(this)) {}
    ~LobbiedApplication() override { shutDown(); }

    void RegisterMessageHandler(DirectPlay8LobbyEvent* handler) override {
        checkOpen();
        if (handler == nullptr) {
            raise(DPNERR_INVALIDPARAM);
        }
        handler_ = handler;
        // A launch is reported only to a handler, so its connection is taken up here.
        if (!launchChecked_) {
            launchChecked_ = true;
            takeLaunchConnection();
        }
    }

    void UnRegisterMessageHandler() override { handler_ = nullptr; }

    void RegisterProgram(const DPL_PROGRAM_DESC& programDesc, int32_t lFlags) override {
        checkOpen();
        if (lFlags != 0) {
            raise(DPNERR_INVALIDFLAGS);
        }
        const QUuid application =
            QUuid::fromString(QStringView(programDesc.guidApplication).trimmed());
        if (application.isNull()) {
            raise(DPNERR_INVALIDPARAM, "the application GUID is not valid");
        }
        QString error;
        if (!lobby::writeRegistration(programDesc, &error)) {
            qCDebug(lcLobby) << "registration failed:" << error;
            raise(DPNERR_GENERIC, error.toLocal8Bit().constData());
        }
        application_ = application;
        qCDebug(lcLobby) << "registered" << programDesc.guidApplication << "as"
                         << programDesc.LauncherPath + QLatin1Char('/') +
                                programDesc.LauncherFilename;
    }

    void UnRegisterProgram(const QString& guidApplication, int32_t lFlags) override {
        checkOpen();
        if (lFlags != 0) {
            raise(DPNERR_INVALIDFLAGS);
        }
        if (lobby::guidKey(guidApplication).isEmpty()) {
            raise(DPNERR_INVALIDPARAM);
        }
        if (!lobby::removeRegistration(guidApplication)) {
            raise(DPNERR_DOESNOTEXIST);
        }
    }

    void SetAppAvailable(bool fAvailable, int32_t lFlags) override {
        checkOpen();
        if ((lFlags & ~DPLAVAILABLE_ALLOWMULTIPLECONNECT) != 0) {
            raise(DPNERR_INVALIDFLAGS);
        }
        if (!fAvailable) {
            stopListening();
            return;
        }
        if (application_.isNull()) {
            raise(DPNERR_NOTREGISTERED, "the program has not registered itself");
        }
        availableFlags_ = lFlags;
        if (server_ != nullptr) {
            return;
        }
        QString error;
        const QString folder = lobby::runtimeFolder(&error);
        if (folder.isEmpty()) {
            qCDebug(lcLobby) << "no lobby socket:" << error;
            raise(DPNERR_NOTALLOWED, error.toLocal8Bit().constData());
        }
        const QString name = lobby::availabilitySocket(folder, application_, ::getpid());
        // A file of that name can only be left over from an earlier process with our id.
        QLocalServer::removeServer(name);
        auto* server = new QLocalServer(this);
        server->setSocketOptions(QLocalServer::UserAccessOption);
        server->setMaxPendingConnections(static_cast<int>(kMaxWaitingConnections));
        if (!server->listen(name)) {
            const QString why = server->errorString();
            delete server;
            qCDebug(lcLobby) << "cannot listen on" << name << why;
            raise(DPNERR_GENERIC, why.toLocal8Bit().constData());
        }
        connect(server, &QLocalServer::newConnection, this, &LobbiedApplication::acceptClients);
        server_ = server;
        qCDebug(lcLobby) << "available to lobby clients at" << name;
    }

    DPL_CONNECTION_SETTINGS GetConnectionSettings(DPNHANDLE hLobbyClient, int32_t lFlags) override {
        checkOpen();
        if (lFlags != 0) {
            raise(DPNERR_INVALIDFLAGS);
        }
        auto it = accepted_.find(hLobbyClient);
        if (it == accepted_.end()) {
            raise(DPNERR_INVALIDHANDLE);
        }
        Accepted& a = it->second;
        if (!a.taken) {
            a.taken = true;
            if (a.socket != nullptr) {
                answer(a.socket, lobby::Reply{true, {}}, false);
            }
            qCDebug(lcLobby) << "connection" << hLobbyClient << "settings taken";
        }
        return a.settings;
    }

    void UpdateStatus(DPNHANDLE hLobbyClient, int32_t lStatus, int32_t lFlags,
                      HRESULT hrResult) override {
        checkOpen();
        if (lFlags != 0) {
            raise(DPNERR_INVALIDFLAGS);
        }
        if (lStatus < DPLSESSION_CONNECTED || lStatus > DPLSESSION_TERMINATED) {
            raise(DPNERR_INVALIDPARAM);
        }
        const auto it = accepted_.find(hLobbyClient);
        if (it == accepted_.end()) {
            raise(DPNERR_INVALIDHANDLE);
        }
        qCDebug(lcLobby) << "connection" << hLobbyClient << "status" << lStatus
                         << hresultHex(hrResult);
        if (it->second.socket != nullptr) {
            QLocalSocket* socket = it->second.socket;
            if (socket->state() == QLocalSocket::ConnectedState) {
                socket->write(lobby::frame(lobby::encodeStatus({lStatus, hrResult})));
                socket->flush();
            }
        }
    }

    void Close() override {
        shutDown();
        closed_ = true;
    }

private:
    struct Waiting {
        lobby::FrameReader reader;
        bool launch = false;
    };
    struct Accepted {
        DPL_CONNECTION_SETTINGS settings;
        QPointer<QLocalSocket> socket;
        bool taken = false;
    };

    void checkOpen() const {
        if (closed_) {
            raise(DPNERR_UNINITIALIZED);
        }
    }

    void stopListening() {
        if (server_ != nullptr) {
            server_->close();  // removes the socket file
            server_->deleteLater();
            server_ = nullptr;
            qCDebug(lcLobby) << "no longer available to lobby clients";
        }
    }

    void shutDown() {
        handler_ = nullptr;
        stopListening();
        dispatcher_->discardPending();
        // Taken out first: hanging up may report the disconnection at once.
        const auto waiting = std::exchange(waiting_, {});
        const auto accepted = std::exchange(accepted_, {});
        const lobby::Reply closing{false,
                                   QStringLiteral("the program has closed its lobby interface")};
        for (const auto& [socket, w] : waiting) {
            socket->disconnect(this);
            // Lobby clients still waiting learn why instead of seeing the line drop.
            answer(socket, closing, true);
        }
        for (const auto& [handle, a] : accepted) {
            if (a.socket != nullptr) {
                a.socket->disconnect(this);
                if (a.taken) {
                    hangUp(a.socket);
                } else {
                    answer(a.socket, closing, true);
                }
            }
        }
    }

    // ---- Connections --------------------------------------------------------------------------

    void acceptClients() {
        while (server_ != nullptr && server_->hasPendingConnections()) {
            QLocalSocket* socket = server_->nextPendingConnection();
            if (socket == nullptr) {
                break;
            }
            socket->setParent(this);
            if (!lobby::peerIsSameUser(socket->socketDescriptor())) {
                qCDebug(lcLobby) << "connection of another user refused";
                socket->abort();
                socket->deleteLater();
                continue;
            }
            if (waiting_.size() >= kMaxWaitingConnections) {
                answer(socket, {false, QStringLiteral("too many lobby connections at once")}, true);
                continue;
            }
            watch(socket, false);
        }
    }

    void takeLaunchConnection() {
        const QString path = qEnvironmentVariable(lobby::kConnectionVariable);
        if (path.isEmpty()) {
            return;
        }
        // Once only: programs this one starts must not take the same connection.
        qunsetenv(lobby::kConnectionVariable);
        QString error;
        const QString folder = lobby::runtimeFolder(&error);
        const QFileInfo info(path);
        if (folder.isEmpty() || QDir::cleanPath(info.absolutePath()) != folder ||
            !info.fileName().startsWith(QLatin1String("launch-")) ||
            !info.fileName().endsWith(QLatin1String(".sock"))) {
            qCDebug(lcLobby) << "launch connection" << path << "ignored:"
                             << (folder.isEmpty() ? error : QStringLiteral("not a lobby socket"));
            return;
        }
        auto* socket = new QLocalSocket(this);
        connect(socket, &QLocalSocket::connected, this, [socket] {
            if (!lobby::peerIsSameUser(socket->socketDescriptor())) {
                qCDebug(lcLobby) << "launch connection of another user dropped";
                socket->abort();
            }
        });
        watch(socket, true);
        socket->connectToServer(path);
        qCDebug(lcLobby) << "taking the launch connection" << path;
    }

    void watch(QLocalSocket* socket, bool launch) {
        Waiting& w = waiting_[socket];
        w.launch = launch;
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readFrom(socket); });
        connect(socket, &QLocalSocket::disconnected, this, [this, socket] { dropped(socket); });
        connect(socket, &QLocalSocket::errorOccurred, this, [this, socket] {
            if (socket->state() != QLocalSocket::ConnectedState) {
                dropped(socket);
            }
        });
        QTimer::singleShot(kRequestTimeoutMs, socket, [this, socket] {
            if (waiting_.count(socket) != 0) {
                waiting_.erase(socket);
                answer(socket, {false, QStringLiteral("no request in time")}, true);
            }
        });
        if (socket->bytesAvailable() > 0) {
            readFrom(socket);
        }
    }

    void dropped(QLocalSocket* socket) {
        if (waiting_.erase(socket) != 0) {
            socket->deleteLater();
            return;
        }
        for (auto& [handle, a] : accepted_) {
            if (a.socket == socket) {
                a.socket = nullptr;
                socket->deleteLater();
                const DPNHANDLE h = handle;
                post([h](DirectPlay8LobbyEvent& e) { e.DirectPlay8LobbyEvent_Disconnect(h, 0); });
                return;
            }
        }
    }

    void readFrom(QLocalSocket* socket) {
        auto it = waiting_.find(socket);
        if (it == waiting_.end()) {
            // Accepted already: one request per connection, anything further is ignored.
            socket->read(socket->bytesAvailable());
            return;
        }
        lobby::FrameReader& reader = it->second.reader;
        reader.append(socket->read(lobby::kMaxFrameBytes + 4));
        if (reader.bad()) {
            waiting_.erase(it);
            answer(socket, {false, QStringLiteral("malformed request")}, true);
            return;
        }
        const std::optional<QByteArray> payload = reader.next();
        if (!payload) {
            // More may be waiting beyond what one read takes.
            if (socket->bytesAvailable() > 0) {
                QMetaObject::invokeMethod(
                    this,
                    [this, s = QPointer<QLocalSocket>(socket)] {
                        if (s != nullptr) {
                            readFrom(s);
                        }
                    },
                    Qt::QueuedConnection);
            }
            return;
        }
        const bool launch = it->second.launch;
        waiting_.erase(it);
        handleRequest(socket, *payload, launch);
    }

    void handleRequest(QLocalSocket* socket, const QByteArray& payload, bool launch) {
        QString why;
        std::optional<DPL_CONNECTION_SETTINGS> settings = lobby::decodeRequest(payload, &why);
        if (settings && !application_.isNull() &&
            lobby::guidKey(settings->ApplicationDescription.guidApplication) !=
                lobby::guidKey(application_.toString())) {
            why = QStringLiteral("this program is registered for another application");
            settings.reset();
        }
        if (settings && !launch && server_ == nullptr) {
            why = QStringLiteral("the program is no longer available to lobby clients");
            settings.reset();
        }
        if (settings && handler_ == nullptr) {
            why = QStringLiteral("the program takes no lobby connections now");
            settings.reset();
        }
        if (!settings) {
            qCDebug(lcLobby) << "lobby request refused:" << why;
            answer(socket, {false, why}, true);
            return;
        }
        const DPNHANDLE handle = nextHandle_++;
        if (nextHandle_ <= 0) {
            nextHandle_ = 1;
        }
        accepted_[handle] = Accepted{*settings, socket, false};
        if (!launch && (availableFlags_ & DPLAVAILABLE_ALLOWMULTIPLECONNECT) == 0) {
            stopListening();  // one lobby client per availability
        }
        qCDebug(lcLobby) << "lobby connection" << handle << (launch ? "(launch)" : "(running)")
                         << ((settings->lFlags & DPLCONNECTSETTINGS_HOST) ? "host" : "join")
                         << settings->PlayerName;
        DPL_MESSAGE_CONNECT message;
        message.ConnectId = handle;
        message.AddressSenderUrl = settings->AddressSenderUrl;
        message.AddressDeviceUrl = settings->AddressDeviceUrl;
        const QPointer<LobbiedApplication> self(this);
        post([self, message](DirectPlay8LobbyEvent& e) mutable {
            bool reject = false;
            e.DirectPlay8LobbyEvent_Connect(message, reject);
            if (reject && self != nullptr) {
                self->rejected(message.ConnectId);
            }
        });
    }

    void rejected(DPNHANDLE handle) {
        auto it = accepted_.find(handle);
        if (it == accepted_.end()) {
            return;
        }
        if (it->second.socket != nullptr && !it->second.taken) {
            answer(it->second.socket,
                   {false, QStringLiteral("the program rejected the lobby connection")}, true);
        }
        accepted_.erase(it);
    }

    // Sends a reply; with hangUp the connection ends once the reply has gone out.
    void answer(QLocalSocket* socket, const lobby::Reply& reply, bool end) {
        if (socket->state() == QLocalSocket::ConnectedState) {
            socket->write(lobby::frame(lobby::encodeReply(reply)));
            socket->flush();
        }
        if (end) {
            hangUp(socket);
        }
    }

    static void hangUp(QLocalSocket* socket) {
        QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        socket->disconnectFromServer();
        if (socket->state() == QLocalSocket::UnconnectedState) {
            socket->deleteLater();
        }
    }

    void post(std::function<void(DirectPlay8LobbyEvent&)> call) {
        const QPointer<LobbiedApplication> self(this);
        dispatcher_->post([self, call = std::move(call)] {
            // Looked up at delivery: a handler unregistered meanwhile receives nothing.
            if (self != nullptr && self->handler_ != nullptr) {
                call(*self->handler_);
            }
        });
    }

    SerialDispatcher* dispatcher_;
    DirectPlay8LobbyEvent* handler_ = nullptr;
    QUuid application_;
    QLocalServer* server_ = nullptr;
    int32_t availableFlags_ = 0;
    bool launchChecked_ = false;
    bool closed_ = false;
    std::map<QLocalSocket*, Waiting> waiting_;
    std::map<DPNHANDLE, Accepted> accepted_;
    DPNHANDLE nextHandle_ = 1;
};

}  // namespace

std::shared_ptr<DirectPlay8LobbiedApplication> DirectX8::DirectPlayLobbiedApplicationCreate() {
    return std::make_shared<LobbiedApplication>();
}

}  // namespace dx8
