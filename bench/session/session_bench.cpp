// Car-state delivery among six players on loopback: the session layer against raw UDP and raw
// ENet, measured in one run on the same machine.
//
//   session_bench [--seconds N] [--smoke]   (--smoke: 1 s)
//
// For each transport six child processes of this program form a full mesh; each sends a 152-byte
// car-state message to the five others every 50 ms and timestamps it with CLOCK_MONOTONIC, which
// all processes share. Receivers record the delay from the send call to their receive handler.
// The report gives latency p50/p99, bytes on the wire per message, and CPU per player. Then the
// same six meshes sit idle (linked, nothing sent): CPU per player of the session layer against
// raw ENet serviced in a blocking wait, as an ENet program that has nothing else to do would.

#include <arpa/inet.h>
#include <enet/enet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dx8/directx8.h"
#include "platform/dx8/play/peer_extras.h"
#include "session/wire_messages.h"
#include "smoke.h"
#include "udp_ports.h"

namespace {

constexpr int kPlayers = 6;
constexpr int kIntervalMs = 50;
constexpr int kPayload = orvel::kCarStateMessageSize;  // 152

// The raw players' ports, six for UDP and six for ENet, which the driver finds free and hands
// its children.
int udpBase() {
    static const int base = qEnvironmentVariableIntValue("ORVEL_BENCH_PORTS");
    return base;
}
int enetBase() {
    return udpBase() + kPlayers;
}

int64_t nowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

double cpuSeconds() {
    rusage u;
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// A car-state message whose state carries the send time and the sender's index.
QByteArray stampedMessage(int index) {
    orvel::CarState s{};
    const int64_t t = nowNs();
    std::memcpy(s.data(), &t, 8);
    s[8] = static_cast<uint8_t>(index);
    const float play = 1.0f;
    std::memcpy(s.data() + 132, &play, 4);
    return orvel::BuildCarStateMessage(s);
}

// Latency in microseconds of a received message, or -1 for anything else.
int64_t latencyUs(const char* data, size_t size) {
    if (size != static_cast<size_t>(kPayload)) {
        return -1;
    }
    int64_t t;
    std::memcpy(&t, data + 8, 8);
    return (nowNs() - t) / 1000;
}

void line(const std::string& s) {
    std::fputs(s.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

bool waitForGo() {
    char buf[16];
    return std::fgets(buf, sizeof buf, stdin) != nullptr && std::strncmp(buf, "GO", 2) == 0;
}

struct Result {
    std::vector<int64_t> latencies;
    int64_t sent = 0;
    double cpu = 0, wall = 0;
    uint64_t txBytes = 0, txDatagrams = 0, rxBytes = 0, rxDatagrams = 0;
    int commonDatagram = 0;
};

void report(const Result& r) {
    std::string s = "STATS " + std::to_string(r.sent) + " " + std::to_string(r.cpu) + " " +
                    std::to_string(r.wall) + " " + std::to_string(r.txBytes) + " " +
                    std::to_string(r.txDatagrams) + " " + std::to_string(r.rxBytes) + " " +
                    std::to_string(r.rxDatagrams) + " " + std::to_string(r.commonDatagram);
    line(s);
    std::string l = "LAT";
    for (int64_t v : r.latencies) {
        l += " " + std::to_string(v);
    }
    line(l);
}

// ---- Raw UDP ------------------------------------------------------------------------------------

int udpChild(int index, double seconds) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in me{};
    me.sin_family = AF_INET;
    me.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    me.sin_port = htons(static_cast<uint16_t>(udpBase() + index));
    if (bind(fd, reinterpret_cast<sockaddr*>(&me), sizeof me) != 0) {
        line("FAIL bind");
        return 1;
    }
    line("READY");
    if (!waitForGo()) {
        return 1;
    }
    Result r;
    const double cpu0 = cpuSeconds();
    const int64_t start = nowNs();
    const int64_t end = start + static_cast<int64_t>(seconds * 1e9);
    int64_t next = start;
    char buf[2048];
    while (nowNs() < end) {
        if (nowNs() >= next) {
            const QByteArray m = stampedMessage(index);
            for (int j = 0; j < kPlayers; ++j) {
                if (j == index) {
                    continue;
                }
                sockaddr_in to = me;
                to.sin_port = htons(static_cast<uint16_t>(udpBase() + j));
                sendto(fd, m.constData(), static_cast<size_t>(m.size()), 0,
                       reinterpret_cast<sockaddr*>(&to), sizeof to);
                r.txBytes += static_cast<uint64_t>(m.size());
                ++r.txDatagrams;
            }
            ++r.sent;
            next += kIntervalMs * 1000000LL;
        }
        pollfd p{fd, POLLIN, 0};
        const int waitMs = static_cast<int>(std::max<int64_t>(0, (next - nowNs()) / 1000000));
        if (poll(&p, 1, waitMs) > 0) {
            const ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n > 0) {
                ++r.rxDatagrams;
                r.rxBytes += static_cast<uint64_t>(n);
                r.commonDatagram = static_cast<int>(n);
                const int64_t l = latencyUs(buf, static_cast<size_t>(n));
                if (l >= 0) {
                    r.latencies.push_back(l);
                }
            }
        }
    }
    r.cpu = cpuSeconds() - cpu0;
    r.wall = (nowNs() - start) / 1e9;
    report(r);
    close(fd);
    return 0;
}

// ---- Raw ENet -----------------------------------------------------------------------------------

// ENet's own ping interval: an idle raw ENet player wakes at least this often.
constexpr enet_uint32 kIdleWaitMs = 500;

int enetChild(int index, double seconds, bool idle) {
    enet_initialize();
    ENetAddress me;
    enet_address_set_host_ip(&me, "127.0.0.1");
    me.port = static_cast<enet_uint16>(enetBase() + index);
    ENetHost* host = enet_host_create(&me, 8, 2, 0, 0);
    if (host == nullptr) {
        line("FAIL host");
        return 1;
    }
    // Players that started before this one are listening already.
    for (int j = 0; j < index; ++j) {
        ENetAddress to = me;
        to.port = static_cast<enet_uint16>(enetBase() + j);
        enet_host_connect(host, &to, 2, 0);
    }
    std::vector<ENetPeer*> peers;
    ENetEvent e;
    const int64_t deadline = nowNs() + 20000000000LL;
    // Everyone must be linked to everyone before the race starts; the later players link to us
    // while we wait for GO, so keep servicing until then.
    line("READY");
    pollfd in{STDIN_FILENO, POLLIN, 0};
    bool go = false;
    while (!go && nowNs() < deadline) {
        while (enet_host_service(host, &e, 5) > 0) {
            if (e.type == ENET_EVENT_TYPE_CONNECT) {
                peers.push_back(e.peer);
            } else if (e.type == ENET_EVENT_TYPE_RECEIVE) {
                enet_packet_destroy(e.packet);
            }
        }
        if (poll(&in, 1, 0) > 0) {
            go = waitForGo();
        }
    }
    Result r;
    const uint32_t tx0 = host->totalSentData, txp0 = host->totalSentPackets;
    const uint32_t rx0 = host->totalReceivedData, rxp0 = host->totalReceivedPackets;
    const double cpu0 = cpuSeconds();
    const int64_t start = nowNs();
    const int64_t end = start + static_cast<int64_t>(seconds * 1e9);
    int64_t next = start;
    while (nowNs() < end) {
        if (!idle && nowNs() >= next) {
            const QByteArray m = stampedMessage(index);
            ENetPacket* p = enet_packet_create(m.constData(), static_cast<size_t>(m.size()), 0);
            for (ENetPeer* peer : peers) {
                enet_peer_send(peer, 0, p);
            }
            if (p->referenceCount == 0) {
                enet_packet_destroy(p);
            }
            enet_host_flush(host);
            ++r.sent;
            next += kIntervalMs * 1000000LL;
        }
        const auto waitMs =
            idle ? std::min<enet_uint32>(kIdleWaitMs, static_cast<enet_uint32>(std::max<int64_t>(
                                                          0, (end - nowNs()) / 1000000)))
                 : static_cast<enet_uint32>(std::max<int64_t>(0, (next - nowNs()) / 1000000));
        if (enet_host_service(host, &e, waitMs) > 0) {
            do {
                if (e.type == ENET_EVENT_TYPE_RECEIVE) {
                    const int64_t l = latencyUs(reinterpret_cast<const char*>(e.packet->data),
                                                e.packet->dataLength);
                    if (l >= 0) {
                        r.latencies.push_back(l);
                    }
                    enet_packet_destroy(e.packet);
                }
            } while (enet_host_check_events(host, &e) > 0);
        }
    }
    r.cpu = cpuSeconds() - cpu0;
    r.wall = (nowNs() - start) / 1e9;
    r.txBytes = host->totalSentData - tx0;
    r.txDatagrams = host->totalSentPackets - txp0;
    r.rxBytes = host->totalReceivedData - rx0;
    r.rxDatagrams = host->totalReceivedPackets - rxp0;
    report(r);
    enet_host_destroy(host);
    return 0;
}

// ---- The session layer ----------------------------------------------------------------------

class SessionPlayer : public dx8::DirectPlay8Event {
public:
    SessionPlayer(int index, double seconds, bool idle)
        : index_(index), seconds_(seconds), idle_(idle) {
        peer_ = root_.DirectPlayPeerCreate();
        peer_->RegisterMessageHandler(this);
        dx8::DPN_PLAYER_INFO info;
        info.Name = QStringLiteral("bench-%1").arg(index);
        peer_->SetPeerInfo(info, dx8::DPNSETPEERINFO_SYNC);
    }

    void host() {
        dx8::DPN_APPLICATION_DESC desc;
        desc.guidApplication = QStringLiteral("{EABD4D9B-6AA9-4c24-9D10-1A6701B07342}");
        desc.lMaxPlayers = kPlayers;
        desc.SessionName = QStringLiteral("bench");
        peer_->Host(desc, nullptr, 0);
        line("PORT " + std::to_string(dx8::sessionPortOf(peer_.get())));
        line("READY");
    }

    void join(int port) {
        dx8::DPN_APPLICATION_DESC desc;
        desc.guidApplication = QStringLiteral("{EABD4D9B-6AA9-4c24-9D10-1A6701B07342}");
        dx8::DirectPlay8Address address;
        address.SetSP(dx8::DP8SP_TCPIP);
        address.AddComponentString(dx8::DPNA_KEY_HOSTNAME, QStringLiteral("127.0.0.1"));
        address.AddComponentLong(dx8::DPNA_KEY_PORT, port);
        peer_->Connect(desc, &address, nullptr, 0, {}, 0);
    }

    void go() {
        const dx8::WireStats w = dx8::wireStatsOf(peer_.get());
        w0_ = w;
        cpu0_ = cpuSeconds();
        start_ = nowNs();
        QObject::connect(&tick_, &QTimer::timeout, [this] {
            peer_->SendTo(dx8::DPNID_ALL_PLAYERS_GROUP, stampedMessage(index_), 0,
                          dx8::DPNSEND_NOLOOPBACK);
            ++result_.sent;
        });
        tick_.setTimerType(Qt::PreciseTimer);
        if (!idle_) {
            tick_.start(kIntervalMs);
        }
        QTimer::singleShot(static_cast<int>(seconds_ * 1000), [this] { finish(); });
    }

    void finish() {
        tick_.stop();
        result_.cpu = cpuSeconds() - cpu0_;
        result_.wall = (nowNs() - start_) / 1e9;
        const dx8::WireStats w = dx8::wireStatsOf(peer_.get());
        result_.txBytes = w.sentBytes - w0_.sentBytes;
        result_.txDatagrams = w.sentDatagrams - w0_.sentDatagrams;
        result_.rxBytes = w.receivedBytes - w0_.receivedBytes;
        result_.rxDatagrams = w.receivedDatagrams - w0_.receivedDatagrams;
        result_.commonDatagram = w.commonLargeDatagram;
        report(result_);
        // Stay in the session until everyone has finished; the driver ends the process.
    }

    void DirectPlay8Event_Receive(dx8::DPNMSG_RECEIVE& m, bool&) override {
        if (start_ == 0) {
            return;
        }
        const int64_t l =
            latencyUs(m.ReceivedData.constData(), static_cast<size_t>(m.ReceivedData.size()));
        if (l >= 0 && tick_.isActive()) {
            result_.latencies.push_back(l);
        }
    }
    void DirectPlay8Event_ConnectComplete(dx8::DPNMSG_CONNECT_COMPLETE& m, bool&) override {
        line(m.hResultCode == dx8::DPN_OK ? "READY"
                                          : "FAIL " + dx8::hresultHex(m.hResultCode).toStdString());
    }
    void DirectPlay8Event_AddRemovePlayerGroup(int32_t, dx8::DPNID, dx8::DPNID, bool&) override {}
    void DirectPlay8Event_AppDesc(bool&) override {}
    void DirectPlay8Event_AsyncOpComplete(dx8::DPNMSG_ASYNC_OP_COMPLETE&, bool&) override {}
    void DirectPlay8Event_CreateGroup(dx8::DPNID, dx8::DPNID, bool&) override {}
    void DirectPlay8Event_CreatePlayer(dx8::DPNID, bool&) override {}
    void DirectPlay8Event_DestroyGroup(dx8::DPNID, int32_t, bool&) override {}
    void DirectPlay8Event_DestroyPlayer(dx8::DPNID, int32_t, bool&) override {}
    void DirectPlay8Event_EnumHostsQuery(dx8::DPNMSG_ENUM_HOSTS_QUERY&, bool&) override {}
    void DirectPlay8Event_EnumHostsResponse(dx8::DPNMSG_ENUM_HOSTS_RESPONSE&, bool&) override {}
    void DirectPlay8Event_HostMigrate(dx8::DPNID, bool&) override {}
    void DirectPlay8Event_IndicateConnect(dx8::DPNMSG_INDICATE_CONNECT&, bool&) override {}
    void DirectPlay8Event_IndicatedConnectAborted(bool&) override {}
    void DirectPlay8Event_InfoNotify(int32_t, int32_t, bool&) override {}
    void DirectPlay8Event_SendComplete(dx8::DPNMSG_SEND_COMPLETE&, bool&) override {}
    void DirectPlay8Event_TerminateSession(dx8::DPNMSG_TERMINATE_SESSION&, bool&) override {}

private:
    int index_;
    double seconds_;
    bool idle_;
    dx8::DirectX8 root_;
    std::shared_ptr<dx8::DirectPlay8Peer> peer_;
    QTimer tick_;
    Result result_;
    dx8::WireStats w0_;
    double cpu0_ = 0;
    int64_t start_ = 0;
};

int sessionChild(int argc, char** argv, int index, int joinPort, double seconds, bool idle) {
    QCoreApplication app(argc, argv);
    SessionPlayer player(index, seconds, idle);
    if (joinPort == 0) {
        player.host();
    } else {
        player.join(joinPort);
    }
    QSocketNotifier in(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&in, &QSocketNotifier::activated, [&] {
        char buf[64];
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n <= 0 || std::strncmp(buf, "QUIT", 4) == 0) {
            in.setEnabled(false);
            QCoreApplication::quit();
        } else if (std::strncmp(buf, "GO", 2) == 0) {
            player.go();
        }
    });
    return app.exec();
}

// ---- Driver
// ---------------------------------------------------------------------------------------

struct Summary {
    QString name;
    double p50 = 0, p99 = 0, max = 0;
    size_t samples = 0, expected = 0;
    double cpuPercentMean = 0, cpuPercentMax = 0;
    double wireBytesPerMessage = 0;  // UDP payload per delivered copy, amortised
    int dataDatagram = 0;
};

QString readLine(QProcess& p, const QString& prefix, int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < timeoutMs) {
        while (p.canReadLine()) {
            const QString l = QString::fromUtf8(p.readLine()).trimmed();
            if (l.startsWith(prefix)) {
                return l;
            }
            if (l.startsWith(QLatin1String("FAIL"))) {
                return l;
            }
        }
        p.waitForReadyRead(50);
    }
    return {};
}

std::optional<Summary> runScenario(const QString& kind, double seconds) {
    std::vector<std::unique_ptr<QProcess>> children;
    int hostPort = 0;
    for (int i = 0; i < kPlayers; ++i) {
        auto p = std::make_unique<QProcess>();
        QStringList args{QStringLiteral("--child"), kind, QString::number(i),
                         QString::number(seconds), QString::number(hostPort)};
        p->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        p->start(QCoreApplication::applicationFilePath(), args);
        if (kind.startsWith(QLatin1String("session")) && i == 0) {
            const QString l = readLine(*p, QStringLiteral("PORT "), 10000);
            hostPort = l.section(QLatin1Char(' '), 1).toInt();
        }
        const QString ready = readLine(*p, QStringLiteral("READY"), 20000);
        if (ready != QLatin1String("READY")) {
            std::fprintf(stderr, "%s child %d did not start: %s\n", qPrintable(kind), i,
                         qPrintable(ready));
            return std::nullopt;
        }
        children.push_back(std::move(p));
        if (kind.startsWith(QLatin1String("enet"))) {
            QThread::msleep(200);  // let it link to the ones before it
        }
    }
    QThread::msleep(500);
    for (auto& p : children) {
        p->write("GO\n");
        p->waitForBytesWritten(1000);
    }
    std::vector<int64_t> all;
    Summary s;
    s.name = kind;
    uint64_t txBytes = 0, delivered = 0;
    std::vector<double> cpu;
    for (auto& p : children) {
        const QString stats =
            readLine(*p, QStringLiteral("STATS "), static_cast<int>(seconds * 1000) + 20000);
        const QString lat = readLine(*p, QStringLiteral("LAT"), 5000);
        const QStringList f = stats.split(QLatin1Char(' '));
        if (f.size() < 9) {
            std::fprintf(stderr, "%s: no statistics\n", qPrintable(kind));
            return std::nullopt;
        }
        const double c = f[2].toDouble(), wall = f[3].toDouble();
        cpu.push_back(wall > 0 ? 100.0 * c / wall : 0);
        txBytes += f[4].toULongLong();
        s.dataDatagram = std::max(s.dataDatagram, f[8].toInt());
        s.expected += static_cast<size_t>(f[1].toLongLong()) * (kPlayers - 1);
        for (const QString& v : lat.split(QLatin1Char(' '), Qt::SkipEmptyParts).mid(1)) {
            all.push_back(v.toLongLong());
        }
    }
    for (auto& p : children) {
        p->write("QUIT\n");
        p->closeWriteChannel();
        if (!p->waitForFinished(5000)) {
            p->kill();
            p->waitForFinished(2000);
        }
    }
    delivered = all.size();
    std::sort(all.begin(), all.end());
    s.cpuPercentMean = 0;
    for (double c : cpu) {
        s.cpuPercentMean += c / static_cast<double>(cpu.size());
        s.cpuPercentMax = std::max(s.cpuPercentMax, c);
    }
    if (kind.endsWith(QLatin1String("-idle"))) {
        return s;  // nothing was sent: only the CPU counts
    }
    if (all.empty()) {
        return std::nullopt;
    }
    auto pct = [&](double q) {
        return all[std::min(all.size() - 1, static_cast<size_t>(q * (all.size() - 1) + 0.5))] /
               1000.0;
    };
    s.p50 = pct(0.50);
    s.p99 = pct(0.99);
    s.max = all.back() / 1000.0;
    s.samples = all.size();
    s.wireBytesPerMessage = delivered > 0 ? static_cast<double>(txBytes) / delivered : 0;
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    // A child never becomes a driver, whatever its arguments.
    if (qEnvironmentVariableIsSet("ORVEL_BENCH_CHILD")) {
        if (argc < 6 || std::strcmp(argv[1], "--child") != 0) {
            return 64;
        }
        const std::string kind = argv[2];
        const int index = std::atoi(argv[3]);
        const double seconds = std::atof(argv[4]);
        const int joinPort = std::atoi(argv[5]);
        if (kind == "udp") {
            return udpChild(index, seconds);
        }
        const bool idle = kind.size() > 5 && kind.compare(kind.size() - 5, 5, "-idle") == 0;
        if (kind.rfind("enet", 0) == 0) {
            return enetChild(index, seconds, idle);
        }
        return sessionChild(argc, argv, index, joinPort, seconds, idle);
    }
    qputenv("ORVEL_BENCH_CHILD", "1");
    const bool smoke = orvel::bench::takeSmokeFlag(argc, argv);
    QCoreApplication app(argc, argv);
    const uint16_t ports = orvel::bench::freeUdpPorts(2 * kPlayers);
    if (ports == 0) {
        std::fprintf(stderr, "session_bench: no free UDP ports\n");
        return 1;
    }
    qputenv("ORVEL_BENCH_PORTS", QByteArray::number(ports));
    double seconds = smoke ? 1 : 8;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0) {
            seconds = std::max(1.0, std::atof(argv[i + 1]));
        }
    }
    qputenv("ORVEL_DISCOVERY", "loopback");
    std::vector<Summary> results;
    for (const char* kind : {"udp", "enet", "session", "enet-idle", "session-idle"}) {
        const auto s = runScenario(QString::fromLatin1(kind), seconds);
        if (!s) {
            std::fprintf(stderr, "scenario %s failed\n", kind);
            return 1;
        }
        results.push_back(*s);
    }
    std::printf("six players on loopback, one 152-byte car state every 50 ms each, %.0f s\n\n",
                seconds);
    std::printf("%-8s %9s %9s %9s %10s %12s %14s %10s %10s\n", "", "p50 ms", "p99 ms", "max ms",
                "delivered", "datagram B", "wire B/copy", "cpu% mean", "cpu% max");
    for (size_t i = 0; i < 3; ++i) {
        const Summary& s = results[i];
        const QString datagram =
            s.dataDatagram > 0 ? QString::number(s.dataDatagram) : QStringLiteral("-");
        std::printf("%-8s %9.3f %9.3f %9.3f %5zu/%-5zu %12s %14.1f %10.2f %10.2f\n",
                    qPrintable(s.name), s.p50, s.p99, s.max, s.samples, s.expected,
                    qPrintable(datagram), s.wireBytesPerMessage, s.cpuPercentMean, s.cpuPercentMax);
    }
    const Summary& enet = results[1];
    const Summary& session = results[2];
    std::printf("\nsession / raw ENet: p50 x%.2f, p99 x%.2f (target: p99 within x2, under 1 ms)\n",
                session.p50 / enet.p50, session.p99 / enet.p99);
    std::printf("session / raw UDP:  p50 x%.2f, p99 x%.2f\n", session.p50 / results[0].p50,
                session.p99 / results[0].p99);
    std::printf("bytes above the 152-byte payload in a car-state datagram: %d (target: <= 12)\n",
                session.dataDatagram - kPayload);
    std::printf("all traffic per delivered copy, keep-alives included: %.1f bytes above payload\n",
                session.wireBytesPerMessage - kPayload);
    std::printf("cpu per player: %.2f%% of a core mean, %.2f%% max (target: under 1%%)\n",
                session.cpuPercentMean, session.cpuPercentMax);
    const Summary& enetIdle = results[3];
    const Summary& sessionIdle = results[4];
    std::printf(
        "\nidle six-player session, nothing sent, %.0f s: cpu per player %.3f%% mean "
        "(%.3f%% max); raw ENet in a blocking wait %.3f%% mean: x%.2f\n",
        seconds, sessionIdle.cpuPercentMean, sessionIdle.cpuPercentMax, enetIdle.cpuPercentMean,
        enetIdle.cpuPercentMean > 0 ? sessionIdle.cpuPercentMean / enetIdle.cpuPercentMean : 0.0);
    return 0;
}
