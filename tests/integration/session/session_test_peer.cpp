// A scriptable session player for the integration tests: one command per line on stdin, one
// line per notification on stdout.
//
//   name TEXT                       SetPeerInfo (synchronous)
//   rename TEXT                     SetPeerInfo (asynchronous)
//   host MAX FLAGS [PORT]           Host; prints "HOSTED port"
//   connect HOST PORT [LOCAL]       Connect (from local port LOCAL); prints "PORT port" once the
//                                   join is under way
//   send NAME|all|self FLAGS TEXT   SendTo the player with that name (hex flags)
//   enum [HOST[:PORT]]              EnumHosts, no end; prints "ENUMHANDLE h"
//   cancel                          CancelAsyncOperation of the last search
//   nest MS                         the next Receive handler runs a nested event loop for MS ms
//   info NAME                       GetPeerInfo; prints "PEERINFO name flags"
//   close                           Close(0); prints "CLOSED"
//   quit

#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdio>
#include <map>

#include "platform/dx8/directx8.h"
#include "platform/dx8/event_adapters.h"
#include "platform/dx8/play/peer_extras.h"

using namespace dx8;

namespace {

const QString kApp = QStringLiteral("{EABD4D9B-6AA9-4c24-9D10-1A6701B07342}");

void out(const QString& line) {
    std::fputs(line.toUtf8().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

class TestPeer : public DirectPlay8EventAdapter {
public:
    TestPeer() : peer_(root_.DirectPlayPeerCreate()) { peer_->RegisterMessageHandler(this); }

    void command(const QString& line) {
        const QStringList words = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (words.isEmpty()) {
            return;
        }
        const QString& cmd = words[0];
        try {
            if (cmd == QLatin1String("name") || cmd == QLatin1String("rename")) {
                DPN_PLAYER_INFO info;
                info.lInfoFlags = DPNINFO_NAME;
                info.Name = line.section(QLatin1Char(' '), 1);
                peer_->SetPeerInfo(info, cmd == QLatin1String("name") ? DPNSETPEERINFO_SYNC : 0);
            } else if (cmd == QLatin1String("host")) {
                DPN_APPLICATION_DESC desc;
                desc.guidApplication = kApp;
                desc.lMaxPlayers = words.value(1).toInt();
                desc.lFlags = words.value(2).toInt();
                desc.SessionName = QStringLiteral("test session");
                auto device = root_.DirectPlayAddressCreate();
                device->SetSP(DP8SP_TCPIP);
                if (words.size() > 3) {
                    device->AddComponentLong(DPNA_KEY_PORT, words[3].toInt());
                }
                peer_->Host(desc, device.get(), 0);
                out(QStringLiteral("HOSTED %1").arg(sessionPortOf(peer_.get())));
            } else if (cmd == QLatin1String("connect")) {
                DPN_APPLICATION_DESC desc;
                desc.guidApplication = kApp;
                auto hostAddr = root_.DirectPlayAddressCreate();
                hostAddr->SetSP(DP8SP_TCPIP);
                hostAddr->AddComponentString(DPNA_KEY_HOSTNAME, words.value(1));
                hostAddr->AddComponentLong(DPNA_KEY_PORT, words.value(2).toInt());
                auto device = root_.DirectPlayAddressCreate();
                device->SetSP(DP8SP_TCPIP);
                if (words.size() > 3) {
                    device->AddComponentLong(DPNA_KEY_PORT, words[3].toInt());
                }
                peer_->Connect(desc, hostAddr.get(), device.get(), 0, {}, 0);
                out(QStringLiteral("PORT %1").arg(sessionPortOf(peer_.get())));
            } else if (cmd == QLatin1String("send")) {
                const QString who = words.value(1);
                DPNID target = 0;
                if (who == QLatin1String("self")) {
                    target = selfId_;
                } else if (who != QLatin1String("all")) {
                    target = ids_.count(who) ? ids_[who] : 0xDEADBEEF;
                }
                const int32_t flags = words.value(2).toInt(nullptr, 16);
                const QString text = line.section(QLatin1Char(' '), 3);
                peer_->SendTo(target, text.toUtf8(), 0, flags);
            } else if (cmd == QLatin1String("enum")) {
                DPN_APPLICATION_DESC desc;
                desc.guidApplication = kApp;
                auto device = root_.DirectPlayAddressCreate();
                device->SetSP(DP8SP_TCPIP);
                std::shared_ptr<DirectPlay8Address> hostAddr;
                if (words.size() > 1) {
                    hostAddr = root_.DirectPlayAddressCreate();
                    hostAddr->SetSP(DP8SP_TCPIP);
                    const QStringList hp = words[1].split(QLatin1Char(':'));
                    hostAddr->AddComponentString(DPNA_KEY_HOSTNAME, hp[0]);
                    if (hp.size() > 1) {
                        hostAddr->AddComponentLong(DPNA_KEY_PORT, hp[1].toInt());
                    }
                }
                enumHandle_ = peer_->EnumHosts(desc, hostAddr.get(), device.get(), -1, 300, -1,
                                               DPNENUMHOSTS_OKTOQUERYFORADDRESSING, {}, 0);
                out(QStringLiteral("ENUMHANDLE %1").arg(enumHandle_));
            } else if (cmd == QLatin1String("cancel")) {
                peer_->CancelAsyncOperation(enumHandle_, 0);
            } else if (cmd == QLatin1String("nest")) {
                nestMs_ = words.value(1).toInt();
                out(QStringLiteral("ARMED"));
            } else if (cmd == QLatin1String("info")) {
                const DPNID id = ids_.count(words.value(1)) ? ids_[words.value(1)] : 0;
                const DPN_PLAYER_INFO info = peer_->GetPeerInfo(id, 0);
                out(QStringLiteral("PEERINFO %1 %2").arg(info.Name).arg(info.lPlayerFlags));
            } else if (cmd == QLatin1String("close")) {
                peer_->Close(0);
                out(QStringLiteral("CLOSED"));
            } else if (cmd == QLatin1String("quit")) {
                peer_->UnRegisterMessageHandler();
                peer_->Close(0);
                QCoreApplication::quit();
            }
        } catch (const DxError& e) {
            out(QStringLiteral("ERROR %1 %2").arg(cmd, hresultHex(e.code())));
        }
    }

    // Every notification checks that no other one of this peer is still running.
    struct Guard {
        explicit Guard(int& depth) : depth_(depth) {
            if (depth_++ > 0) {
                out(QStringLiteral("NESTED"));
            }
        }
        ~Guard() { --depth_; }
        int& depth_;
    };

    void DirectPlay8Event_AsyncOpComplete(DPNMSG_ASYNC_OP_COMPLETE& m, bool&) override {
        Guard g(depth_);
        out(QStringLiteral("ASYNC %1 %2").arg(m.AsyncOpHandle).arg(hresultHex(m.hResultCode)));
    }
    void DirectPlay8Event_ConnectComplete(DPNMSG_CONNECT_COMPLETE& m, bool&) override {
        Guard g(depth_);
        out(QStringLiteral("CONNECT %1").arg(hresultHex(m.hResultCode)));
    }
    void DirectPlay8Event_CreatePlayer(DPNID id, bool&) override {
        Guard g(depth_);
        const DPN_PLAYER_INFO info = peer_->GetPeerInfo(id, 0);
        ids_[info.Name] = id;
        names_[id] = info.Name;
        if (info.lPlayerFlags & DPNPLAYER_LOCAL) {
            selfId_ = id;
        }
        out(QStringLiteral("CREATE %1 %2 %3").arg(id).arg(info.lPlayerFlags).arg(info.Name));
    }
    void DirectPlay8Event_DestroyPlayer(DPNID id, int32_t reason, bool&) override {
        Guard g(depth_);
        out(QStringLiteral("DESTROY %1 %2 %3").arg(names_[id]).arg(id).arg(reason));
    }
    void DirectPlay8Event_EnumHostsResponse(DPNMSG_ENUM_HOSTS_RESPONSE& m, bool&) override {
        Guard g(depth_);
        const auto& d = m.ApplicationDescription;
        out(QStringLiteral("ENUM %1 %2 %3 %4 %5 %6")
                .arg(d.guidInstance)
                .arg(d.lCurrentPlayers)
                .arg(d.lMaxPlayers)
                .arg(m.lRoundTripLatencyMS)
                .arg(d.lFlags)
                .arg(m.AddressSenderUrl));
    }
    void DirectPlay8Event_HostMigrate(DPNID id, bool&) override {
        Guard g(depth_);
        const DPN_PLAYER_INFO info = peer_->GetPeerInfo(id, 0);
        out(QStringLiteral("MIGRATE %1 %2").arg(info.Name).arg(info.lPlayerFlags));
    }
    void DirectPlay8Event_InfoNotify(int32_t, int32_t id, bool&) override {
        Guard g(depth_);
        const DPN_PLAYER_INFO info = peer_->GetPeerInfo(static_cast<DPNID>(id), 0);
        names_[static_cast<DPNID>(id)] = info.Name;
        ids_[info.Name] = static_cast<DPNID>(id);
        out(QStringLiteral("INFO %1").arg(info.Name));
    }
    void DirectPlay8Event_Receive(DPNMSG_RECEIVE& m, bool&) override {
        Guard g(depth_);
        out(QStringLiteral("RECV %1 %2")
                .arg(names_[m.idSender], QString::fromUtf8(m.ReceivedData)));
        if (nestMs_ > 0) {
            const int ms = nestMs_;
            nestMs_ = 0;
            out(QStringLiteral("BEGIN"));
            QEventLoop loop;
            QTimer::singleShot(ms, &loop, &QEventLoop::quit);
            loop.exec();
            out(QStringLiteral("END"));
        }
    }
    void DirectPlay8Event_SendComplete(DPNMSG_SEND_COMPLETE&, bool&) override { Guard g(depth_); }
    void DirectPlay8Event_TerminateSession(DPNMSG_TERMINATE_SESSION& m, bool&) override {
        Guard g(depth_);
        out(QStringLiteral("TERMINATE %1").arg(hresultHex(m.hResultCode)));
    }

private:
    DirectX8 root_;
    std::shared_ptr<DirectPlay8Peer> peer_;
    std::map<QString, DPNID> ids_;
    std::map<DPNID, QString> names_;
    DPNID selfId_ = 0;
    DPNHANDLE enumHandle_ = 0;
    int nestMs_ = 0;
    int depth_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    TestPeer peer;
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QByteArray pending;
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buffer[4096];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            input.setEnabled(false);
            peer.command(QStringLiteral("quit"));
            return;
        }
        pending.append(buffer, n);
        qsizetype eol;
        while ((eol = pending.indexOf('\n')) >= 0) {
            const QString line = QString::fromUtf8(pending.left(eol)).trimmed();
            pending.remove(0, eol + 1);
            peer.command(line);
        }
    });
    out(QStringLiteral("READY"));
    return app.exec();
}
