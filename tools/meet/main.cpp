// orvel-meet: a meeting point for Orvel players. Hosts register their session under a short code;
// joiners find them by it and both are introduced, so that each sends toward the other through
// their routers; where that fails the meeting point relays their datagrams.
//
// One thread on one epoll loop over plain sockets. Qt Core only reads the command line: a relayed
// datagram costs one batched receive, one table lookup and one send, as in a bare forwarder,
// where an event dispatcher would add its own work to each wake-up.

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <array>
#include <cstdio>
#include <cstring>
#include <vector>

#include "common/command_line.h"
#include "keys.h"
#include "meet_server.h"

namespace {

using namespace orvel::meet;

constexpr int kSweepMs = 250;
constexpr int kBatch = 32;
constexpr uint32_t kTimerEvent = 1000, kSignalEvent = 1001;

const orvel::cli::Program kProgram{
    QStringLiteral("orvel-meet"), QStringLiteral("[--port N] [options]"),
    QStringLiteral(
        "A meeting point for Orvel players. Hosts register their session under a short code "
        "(K7QX-M2P9); joiners find them by it, and both are told of each other so that each "
        "sends toward the other through their routers. Where no link forms, it relays the "
        "pair's datagrams. It listens on UDP port N (2300) and relays on N+2 to N+9: open "
        "them to the internet. Its reachability probes leave from N+1. It keeps "
        "everything in memory except the key that lets a session keep its code across "
        "restarts, kept in the state folder.\n\n"
        "Exit status: 0 after SIGTERM or SIGINT; 1 when a port or the state folder cannot be "
        "used; 2 on a bad command line.")};

int64_t nowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

struct Settings {
    uint32_t address = 0;
    std::vector<uint16_t> ports;  // main, probe, relay...
    QString stateDir;
    MeetServer::Config config;
};

std::optional<int> number(const QCommandLineParser& p, const char* name, int low, int high,
                          int fallback, QString* why) {
    const QString option = QString::fromLatin1(name);
    if (!p.isSet(option)) {
        return fallback;
    }
    bool ok = false;
    const int v = p.value(option).toInt(&ok);
    if (!ok || v < low || v > high) {
        *why = QStringLiteral("--%1 takes a number from %2 to %3").arg(option).arg(low).arg(high);
        return std::nullopt;
    }
    return v;
}

std::optional<Settings> settingsFrom(const QCommandLineParser& p, QString* why) {
    Settings s;
    if (!p.positionalArguments().isEmpty()) {
        *why = QStringLiteral("unexpected argument \"%1\"").arg(p.positionalArguments().first());
        return std::nullopt;
    }
    const auto port = number(p, "port", 1, 65535 - 9, kDefaultPort, why);
    if (!port) {
        return std::nullopt;
    }
    const auto probe = number(p, "probe-port", 1, 65535, *port + 1, why);
    const auto sessions = number(p, "max-sessions", 1, 10000000, 100000, why);
    const auto relays = number(p, "max-relays", 0, 1000000, 1000, why);
    const auto timeout = number(p, "session-timeout", 1, 3600, 35, why);
    const auto idle = number(p, "relay-idle", 1, 3600, 60, why);
    const auto rate = number(p, "relay-rate", 1, 1000000, 64, why);
    if (!probe || !sessions || !relays || !timeout || !idle || !rate) {
        return std::nullopt;
    }
    int first = *port + 2, last = *port + 9;
    if (p.isSet(QStringLiteral("relay-ports"))) {
        const QStringList range = p.value(QStringLiteral("relay-ports")).split(QLatin1Char('-'));
        const auto a = orvel::cli::parsePort(range.value(0));
        const auto b = orvel::cli::parsePort(range.value(1, range.value(0)));
        if (range.size() > 2 || !a || !b || *b < *a || *b - *a >= 32) {
            *why = QStringLiteral("--relay-ports takes FIRST-LAST, at most 32 ports");
            return std::nullopt;
        }
        first = *a;
        last = *b;
    }
    s.ports = {static_cast<uint16_t>(*port), static_cast<uint16_t>(*probe)};
    for (int r = first; r <= last; ++r) {
        if (r == *port || r == *probe) {
            *why = QStringLiteral("the relay ports must not include the port or the probe port");
            return std::nullopt;
        }
        s.ports.push_back(static_cast<uint16_t>(r));
        s.config.relayPorts.push_back(static_cast<uint16_t>(r));
    }
    if (*probe == *port) {
        *why = QStringLiteral("the probe port must differ from the port");
        return std::nullopt;
    }
    if (p.isSet(QStringLiteral("address"))) {
        in_addr address{};
        if (::inet_pton(AF_INET, p.value(QStringLiteral("address")).toLatin1().constData(),
                        &address) != 1) {
            *why = QStringLiteral("--address takes an IPv4 address");
            return std::nullopt;
        }
        s.address = ntohl(address.s_addr);
    }
    s.config.relayIp = s.address;
    s.config.maxSessions = static_cast<size_t>(*sessions);
    s.config.sessionTimeoutMs = *timeout * 1000;
    s.config.relay.maxPairs = static_cast<size_t>(*relays);
    s.config.relay.idleMs = *idle * 1000;
    s.config.relay.bytesPerSecond = *rate * 1024.0;
    // systemd names the folder it made for us; the first one when it names several.
    s.stateDir = p.isSet(QStringLiteral("state"))
                     ? p.value(QStringLiteral("state"))
                     : qEnvironmentVariable("STATE_DIRECTORY").section(QLatin1Char(':'), 0, 0);
    return s;
}

class Sockets final : public Outbox {
public:
    ~Sockets() override {
        for (int fd : fds_) {
            ::close(fd);
        }
    }
    bool open(uint32_t address, uint16_t port, QString* why) {
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(address);
        at.sin_port = htons(port);
        if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0) {
            *why = QStringLiteral("cannot use UDP port %1: %2")
                       .arg(port)
                       .arg(QString::fromLocal8Bit(strerror(errno)));
            if (fd >= 0) {
                ::close(fd);
            }
            return false;
        }
        const int buffer = 1 << 20;  // room for a burst while the loop is busy
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
        fds_.push_back(fd);
        return true;
    }
    int fd(size_t index) const { return fds_[index]; }
    size_t count() const { return fds_.size(); }

    void send(int socket, const char* data, size_t size, Endpoint to) override {
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(to.ip);
        at.sin_port = htons(to.port);
        // A full buffer drops the datagram, as the network might have.
        ::sendto(fds_[static_cast<size_t>(socket)], data, size, MSG_DONTWAIT,
                 reinterpret_cast<const sockaddr*>(&at), sizeof at);
    }

private:
    std::vector<int> fds_;
};

// Everything waiting at one socket, in batches, each datagram handed to the server.
void drain(MeetServer& server, int socket, int fd) {
    static std::array<std::array<uint8_t, kMaxRelayedSize>, kBatch> buffers;
    std::array<mmsghdr, kBatch> messages{};
    std::array<iovec, kBatch> parts{};
    std::array<sockaddr_in, kBatch> from{};
    for (int rounds = 0; rounds < 16; ++rounds) {
        for (int i = 0; i < kBatch; ++i) {
            parts[i] = {buffers[i].data(), buffers[i].size()};
            messages[i].msg_hdr = {};
            messages[i].msg_hdr.msg_name = &from[i];
            messages[i].msg_hdr.msg_namelen = sizeof from[i];
            messages[i].msg_hdr.msg_iov = &parts[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        const int n = ::recvmmsg(fd, messages.data(), kBatch, MSG_DONTWAIT, nullptr);
        if (n <= 0) {
            return;
        }
        const int64_t now = nowMs();
        for (int i = 0; i < n; ++i) {
            const msghdr& h = messages[i].msg_hdr;
            if ((h.msg_flags & MSG_TRUNC) == 0 && from[i].sin_family == AF_INET) {
                server.receive(socket, buffers[i].data(), messages[i].msg_len,
                               {ntohl(from[i].sin_addr.s_addr), ntohs(from[i].sin_port)}, now);
            }
        }
        if (n < kBatch) {
            return;
        }
    }
}

int run(const Settings& settings) {
    QString why;
    std::optional<Key> secretKey = randomKey();
    if (!settings.stateDir.isEmpty()) {
        secretKey = loadKey(settings.stateDir, &why);
    }
    Sockets sockets;
    for (size_t i = 0; secretKey && why.isEmpty() && i < settings.ports.size(); ++i) {
        sockets.open(settings.address, settings.ports[i], &why);
    }
    if (!why.isEmpty()) {
        std::fprintf(stderr, "orvel-meet: %s\n", qPrintable(why));
        return 1;
    }
    Keys keys(*secretKey);
    MeetServer server(settings.config, keys, sockets);

    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigprocmask(SIG_BLOCK, &stop, nullptr);
    const int signalFd = ::signalfd(-1, &stop, SFD_CLOEXEC | SFD_NONBLOCK);
    const int timer = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    const itimerspec every{{0, kSweepMs * 1000000L}, {0, kSweepMs * 1000000L}};
    ::timerfd_settime(timer, 0, &every, nullptr);
    const int loop = ::epoll_create1(EPOLL_CLOEXEC);
    const auto watch = [loop](int fd, uint32_t tag) {
        epoll_event e{};
        e.events = EPOLLIN;
        e.data.u32 = tag;
        return ::epoll_ctl(loop, EPOLL_CTL_ADD, fd, &e) == 0;
    };
    bool ready = signalFd >= 0 && timer >= 0 && loop >= 0 && watch(signalFd, kSignalEvent) &&
                 watch(timer, kTimerEvent);
    for (size_t i = 0; i < sockets.count(); ++i) {
        ready = ready && (i == kProbeSocket || watch(sockets.fd(i), static_cast<uint32_t>(i)));
    }
    if (!ready) {
        std::fprintf(stderr, "orvel-meet: cannot set up its event loop: %s\n", strerror(errno));
        return 1;
    }
    const auto& p = settings.ports;
    std::printf("orvel-meet: meeting point on %s (probes from port %u, relay ports %u-%u)%s\n",
                qPrintable(endpointText({settings.address, p[0]})), p[1], p.size() > 2 ? p[2] : 0,
                p.size() > 2 ? p.back() : 0,
                settings.stateDir.isEmpty() ? "; codes do not outlive it (no state folder)" : "");
    std::fflush(stdout);

    for (;;) {
        std::array<epoll_event, 16> events;
        const int n = ::epoll_wait(loop, events.data(), static_cast<int>(events.size()), -1);
        if (n < 0 && errno != EINTR) {
            std::fprintf(stderr, "orvel-meet: event loop failed: %s\n", strerror(errno));
            return 1;
        }
        for (int i = 0; i < n; ++i) {
            const uint32_t tag = events[i].data.u32;
            if (tag == kSignalEvent) {
                return 0;  // nothing to save: everything it knows lives in memory
            }
            if (tag == kTimerEvent) {
                uint64_t expirations = 0;
                [[maybe_unused]] const ssize_t got =
                    ::read(timer, &expirations, sizeof expirations);
                server.sweep(nowMs());
            } else {
                drain(server, static_cast<int>(tag), sockets.fd(tag));
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    orvel::cli::prepare(parser, kProgram);
    parser.addOptions({
        {QStringLiteral("port"), QStringLiteral("UDP port for hosts and joiners (2300)."),
         QStringLiteral("N")},
        {QStringLiteral("address"), QStringLiteral("IPv4 address to listen on (all of them)."),
         QStringLiteral("IP")},
        {QStringLiteral("probe-port"),
         QStringLiteral("Port the reachability probes leave from (N+1)."), QStringLiteral("N")},
        {QStringLiteral("relay-ports"), QStringLiteral("Relay ports, at most 32 (N+2 to N+9)."),
         QStringLiteral("FIRST-LAST")},
        {QStringLiteral("state"),
         QStringLiteral("State folder for the key ($STATE_DIRECTORY; none: codes do not outlive "
                        "a restart)."),
         QStringLiteral("DIR")},
        {QStringLiteral("max-sessions"), QStringLiteral("Sessions registered at most (100000)."),
         QStringLiteral("N")},
        {QStringLiteral("max-relays"), QStringLiteral("Relayed pairs at most (1000)."),
         QStringLiteral("N")},
        {QStringLiteral("session-timeout"),
         QStringLiteral("Seconds without a keepalive before a session is forgotten (35)."),
         QStringLiteral("S")},
        {QStringLiteral("relay-idle"),
         QStringLiteral("Seconds without traffic before a relayed pair is forgotten (60)."),
         QStringLiteral("S")},
        {QStringLiteral("relay-rate"),
         QStringLiteral("KiB a second a relayed pair may send each way (64)."),
         QStringLiteral("KIB")},
    });
    if (const auto status = orvel::cli::parse(parser, kProgram, app.arguments())) {
        return *status;
    }
    QString why;
    const auto settings = settingsFrom(parser, &why);
    if (!settings) {
        return orvel::cli::usageError(kProgram, why);
    }
    return run(*settings);
}
